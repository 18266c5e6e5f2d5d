// The sketch computes its candidates through a cheap logarithm and calls the
// C library only near a rounding step. These tests hold it to the plain
// formula -- XXH3 from the library, conversion, log, division, bfloat16 --
// on millions of inputs, with the draws and weights where an approximation
// would slip first: u near 0 and 1, bucket edges, powers of two, huge weights,
// quotients right at a bfloat16 rounding step and registers equal to the
// candidate or next to it.
#include <gtest/gtest.h>
#include <xxhash.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/analysis/size_sketch.h"

namespace vesker::analysis {
namespace {

using size_sketch_detail::cheap_log_of_uniform;
using size_sketch_detail::raised_register;
using size_sketch_detail::raised_register_exactly;

constexpr double kMinusLn4 = -1.3862943611198906;

double from_bits(std::uint64_t bits) { return std::bit_cast<double>(bits); }
std::uint64_t bits_of(double value) { return std::bit_cast<std::uint64_t>(value); }

// Draws of every kind the hash can produce, and the awkward ones it rarely does.
std::vector<double> interesting_uniforms(std::mt19937_64& random) {
  std::vector<double> uniforms;
  const auto add_with_neighbours = [&](double u, int steps) {
    for (int d = -steps; d <= steps; ++d) {
      const double v = from_bits(bits_of(u) + static_cast<std::uint64_t>(static_cast<std::int64_t>(d)));
      if (v >= 0x1p-64 && v < 1.0) uniforms.push_back(v);
    }
  };
  // Just below 1, where log(u) is tiny and a small absolute error is large.
  for (std::uint64_t k = 1; k <= 20000; ++k) uniforms.push_back(1.0 - static_cast<double>(k) * 0x1p-53);
  // The smallest draws and every power of two on the way up.
  for (std::uint64_t h = 1; h <= 20000; ++h) uniforms.push_back(static_cast<double>(h) * 0x1p-64);
  for (int e = 1; e <= 64; ++e) add_with_neighbours(std::ldexp(1.0, -e), 64);
  // The edges of the reduction's buckets in every binade.
  for (int e = 0; e >= -64; --e) {
    for (std::uint64_t edge = 0; edge < 128; ++edge) {
      add_with_neighbours(std::ldexp(from_bits(0x3FE6'7000'0000'0000 + (edge << 45)), e), 4);
    }
  }
  // Draws as the sketch makes them, from uniform 64-bit hashes, and draws
  // spread evenly over the exponents.
  for (int n = 0; n < 200000; ++n) uniforms.push_back(static_cast<double>(random()) * 0x1p-64);
  for (int n = 0; n < 200000; ++n) {
    const int exponent = -1 - static_cast<int>(random() % 64);
    uniforms.push_back(std::ldexp(from_bits(0x3FF0'0000'0000'0000 | (random() >> 12)), exponent));
  }
  return uniforms;
}

TEST(SizeSketchFastPathTest, CheapLogStaysWithinItsProvenBound) {
  std::mt19937_64 random(31);
  // The bound is 2^-32 against the true logarithm; the library's own error
  // (under one ulp) is allowed on top.
  const double bound = 0x1p-32 + 0x1p-51;
  double worst = 0;
  for (const double u : interesting_uniforms(random)) {
    const double exact = std::log(u);
    const double error = std::fabs(cheap_log_of_uniform(u) / exact - 1.0);
    worst = std::max(worst, error);
    ASSERT_LE(error, bound) << "u = " << u;
  }
  EXPECT_GT(worst, 0.0);
}

// Registers worth comparing a candidate with: the empty value, the candidate
// itself and its neighbours, and some that no sketch built by additions holds.
std::vector<std::uint16_t> interesting_registers(std::uint16_t candidate, std::mt19937_64& random) {
  return {0x0000,
          0x8000,
          candidate,
          static_cast<std::uint16_t>(candidate - 1),
          static_cast<std::uint16_t>(candidate + 1),
          static_cast<std::uint16_t>(random()),
          0x7FC0,
          0xBF80,
          0x7F80};
}

std::vector<std::uint64_t> interesting_weights(std::mt19937_64& random) {
  std::vector<std::uint64_t> weights = {1, 2, 3, 1000, UINT64_MAX, UINT64_MAX - 1};
  for (int e = 1; e < 64; ++e) {
    const std::uint64_t power = std::uint64_t{1} << e;
    weights.insert(weights.end(), {power - 1, power, power + 1});
  }
  for (int n = 0; n < 24; ++n) weights.push_back(random() >> (random() % 64));
  return weights;
}

void expect_same_register(double u, double scaled_weight, std::uint16_t current) {
  ASSERT_EQ(raised_register(u, scaled_weight, current), raised_register_exactly(u, scaled_weight, current))
      << "u = " << u << " (bits " << bits_of(u) << "), scaled weight = " << scaled_weight << ", register = " << current;
}

TEST(SizeSketchFastPathTest, RegisterUpdatesMatchTheLibraryLog) {
  std::mt19937_64 random(4242);
  const std::vector<double> uniforms = interesting_uniforms(random);
  const std::vector<std::uint64_t> weights = interesting_weights(random);
  std::size_t cases = 0;
  for (std::size_t n = 0; n < uniforms.size(); ++n) {
    const double u = uniforms[n];
    // A few weights per draw, in rotation, so that every pairing kind occurs.
    for (std::size_t w = 0; w < 3; ++w) {
      const double scaled_weight = static_cast<double>(weights[(n * 3 + w) % weights.size()]) * kMinusLn4;
      const std::uint16_t candidate = to_bfloat16(scaled_weight / std::log(u));
      for (const std::uint16_t current : interesting_registers(candidate, random)) {
        expect_same_register(u, scaled_weight, current);
        ++cases;
      }
    }
  }
  // The boundary draws of the exact formula.
  for (const std::uint64_t weight : weights) {
    for (const double u : {0.0, 1.0}) {
      for (const std::uint16_t current : {0x0000, 0x8000, 0xBF80, 0x7FC0}) {
        expect_same_register(u, static_cast<double>(weight) * kMinusLn4, static_cast<std::uint16_t>(current));
      }
    }
  }
  EXPECT_GT(cases, 4'000'000u);
}

TEST(SizeSketchFastPathTest, QuotientsAtRoundingStepsMatchTheLibraryLog) {
  // Draws whose quotient lands on a bfloat16 rounding step, where the window
  // around the cheap quotient straddles the step and the library decides.
  std::mt19937_64 random(99);
  const std::vector<std::uint64_t> weights = interesting_weights(random);
  std::size_t cases = 0;
  for (int n = 0; n < 60000; ++n) {
    const std::uint64_t weight = weights[n % weights.size()];
    const double scaled_weight = static_cast<double>(weight) * kMinusLn4;
    // A step between two bfloat16 values (upper word ...1000 in the 13 bits
    // below the kept ones), in the range the quotient takes for this weight.
    const double lowest = -scaled_weight / 44.4;
    const double highest = -scaled_weight / 1.2e-16;
    const double target_log2 = std::log2(lowest) + std::ldexp(static_cast<double>(random() >> 11), -53) *
                                                        (std::log2(highest) - std::log2(lowest));
    const std::uint64_t step_bits = (bits_of(std::exp2(target_log2)) & ~std::uint64_t{0x1FFF'FFFF'FFFF}) |
                                    (std::uint64_t{1} << 44);
    // log(u) = scaled_weight / step.
    const double u = std::exp(scaled_weight / from_bits(step_bits));
    if (!(u >= 0x1p-64 && u < 1.0)) continue;
    for (std::int64_t d = -3; d <= 3; ++d) {
      const double v = from_bits(bits_of(u) + static_cast<std::uint64_t>(d));
      if (!(v < 1.0)) continue;
      const std::uint16_t candidate = to_bfloat16(scaled_weight / std::log(v));
      for (const std::uint16_t current : interesting_registers(candidate, random)) {
        expect_same_register(v, scaled_weight, current);
        ++cases;
      }
    }
  }
  EXPECT_GT(cases, 3'000'000u);
}

// add_in_place written out plainly, from the library's XXH3.
template <std::size_t N>
typename SizeSketch<N>::Registers plainly_added(typename SizeSketch<N>::Registers registers, std::uint64_t id,
                                               std::uint64_t weight) {
  const double scaled_weight = static_cast<double>(weight) * kMinusLn4;
  for (std::size_t i = 0; i < N; ++i) {
    unsigned char message[16];
    const std::uint64_t index = i;
    std::memcpy(message, &index, 8);
    std::memcpy(message + 8, &id, 8);
    const double u = static_cast<double>(XXH3_64bits(message, sizeof message)) * 0x1p-64;
    const std::uint16_t candidate = to_bfloat16(scaled_weight / std::log(u));
    if (bfloat16_to_float(candidate) > bfloat16_to_float(registers[i])) registers[i] = candidate;
  }
  return registers;
}

template <std::size_t N>
void expect_additions_match_plain_formula(int additions, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  const std::vector<std::uint64_t> weights = interesting_weights(random);
  typename SizeSketch<N>::Registers registers{};
  for (int n = 0; n < additions; ++n) {
    // Start over now and then from random registers, and from empty ones.
    if (n % 64 == 0) {
      for (auto& value : registers) value = (n / 64) % 2 ? static_cast<std::uint16_t>(random() & 0x7FFF) : 0;
    }
    const std::uint64_t id = n % 3 ? random() : random() % 1000;
    const std::uint64_t weight = n % 2 ? weights[random() % weights.size()] : 1 + random() % 100000;
    SizeSketch<N> sketch = SizeSketch<N>::from_registers(registers);
    sketch.add_in_place(id, weight);
    registers = plainly_added<N>(registers, id, weight);
    ASSERT_EQ(sketch.registers(), registers) << "id " << id << ", weight " << weight;
  }
}

TEST(SizeSketchFastPathTest, AdditionsMatchThePlainFormula) {
  expect_additions_match_plain_formula<7>(600000, 1);
  expect_additions_match_plain_formula<31>(100000, 2);
  expect_additions_match_plain_formula<127>(30000, 3);
}

}  // namespace
}  // namespace vesker::analysis
