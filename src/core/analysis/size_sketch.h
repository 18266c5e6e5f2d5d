// Approximate total weight of a set of weighted ids, in N bfloat16 registers.
//
// Register i keeps the largest of ln4 * weight / -ln(u_i(id)) over the set,
// where u_i(id) is a uniform draw derived from a hash of (i, id). For distinct
// ids of total weight W every register is distributed as ln4 * W / E with E
// standard exponential, whose lower quartile is exactly W, so the sample lower
// quartile of the registers estimates W. Repeated ids and overlapping merges
// change nothing, because every operation is a register-wise maximum.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace vesker::analysis {

// Rounds a binary64 value to bfloat16 (to nearest, ties to even), looking only
// at the upper 32 bits of its encoding: the lower 32 bits never affect the
// result of a finite value.
constexpr std::uint16_t to_bfloat16(double value) noexcept {
  const auto upper = static_cast<std::uint32_t>(std::bit_cast<std::uint64_t>(value) >> 32);
  const auto sign = static_cast<std::uint16_t>((upper >> 16) & 0x8000u);
  const std::uint32_t biased_exponent = (upper >> 20) & 0x7FFu;
  const std::uint32_t fraction = upper & 0xFFFFFu;  // binary64 fraction bits 32 to 51
  if (biased_exponent == 0x7FF) {
    if (fraction == 0) return sign | 0x7F80u;
    return static_cast<std::uint16_t>(sign | 0x7FC0u | (fraction >> 13));
  }
  const int exponent = static_cast<int>(biased_exponent) - 1023;
  if (exponent > 127) return sign | 0x7F80u;
  if (exponent >= -126) {
    auto result = static_cast<std::uint16_t>(sign | (static_cast<std::uint32_t>(exponent + 127) << 7) |
                                             (fraction >> 13));
    const bool round_bit = (fraction >> 12) & 1u;
    const bool sticky_or_odd = (fraction & 0xFFFu) != 0 || (fraction >> 13) & 1u;
    // A carry out of the fraction correctly moves into the exponent, up to infinity.
    if (round_bit && sticky_or_odd) ++result;
    return result;
  }
  // Below the normal range: the significand (implicit bit included) is shifted
  // onto the subnormal grid of 2^-133; a zero or binary64-subnormal input has
  // no implicit bit and far too small a magnitude, so it ends up here as zero.
  if (biased_exponent == 0) return sign;
  const int shift = -exponent - 113;  // at least 14
  if (shift > 21) return sign;
  const std::uint32_t significand = fraction | (1u << 20);
  const std::uint32_t kept = significand >> shift;
  const bool round_bit = (significand >> (shift - 1)) & 1u;
  const bool sticky_or_odd = (significand & ((1u << (shift - 1)) - 1u)) != 0 || (kept & 1u);
  return static_cast<std::uint16_t>(sign | (kept + (round_bit && sticky_or_odd ? 1u : 0u)));
}

constexpr float bfloat16_to_float(std::uint16_t bits) noexcept {
  return std::bit_cast<float>(static_cast<std::uint32_t>(bits) << 16);
}

// The value of a register read out as an unsigned count: truncation toward
// zero, NaN and negative values give 0, too large values saturate.
constexpr std::uint64_t bfloat16_to_u64_saturating(std::uint16_t bits) noexcept {
  const double value = bfloat16_to_float(bits);
  if (!(value > 0.0)) return 0;  // NaN, zeros and negatives
  if (value >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<std::uint64_t>(value);
}

// The steps of `add_in_place` for one register, given its uniform draw u in
// [0, 1] and the scaled weight -ln4 * weight of a weight of at least 1.
namespace size_sketch_detail {
// The register after being offered bfloat16(scaled_weight / log(u)), where log
// is the C library's. Mostly computed without calling it, with the same result.
std::uint16_t raised_register(double uniform, double scaled_weight, std::uint16_t current) noexcept;
// The same, calling the C library every time.
std::uint16_t raised_register_exactly(double uniform, double scaled_weight, std::uint16_t current) noexcept;
// The logarithm that decides when the library is needed, for 2^-64 <= u < 1;
// within 2^-32 of log(u) relatively.
double cheap_log_of_uniform(double uniform) noexcept;
}  // namespace size_sketch_detail

template <std::size_t N>
  requires(N == 7 || N == 31 || N == 127)
class SizeSketch {
 public:
  using Registers = std::array<std::uint16_t, N>;

  // The empty set: every register +0.0.
  constexpr SizeSketch() noexcept = default;
  static constexpr SizeSketch from_registers(const Registers& registers) noexcept {
    SizeSketch sketch;
    sketch.registers_ = registers;
    return sketch;
  }

  // Defined in size_sketch.cpp, which instantiates every supported N.
  void add_in_place(std::uint64_t id, std::uint64_t weight) noexcept;

  void include(const SizeSketch& other) noexcept {
    for (std::size_t i = 0; i < N; ++i) {
      const float mine = bfloat16_to_float(registers_[i]);
      const float theirs = bfloat16_to_float(other.registers_[i]);
      // A NaN register yields to anything; otherwise the strictly larger value
      // wins, so +0.0 and -0.0 (and all equal values) keep this register.
      // Written without branches so that the loop vectorises.
      const bool take_theirs = (mine != mine) | (theirs > mine);
      registers_[i] = take_theirs ? other.registers_[i] : registers_[i];
    }
  }

  // The register of rank floor(N/4) in ascending IEEE 754 totalOrder. Its key is found one bit
  // at a time, from the top: a pass counts the keys that agree with the bits found so far and
  // have a 0 next, which tells that bit. The sixteen passes vectorise; a selection by swaps
  // (nth_element) does not, and it is read once per component.
  std::uint64_t estimate() const noexcept {
    std::array<std::uint16_t, N> keys;
    for (std::size_t i = 0; i < N; ++i) keys[i] = total_order_key(registers_[i]);
    std::uint16_t found = 0;
    std::size_t rank = kEstimateRank;
    for (int bit = 15; bit >= 0; --bit) {
      const auto mask = static_cast<std::uint16_t>(0xFFFFu << bit);
      std::uint16_t with_zero = 0;
      for (std::size_t i = 0; i < N; ++i) with_zero += static_cast<std::uint16_t>((keys[i] & mask) == found);
      if (rank >= with_zero) {
        rank -= with_zero;
        found = static_cast<std::uint16_t>(found | (1u << bit));
      }
    }
    return bfloat16_to_u64_saturating(from_total_order_key(found));
  }

  const Registers& registers() const noexcept { return registers_; }
  friend bool operator==(const SizeSketch&, const SizeSketch&) = default;

 private:
  static constexpr std::size_t kEstimateRank = N / 4;

  // Maps a bfloat16 encoding to an unsigned key whose order is totalOrder:
  // negatives (sign set) are reversed below all non-negatives.
  static constexpr std::uint16_t total_order_key(std::uint16_t bits) noexcept {
    return (bits & 0x8000u) ? static_cast<std::uint16_t>(~bits) : static_cast<std::uint16_t>(bits | 0x8000u);
  }
  static constexpr std::uint16_t from_total_order_key(std::uint16_t key) noexcept {
    return (key & 0x8000u) ? static_cast<std::uint16_t>(key & 0x7FFFu) : static_cast<std::uint16_t>(~key);
  }

  Registers registers_{};
};

extern template class SizeSketch<7>;
extern template class SizeSketch<31>;
extern template class SizeSketch<127>;

}  // namespace vesker::analysis
