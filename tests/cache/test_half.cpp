// Half precision: exhaustive over the 65536 codes, rounding checked at every boundary between two
// neighbouring halves, and the corner values the cache depends on.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "cache/half.h"

namespace tf {
namespace {

bool IsNaNCode(uint16_t h) { return (h & 0x7C00u) == 0x7C00u && (h & 0x3FFu) != 0; }

// The value of a half code computed independently, in double.
double Reference(uint16_t h) {
  const int e = (h >> 10) & 0x1F;
  const int m = h & 0x3FF;
  const double sign = (h & 0x8000u) ? -1.0 : 1.0;
  if (e == 0x1F) return m ? std::numeric_limits<double>::quiet_NaN() : sign * INFINITY;
  if (e == 0) return sign * std::ldexp(m, -24);
  return sign * std::ldexp(1024 + m, e - 25);
}

TEST(Half, EveryCodeWidensExactlyAndComesBack) {
  for (uint32_t code = 0; code <= 0xFFFFu; ++code) {
    const uint16_t h = static_cast<uint16_t>(code);
    const float f = HalfToFloat(h);
    if (IsNaNCode(h)) {
      ASSERT_TRUE(std::isnan(f)) << std::hex << code;
      ASSERT_EQ(FloatToHalf(f), (h & 0x8000u) | 0x7E00u) << std::hex << code;
      continue;
    }
    ASSERT_EQ(static_cast<double>(f), Reference(h)) << std::hex << code;
    ASSERT_EQ(std::signbit(f), (h & 0x8000u) != 0) << std::hex << code;
    ASSERT_EQ(FloatToHalf(f), h) << std::hex << code;
  }
}

// Between every pair of neighbouring finite halves a and b: the midpoint goes to the even one of
// the two, and one float step either side of it goes to the nearer one.
TEST(Half, RoundsToNearestWithTiesToEvenEverywhere) {
  for (uint16_t sign : {uint16_t(0), uint16_t(0x8000)}) {
    for (uint16_t a = 0; a < 0x7BFF; ++a) {
      const uint16_t lo = sign | a, hi = sign | uint16_t(a + 1);
      // Two neighbouring halves differ in 11 significant bits at most; their midpoint fits a float.
      const float mid = static_cast<float>((Reference(lo) + Reference(hi)) / 2);
      ASSERT_EQ(static_cast<double>(mid), (Reference(lo) + Reference(hi)) / 2);
      const uint16_t even = (a & 1u) ? hi : lo;
      ASSERT_EQ(FloatToHalf(mid), even) << std::hex << a;
      const float towardLo = std::nextafter(mid, HalfToFloat(lo));
      const float towardHi = std::nextafter(mid, HalfToFloat(hi));
      ASSERT_EQ(FloatToHalf(towardLo), lo) << std::hex << a;
      ASSERT_EQ(FloatToHalf(towardHi), hi) << std::hex << a;
    }
  }
}

#if defined(__FLT16_MAX__)
// The compiler's own conversion as a second opinion, over a spread of float bit patterns.
TEST(Half, AgreesWithTheCompilersConversion) {
  for (uint64_t bits = 0; bits <= 0xFFFFFFFFull; bits += 9973) {
    const float f = std::bit_cast<float>(static_cast<uint32_t>(bits));
    if (std::isnan(f)) continue;
    const _Float16 h = static_cast<_Float16>(f);
    ASSERT_EQ(FloatToHalf(f), std::bit_cast<uint16_t>(h)) << std::hex << bits;
  }
}
#endif

TEST(Half, CornerValues) {
  // Range ends: 65504 is the largest half, 65520 is the tie that rounds (to even) to infinity.
  EXPECT_EQ(FloatToHalf(65504.0f), 0x7BFF);
  EXPECT_EQ(FloatToHalf(std::nextafter(65520.0f, 0.0f)), 0x7BFF);
  EXPECT_EQ(FloatToHalf(65520.0f), 0x7C00);
  EXPECT_EQ(FloatToHalf(-65520.0f), 0xFC00);
  EXPECT_EQ(FloatToHalf(1.0e5f), 0x7C00);
  EXPECT_EQ(FloatToHalf(std::numeric_limits<float>::max()), 0x7C00);
  EXPECT_EQ(FloatToHalf(INFINITY), 0x7C00);
  EXPECT_EQ(FloatToHalf(-INFINITY), 0xFC00);

  // Small end: 2^-24 is the least subnormal; 2^-25 is the tie to zero; just above it rounds up.
  EXPECT_EQ(FloatToHalf(0x1p-24f), 0x0001);
  EXPECT_EQ(HalfToFloat(0x0001), 0x1p-24f);
  EXPECT_EQ(FloatToHalf(0x1p-25f), 0x0000);
  EXPECT_EQ(FloatToHalf(std::nextafter(0x1p-25f, 1.0f)), 0x0001);
  EXPECT_EQ(FloatToHalf(-0x1p-25f), 0x8000);
  EXPECT_EQ(FloatToHalf(1e-8f), 0x0000);
  EXPECT_EQ(FloatToHalf(-1e-8f), 0x8000);
  EXPECT_EQ(FloatToHalf(std::numeric_limits<float>::denorm_min()), 0x0000);
  // The largest subnormal rounding up into the least normal.
  EXPECT_EQ(FloatToHalf(std::nextafter(0x1p-14f, 0.0f)), 0x0400);
  EXPECT_EQ(HalfToFloat(0x03FF), 0x1.ff8p-15f);

  EXPECT_EQ(FloatToHalf(0.0f), 0x0000);
  EXPECT_EQ(FloatToHalf(-0.0f), 0x8000);
  EXPECT_TRUE(std::signbit(RoundToHalf(-0.0f)));
  EXPECT_EQ(FloatToHalf(1.0f), 0x3C00);
  EXPECT_EQ(FloatToHalf(-2.0f), 0xC000);
  EXPECT_EQ(FloatToHalf(1.0f + 0x1p-11f), 0x3C00);                    // tie, stays on even 1.0
  EXPECT_EQ(FloatToHalf(1.0f + 3 * 0x1p-11f), 0x3C02);                // tie, goes up to even

  // NaN: the canonical quiet NaN, sign kept, whatever the payload.
  EXPECT_EQ(FloatToHalf(std::numeric_limits<float>::quiet_NaN()), 0x7E00);
  EXPECT_EQ(FloatToHalf(-std::numeric_limits<float>::quiet_NaN()), 0xFE00);
  EXPECT_EQ(FloatToHalf(std::bit_cast<float>(0x7F800001u)), 0x7E00);
  EXPECT_TRUE(std::isnan(HalfToFloat(0x7C01)));
  EXPECT_TRUE(std::isinf(HalfToFloat(0xFC00)) && HalfToFloat(0xFC00) < 0);
}

}  // namespace
}  // namespace tf
