#include "core/analysis/size_sketch.h"

#include <array>
#include <cmath>
#include <cstring>

// The per-register hash is a 16-byte XXH3 call made N times per addition;
// inlining it keeps the cost at the hash itself. The results are those of the
// library build.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace vesker::analysis {

namespace size_sketch_detail {

namespace {

// A register is offered bfloat16(scaled_weight / log(u)) with the C library's
// log. That log costs most of an addition, yet only 8 significant bits of the
// quotient survive, so the quotient is first computed from a cheap logarithm
// of proven accuracy and the library is asked only when the rounding could
// come out differently.
//
// The cheap logarithm, for 2^-64 <= u < 1. Write u = 2^k * z with z in
// [0.701171875, 1.40234375), and split the encodings of that range into 128
// equal buckets, placed so that 1.0 is the centre of its bucket. With
// inverse = 1/centre of z's bucket and r = z * inverse - 1:
//   log(u) = k * ln2 + log_centre + log1p(r),  log_centre = -log(inverse),
// for whatever value `inverse` has. Error, relative to the true log(u):
//  - Every bucket spans at most 2^-7 of z relatively, so |r| <= 2^-8 * 1.01.
//    The series r - r^2/2 + r^3/3 - r^4/4 leaves a remainder of at most
//    |r|^5 / (5 * 0.99^5) <= 0.21 * |r|^5, that is at most 2^-33.9 * |log1p(r)|
//    and at most 2^-42 in absolute value.
//  - The bucket centred on 1.0 has inverse = 1 and log_centre = 0 exactly, and
//    r = z - 1 is exact (Sterbenz), as is adding zero twice: for u in
//    [1 - 2^-9, 1) the only errors are the series' and its evaluation's (the
//    last addition's rounding, and roundings on terms 2^-8 smaller than the
//    result: below 2^-51 relatively).
//  - Elsewhere |log(u)| > 2^-9: either k = 0 and u < 1 - 2^-9, or k < 0 and
//    u < 0.702. The absolute errors there are r's rounding (2^-53), the series
//    remainder (2^-42), log_centre from the C library (under 2^-53, |value| <
//    0.36), k * ln2 with |k| <= 64 (ln2's rounding and the product's, under
//    2^-46 together) and two additions (at most 2^-53 * 46 each, as every partial
//    sum is below 46 in size, under 2^-46 together). For k = 0 that is below
//    2^-41.9 against |log(u)| > 2^-9, so 2^-32.9 relatively; for k != 0
//    |log(u)| >= 0.35 * |k|, and relative to log(u) all of it stays below 2^-40.
// So the cheap log is within 2^-32 of log(u) relatively, and the C library's
// within 2^-51 (it errs by less than one ulp, 2^-52 relatively). With the two
// divisions correctly rounded, the cheap quotient c' is within 2^-31.9 of the
// library's quotient c relatively. A positive double that close is at most
// 2^22.1 units in the last place away (ulps halve below a power of two), so
// c's encoding lies within kQuotientWindow = 2^28 encodings of c', more than
// 50 times the proven distance. Positive doubles order like their encodings,
// and the bfloat16 rounding is monotone in them: if both ends of the window
// round alike, c rounds the same way, and if even the upper end does not
// exceed the register, c does not either.
//
// The quotient always lies in [0.031, 2^118]: the weight is at least 1, so
// |scaled_weight| is in [1.386, 1.39 * 2^64], and |log(u)| lies between
// 1.1e-16 (u = 1 - 2^-53) and 44.4 (u = 2^-64). The window therefore never
// leaves the positive normal bfloat16 range.

constexpr int kBucketBits = 7;
constexpr int kBucketCount = 1 << kBucketBits;
constexpr int kFractionBits = 52;
constexpr std::uint64_t kOne = 0x3FF0'0000'0000'0000;  // the encoding of 1.0
constexpr int kBucketOfOne = 76;
constexpr std::uint64_t kBucketWidth = std::uint64_t{1} << (kFractionBits - kBucketBits);
// The encoding of 0.701171875: 1.0 lies in the middle of bucket 76.
constexpr std::uint64_t kReductionOffset = kOne - kBucketOfOne * kBucketWidth - kBucketWidth / 2;
static_assert(kReductionOffset == 0x3FE6'7000'0000'0000);
constexpr double kLn2 = 0x1.62e42fefa39efp-1;
constexpr std::uint64_t kQuotientWindow = std::uint64_t{1} << 28;

struct LogBucket {
  double inverse;
  double log_centre;
};

const std::array<LogBucket, kBucketCount>& log_buckets() {
  static const std::array<LogBucket, kBucketCount> buckets = [] {
    std::array<LogBucket, kBucketCount> made;
    for (int i = 0; i < kBucketCount; ++i) {
      const double centre = std::bit_cast<double>(kReductionOffset + i * kBucketWidth + kBucketWidth / 2);
      made[i].inverse = 1.0 / centre;
      made[i].log_centre = -std::log(made[i].inverse);
    }
    return made;
  }();
  return buckets;
}

double cheap_log(double uniform, const std::array<LogBucket, kBucketCount>& buckets) noexcept {
  const auto bits = std::bit_cast<std::uint64_t>(uniform);
  const auto offset = static_cast<std::int64_t>(bits - kReductionOffset);
  const std::int64_t exponent = offset >> kFractionBits;
  const auto bucket = static_cast<std::size_t>((offset >> (kFractionBits - kBucketBits)) & (kBucketCount - 1));
  const double reduced = std::bit_cast<double>(bits - (static_cast<std::uint64_t>(offset) & (std::uint64_t{0xFFF} << kFractionBits)));
  const double r = reduced * buckets[bucket].inverse - 1.0;
  const double series = r + r * r * (-0.5 + r * (1.0 / 3.0 + r * -0.25));
  return (static_cast<double>(exponent) * kLn2 + buckets[bucket].log_centre) + series;
}

// The rounding of to_bfloat16 for a positive double in the normal bfloat16
// range, given its encoding.
constexpr std::uint16_t positive_to_bfloat16(std::uint64_t bits) noexcept {
  const auto upper = static_cast<std::uint32_t>(bits >> 32);
  constexpr std::uint32_t kRebias = (1023 - 127) << 7;
  return static_cast<std::uint16_t>(((upper + 0xFFFu + ((upper >> 13) & 1u)) >> 13) - kRebias);
}

constexpr bool raises(std::uint16_t candidate, std::uint16_t current) noexcept {
  // NaN on either side compares false and leaves the register alone.
  return bfloat16_to_float(candidate) > bfloat16_to_float(current);
}

std::uint16_t raised_register_with(double uniform, double scaled_weight, std::uint16_t current,
                                   const std::array<LogBucket, kBucketCount>& buckets) noexcept {
  // u = 0 and u = 1 give the boundary results of the exact formula.
  if (uniform > 0.0 && uniform < 1.0) [[likely]] {
    const auto bits = std::bit_cast<std::uint64_t>(scaled_weight / cheap_log(uniform, buckets));
    const std::uint16_t low = positive_to_bfloat16(bits - kQuotientWindow);
    const std::uint16_t high = positive_to_bfloat16(bits + kQuotientWindow);
    if (low == high) return raises(low, current) ? low : current;
    if (!raises(high, current)) return current;
  }
  return raised_register_exactly(uniform, scaled_weight, current);
}

// The hash converted to binary64 (round to nearest) times 2^-64. The two
// halves convert exactly and their sum is rounded once, which is that same
// rounding; unlike a direct conversion from unsigned, nothing branches on the
// top bit, which is set for half of all hashes.
inline double uniform_of_hash(std::uint64_t hash) noexcept {
  const auto high = static_cast<double>(static_cast<std::int64_t>(hash >> 32));
  const auto low = static_cast<double>(static_cast<std::int64_t>(hash & 0xFFFF'FFFFu));
  return high * 0x1p-32 + low * 0x1p-64;
}

}  // namespace

double cheap_log_of_uniform(double uniform) noexcept { return cheap_log(uniform, log_buckets()); }

std::uint16_t raised_register(double uniform, double scaled_weight, std::uint16_t current) noexcept {
  return raised_register_with(uniform, scaled_weight, current, log_buckets());
}

std::uint16_t raised_register_exactly(double uniform, double scaled_weight, std::uint16_t current) noexcept {
  const std::uint16_t candidate = to_bfloat16(scaled_weight / std::log(uniform));
  return raises(candidate, current) ? candidate : current;
}

}  // namespace size_sketch_detail

template <std::size_t N>
  requires(N == 7 || N == 31 || N == 127)
void SizeSketch<N>::add_in_place(std::uint64_t id, std::uint64_t weight) noexcept {
  // A weight of 0 offers +0.0 or NaN to every register, which raises none.
  if (weight == 0) return;
  // -ln 4; the candidate ln4 * weight / -ln(u) is written as this times weight over ln(u).
  constexpr double kMinusLn4 = -1.3862943611198906;
  const double scaled_weight = static_cast<double>(weight) * kMinusLn4;
  // The hashes are independent of each other; computing them all first lets
  // them overlap instead of waiting on each register's division.
  std::array<double, N> uniforms;
  unsigned char message[16];
  std::memcpy(message + 8, &id, 8);
  for (std::size_t i = 0; i < N; ++i) {
    const std::uint64_t index = i;
    std::memcpy(message, &index, 8);
    uniforms[i] = size_sketch_detail::uniform_of_hash(XXH3_64bits(message, sizeof message));
  }
  const auto& buckets = size_sketch_detail::log_buckets();
  for (std::size_t i = 0; i < N; ++i) {
    registers_[i] = size_sketch_detail::raised_register_with(uniforms[i], scaled_weight, registers_[i], buckets);
  }
}

template class SizeSketch<7>;
template class SizeSketch<31>;
template class SizeSketch<127>;

}  // namespace vesker::analysis
