#include "core/common/closable_handle.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace vesker {
namespace {

// Readers take each handle while it is being closed; whatever a take returns must stay readable
// for as long as the reader holds it (a racing copy would count on a freed object).
TEST(ClosableHandleTest, ClosingWhileOthersTakeItLeavesEveryShareIntact) {
  constexpr std::size_t kHandles = 20000;
  std::vector<std::unique_ptr<ClosableHandle<const std::string>>> handles;
  for (std::size_t i = 0; i < kHandles; ++i) {
    handles.push_back(std::make_unique<ClosableHandle<const std::string>>(std::make_shared<const std::string>(40, 'x')));
  }
  std::atomic<std::size_t> closing{0};
  std::atomic<std::size_t> wrong{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      for (std::size_t i; (i = closing.load(std::memory_order_acquire)) < kHandles;) {
        std::shared_ptr<const std::string> taken = handles[i]->take();
        if (taken != nullptr && *taken != std::string(40, 'x')) wrong.fetch_add(1);
      }
    });
  }
  for (std::size_t i = 0; i < kHandles; ++i) {
    handles[i]->close();
    EXPECT_EQ(handles[i]->take(), nullptr);
    closing.store(i + 1, std::memory_order_release);
  }
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(wrong.load(), 0u);
}

}  // namespace
}  // namespace vesker
