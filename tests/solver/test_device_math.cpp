// The device layer's shared maths on the host: the detail noise (the seeded value noise is checked
// with the turbulence force that uses it).
#include <random>

#include <gtest/gtest.h>

#include "device/device_math.h"
#include "device/grid_index.h"

namespace tf::test {
namespace {

TEST(DetailNoise, LatticeValuesAndSmoothBlend) {
  // Corner values of the hash, worked out independently (Python, unsigned 32-bit wrapping).
  EXPECT_EQ(DetailNoise(0, 0, 0), 0.0f);
  EXPECT_NEAR(DetailNoise(1, 0, 0), 0.45972224829925584, 1e-7);
  EXPECT_NEAR(DetailNoise(0, 1, 0), 0.6030767919466967, 1e-7);
  EXPECT_NEAR(DetailNoise(-1, 0, 0), 0.8715512079925065, 1e-7);
  EXPECT_NEAR(DetailNoise(2, -3, 5), 0.33875991933106897, 1e-7);
  // Half-way the smooth weight is 1/2; a quarter of the way it is 5/32.
  EXPECT_NEAR(DetailNoise(-0.5f, 0, 0), 0.5 * 0.8715512079925065, 1e-6);
  EXPECT_NEAR(DetailNoise(0.25f, 0, 0), 5.0 / 32.0 * 0.45972224829925584, 1e-6);
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> at(-500.0f, 500.0f);
  for (int i = 0; i < 2000; ++i) {
    const float a = at(rng), b = at(rng), c = at(rng), v = DetailNoise(a, b, c);
    ASSERT_TRUE(v >= 0.0f && v <= 1.0f) << v;
    ASSERT_NEAR(DetailNoise(a + 1e-3f, b, c), v, 0.01f);  // continuous across lattice cells too
  }
}

// A debug build stops where a hand-written index step and the plain index computation disagree.
TEST(IndexSteps, ADebugBuildStopsAStepThatGoesAstray) {
#ifdef NDEBUG
  GTEST_SKIP() << "checked in debug builds only";
#else
  const Dims d{5, 4, 3};
  TFR_CHECK_INDEX(d.cell(1, 2, 1) + d.cellStrideY(), PlainIndex(5, 4, 1, 3, 1));
  EXPECT_DEATH(TFR_CHECK_INDEX(d.cell(1, 2, 1) + d.nx + 1, PlainIndex(5, 4, 1, 3, 1)), "astray");
#endif
}

}  // namespace
}  // namespace tf::test
