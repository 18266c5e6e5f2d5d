// The set of object addresses a heap walk has met: one lookup per reference,
// millions of them, nearly all missing the processor's caches.
//
// Open addressing with linear probing over a single array of the addresses
// themselves (zero marks an empty slot; no object lives at address zero): a
// lookup touches one cache line where a table with separate control bytes
// touches two. Addresses are aligned, so their low bits say nothing; a
// multiplicative hash spreads the rest over the table. The table doubles
// before it is half full, which keeps probe runs short.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

namespace vesker::walker {

class AddressSet {
 public:
  // Makes room for `count` addresses without growing.
  void reserve(std::size_t count) {
    if (2 * count > slots_.size()) rehash(std::bit_ceil(std::max<std::size_t>(2 * count, 16)));
  }

  std::size_t size() const { return size_; }

  // Whether `address` (non-zero) was new.
  bool insert(std::uint64_t address) {
    if (2 * (size_ + 1) > slots_.size()) rehash(std::max<std::size_t>(2 * slots_.size(), 16));
    return place(address);
  }

 private:
  std::size_t home(std::uint64_t address) const {
    return static_cast<std::size_t>((address * 0x9E3779B97F4A7C15ULL) >> shift_);
  }

  bool place(std::uint64_t address) {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = home(address);; i = (i + 1) & mask) {
      if (slots_[i] == address) return false;
      if (slots_[i] == 0) {
        slots_[i] = address;
        ++size_;
        return true;
      }
    }
  }

  void rehash(std::size_t capacity) {
    std::vector<std::uint64_t> old(capacity, 0);
    old.swap(slots_);
    shift_ = 64 - std::countr_zero(capacity);
    size_ = 0;
    for (std::uint64_t address : old) {
      if (address != 0) place(address);
    }
  }

  std::vector<std::uint64_t> slots_;  // size: a power of two
  std::size_t size_ = 0;
  int shift_ = 64;
};

}  // namespace vesker::walker
