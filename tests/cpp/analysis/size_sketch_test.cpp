#include "core/analysis/size_sketch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "core/analysis/size_estimator.h"

namespace vesker::analysis {
namespace {

static_assert(SizeEstimator<SizeSketch<7>>);
static_assert(SizeEstimator<SizeSketch<31>>);
static_assert(SizeEstimator<SizeSketch<127>>);
static_assert(sizeof(SizeSketch<127>) == 127 * 2, "a sketch is its registers and nothing else");

TEST(SizeSketchTest, WorkedExampleIsBitExact) {
  SizeSketch<7> sketch;
  sketch.add_in_place(0, 1000);
  EXPECT_EQ(sketch.registers(), (SizeSketch<7>::Registers{0x45D4, 0x4438, 0x45C2, 0x44CE, 0x46A9, 0x44D1, 0x43A0}));
  EXPECT_EQ(sketch.estimate(), 736u);
  sketch.add_in_place(1, 3000);
  EXPECT_EQ(sketch.registers(), (SizeSketch<7>::Registers{0x45D4, 0x4598, 0x485D, 0x44EE, 0x46A9, 0x4516, 0x4642}));
  EXPECT_EQ(sketch.estimate(), 2400u);
}

TEST(SizeSketchTest, Bfloat16RoundingLooksOnlyAtTheUpperWord) {
  const auto from_bits = [](std::uint64_t bits) { return std::bit_cast<double>(bits); };
  EXPECT_EQ(to_bfloat16(1.0), 0x3F80);
  EXPECT_EQ(to_bfloat16(-2.0), 0xC000);
  EXPECT_EQ(to_bfloat16(0.0), 0x0000);
  EXPECT_EQ(to_bfloat16(-0.0), 0x8000);
  // 1 + 2^-8 is the exact tie between 0x3F80 and 0x3F81: to even.
  EXPECT_EQ(to_bfloat16(from_bits(0x3FF0'1000'0000'0000)), 0x3F80);
  // Set bits below the upper word do not break the tie.
  EXPECT_EQ(to_bfloat16(from_bits(0x3FF0'1000'FFFF'FFFF)), 0x3F80);
  // A sticky bit inside the upper word does.
  EXPECT_EQ(to_bfloat16(from_bits(0x3FF0'1001'0000'0000)), 0x3F81);
  // Ties with an odd kept bit round up.
  EXPECT_EQ(to_bfloat16(from_bits(0x3FF0'3000'0000'0000)), 0x3F82);
  // The carry runs into the exponent: just below 2 rounds to 2.
  EXPECT_EQ(to_bfloat16(from_bits(0x3FFF'F800'0000'0000)), 0x4000);
  // Largest finite bfloat16, then overflow to infinity by rounding and by range.
  EXPECT_EQ(to_bfloat16(from_bits(0x47EF'E000'0000'0000)), 0x7F7F);
  EXPECT_EQ(to_bfloat16(from_bits(0x47EF'D000'0000'0001)), 0x7F7E);
  EXPECT_EQ(to_bfloat16(from_bits(0x47EF'F000'0000'0000)), 0x7F80);
  EXPECT_EQ(to_bfloat16(-0x1p200), 0xFF80);
  EXPECT_EQ(to_bfloat16(-std::numeric_limits<double>::infinity()), 0xFF80);
  const std::uint16_t nan = to_bfloat16(std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(nan & 0x7F80, 0x7F80);
  EXPECT_NE(nan & 0x007F, 0);
  // Subnormal results: 2^-133 is the smallest, half of it ties to zero.
  EXPECT_EQ(to_bfloat16(0x1p-126), 0x0080);
  EXPECT_EQ(to_bfloat16(0x1p-133), 0x0001);
  EXPECT_EQ(to_bfloat16(0x1p-134), 0x0000);
  EXPECT_EQ(to_bfloat16(0x1.8p-134), 0x0001);
  EXPECT_EQ(to_bfloat16(0x1.fcp-127), 0x007F);
  EXPECT_EQ(to_bfloat16(0x1.fep-127), 0x0080);  // a tie, rounded up into the normal range
}

template <class Sketch>
class SizeSketchPropertiesTest : public ::testing::Test {};
using SketchTypes = ::testing::Types<SizeSketch<7>, SizeSketch<31>, SizeSketch<127>>;
TYPED_TEST_SUITE(SizeSketchPropertiesTest, SketchTypes);

TYPED_TEST(SizeSketchPropertiesTest, RepeatsAndZeroWeightsChangeNothing) {
  TypeParam sketch;
  EXPECT_EQ(sketch.estimate(), 0u);
  sketch.add_in_place(42, 0);
  EXPECT_EQ(sketch, TypeParam());
  sketch.add_in_place(42, 5000);
  sketch.add_in_place(7, 100);
  const TypeParam after_first = sketch;
  sketch.add_in_place(42, 5000);
  sketch.add_in_place(42, 4999);
  sketch.add_in_place(7, 0);
  EXPECT_EQ(sketch, after_first);
  TypeParam self_merge = sketch;
  self_merge.include(sketch);
  EXPECT_EQ(self_merge, sketch);
  TypeParam subset;
  subset.add_in_place(7, 100);
  self_merge.include(subset);
  EXPECT_EQ(self_merge, sketch);
}

TYPED_TEST(SizeSketchPropertiesTest, OrderAndMergingDoNotMatter) {
  std::mt19937_64 random(20240611);
  for (int round = 0; round < 20; ++round) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> elements;
    const int count = 1 + static_cast<int>(random() % 60);
    for (int i = 0; i < count; ++i) elements.emplace_back(random() % 40, random() % 100000);
    TypeParam in_order;
    for (auto [id, weight] : elements) in_order.add_in_place(id, weight);

    std::shuffle(elements.begin(), elements.end(), random);
    TypeParam shuffled;
    for (auto [id, weight] : elements) shuffled.add_in_place(id, weight);
    EXPECT_EQ(shuffled, in_order);

    TypeParam left;
    TypeParam right;
    for (std::size_t i = 0; i < elements.size(); ++i) {
      (random() % 2 ? left : right).add_in_place(elements[i].first, elements[i].second);
    }
    TypeParam left_then_right = left;
    left_then_right.include(right);
    TypeParam right_then_left = right;
    right_then_left.include(left);
    EXPECT_EQ(left_then_right, in_order);
    EXPECT_EQ(right_then_left, in_order);
  }
}

TYPED_TEST(SizeSketchPropertiesTest, EstimatesTheTotalOfDistinctWeights) {
  // Many distinct ids of equal weight: the lower quartile of the registers
  // lands near the total. The bound is loose; the inputs are fixed.
  TypeParam sketch;
  for (std::uint64_t id = 0; id < 2000; ++id) sketch.add_in_place(id, 1000);
  for (std::uint64_t id = 0; id < 2000; id += 3) sketch.add_in_place(id, 1000);
  const double estimate = static_cast<double>(sketch.estimate());
  EXPECT_GT(estimate, 2'000'000 * 0.4);
  EXPECT_LT(estimate, 2'000'000 * 2.5);
}

TEST(SizeSketchTest, EstimateTakesTheRankQuarterRegisterWithSaturation) {
  using Registers7 = SizeSketch<7>::Registers;
  // Only one register set: rank 1 of seven is still zero.
  EXPECT_EQ(SizeSketch<7>::from_registers(Registers7{0, 0, 0, 0x4500, 0, 0, 0}).estimate(), 0u);
  // Rank 1 is the second smallest, whatever the positions.
  EXPECT_EQ(SizeSketch<7>::from_registers(Registers7{0x4600, 0x4500, 0x4700, 0x4480, 0x4400, 0x4800, 0x4900})
                .estimate(),
            1024u);
  // +infinity and values from 2^64 up saturate.
  EXPECT_EQ(SizeSketch<7>::from_registers(Registers7{0x7F80, 0x7F80, 0x7F80, 0, 0x7F80, 0x7F80, 0x7F80}).estimate(),
            UINT64_MAX);
  EXPECT_EQ(SizeSketch<7>::from_registers(Registers7{0x5F80, 0x5F80, 0x5F80, 0x5F80, 0x5F80, 0x5F80, 0x5F80})
                .estimate(),
            UINT64_MAX);
  // Just below 2^64 (0x5F7F = 255 * 2^56) converts exactly.
  EXPECT_EQ(SizeSketch<7>::from_registers(Registers7{0x5F7F, 0x5F7F, 0x5F7F, 0x5F7F, 0x5F7F, 0x5F7F, 0x5F7F})
                .estimate(),
            255ull << 56);
  // totalOrder puts negative NaN and negatives first: rank 1 is -1.0, read as 0.
  EXPECT_EQ(SizeSketch<7>::from_registers(Registers7{0x4000, 0xBF80, 0xFFC0, 0x4000, 0x4000, 0x4000, 0x4000})
                .estimate(),
            0u);
  // Positive NaN sorts last and is never selected when six values lie below it.
  EXPECT_EQ(SizeSketch<7>::from_registers(Registers7{0x7FC0, 0x4000, 0x4040, 0x4080, 0x4100, 0x4120, 0x4140})
                .estimate(),
            3u);
  // Truncation toward zero: 1.5 reads as 1.
  EXPECT_EQ(SizeSketch<7>::from_registers(Registers7{0x3FC0, 0x3FC0, 0x3FC0, 0x3FC0, 0x3FC0, 0x3FC0, 0x3FC0})
                .estimate(),
            1u);
}

TEST(SizeSketchTest, IncludeTreatsNanAndSignedZerosAsWritten) {
  using Registers7 = SizeSketch<7>::Registers;
  SizeSketch<7> sketch = SizeSketch<7>::from_registers(Registers7{0x7FC0, 0x4000, 0x0000, 0x8000, 0x4000, 0x4100, 0});
  sketch.include(SizeSketch<7>::from_registers(Registers7{0x4000, 0x7FC0, 0x8000, 0x0000, 0x4100, 0x4000, 0}));
  EXPECT_EQ(sketch.registers(), (Registers7{0x4000, 0x4000, 0x0000, 0x8000, 0x4100, 0x4100, 0}));
}

}  // namespace
}  // namespace vesker::analysis
