// Where a long computation's time went: named phases with their wall and CPU time.
#pragma once

#include <chrono>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vesker {

// Phases are named by paths ("import/merging and putting"): a phase's parts carry its name
// as their prefix. CPU time is the measuring thread's own, so a phase whose CPU time is
// below its wall time waited (for the other thread, or the disk), and two threads' phases
// that overlap show as parts whose wall times add up to more than their parent's.
class PhaseLog {
 public:
  struct Phase {
    std::string name;
    double wall_seconds;
    double cpu_seconds;
  };

  // Measures from construction to destruction (or `stop`) into `log`; does nothing for a null log,
  // which is how callers that want no figures pass none.
  class Timer {
   public:
    Timer(PhaseLog* log, std::string name)
        : log_(log), name_(std::move(name)), wall_(Clock::now()), cpu_(thread_cpu_seconds()) {}
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;
    ~Timer() { stop(); }

    void stop() {
      if (log_ == nullptr) return;
      log_->add(std::move(name_), std::chrono::duration<double>(Clock::now() - wall_).count(),
                thread_cpu_seconds() - cpu_);
      log_ = nullptr;
    }

   private:
    using Clock = std::chrono::steady_clock;
    PhaseLog* log_;
    std::string name_;
    Clock::time_point wall_;
    double cpu_;
  };

  // Adds to the phase of that name if it exists (a phase run batch by batch), in first-seen order.
  void add(std::string name, double wall_seconds, double cpu_seconds) {
    std::lock_guard lock(mutex_);
    for (Phase& phase : phases_) {
      if (phase.name == name) {
        phase.wall_seconds += wall_seconds;
        phase.cpu_seconds += cpu_seconds;
        return;
      }
    }
    phases_.push_back({std::move(name), wall_seconds, cpu_seconds});
  }

  std::vector<Phase> phases() const {
    std::lock_guard lock(mutex_);
    return phases_;
  }

  static double thread_cpu_seconds() noexcept {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Phase> phases_;
};

}  // namespace vesker
