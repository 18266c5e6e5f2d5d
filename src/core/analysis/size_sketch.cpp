#include "core/analysis/size_sketch.h"

#include <cmath>
#include <cstring>

#include "core/common/byte_order.h"

// The per-register hash is a 16-byte XXH3 call made N times per addition;
// inlining it keeps the cost at the hash itself. The results are those of the
// library build.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace vesker::analysis {

template <std::size_t N>
  requires(N == 7 || N == 31 || N == 127)
void SizeSketch<N>::add_in_place(std::uint64_t id, std::uint64_t weight) noexcept {
  // -ln 4; the candidate ln4 * weight / -ln(u) is written as this times weight over ln(u).
  constexpr double kMinusLn4 = -1.3862943611198906;
  constexpr double kTwoToMinus64 = 5.421010862427522e-20;
  const double scaled_weight = static_cast<double>(weight) * kMinusLn4;
  unsigned char message[16];
  std::memcpy(message + 8, &id, 8);
  for (std::size_t i = 0; i < N; ++i) {
    const std::uint64_t index = i;
    std::memcpy(message, &index, 8);
    const std::uint64_t hash = XXH3_64bits(message, sizeof message);
    const double uniform = static_cast<double>(hash) * kTwoToMinus64;
    const std::uint16_t candidate = to_bfloat16(scaled_weight / std::log(uniform));
    // NaN on either side compares false and leaves the register alone.
    if (bfloat16_to_float(candidate) > bfloat16_to_float(registers_[i])) registers_[i] = candidate;
  }
}

template class SizeSketch<7>;
template class SizeSketch<31>;
template class SizeSketch<127>;

}  // namespace vesker::analysis
