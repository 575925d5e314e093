// The execution templates on their own: reductions and kFor3's coverage and CPU/GPU agreement.
#define TFR_BODY_SOURCE
#include <cmath>

#include "tests/solver/backends.h"

namespace tf::test {
namespace {

// Bodies live in free functions: nvcc does not allow extended lambdas inside a test's private
// TestBody.
double ReduceConstant(const Exec& ex, int n, ReduceMode mode, double value) {
  return kReduce(ex, n, mode, [=] TFR_HD(int) { return value; });
}
double ReduceDescending(const Exec& ex, int n, ReduceMode mode) {
  return kReduce(ex, n, mode, [] TFR_HD(int p) { return -1.0 - p; });
}
double ReducePeakAtEnd(const Exec& ex, int n) {
  return kReduce(ex, n, ReduceMax, [=] TFR_HD(int p) { return p == n - 1 ? 7.5 : 1.0; });
}
double ReduceBigAndSmall(const Exec& ex) {
  return kReduce(ex, 3, ReduceSum, [] TFR_HD(int p) { return p == 0 ? 1e8 : 0.25; });
}

// Runs `pattern` over (ex_, ey, ez) on the device of `ex`, twice into the same array for `passes`
// = 2 so that a doubly visited element would show, and brings the result home.
std::vector<float> RunPattern(const Exec& ex, int ex_, int ey, int ez, int passes) {
  const size_t n = size_t(ex_) * size_t(ey) * size_t(ez);
  float* out = static_cast<float*>(DeviceAllocZeroed(ex, n * sizeof(float)));
  if (!out) return {};
  for (int pass = 0; pass < passes; ++pass)
    kFor3(ex, ex_, ey, ez, [=] TFR_HD(int x, int y, int z) {
      const float a = float(x) / float(y + 3);
      out[x + ex_ * (y + ey * z)] += sqrtf(a) / float(z + 1) - a / 7.0f;
    });
  kFor3(ex, 0, ey, ez, [=] TFR_HD(int, int, int) { out[0] = -1.0f; });  // an empty range runs nothing
  std::vector<float> host(n);
  Download(ex, host.data(), out, n * sizeof(float));
  DeviceFree(ex, out);
  return host;
}

class Exec3 : public Backends {
 protected:
  void SetUp() override {
    Backends::SetUp();
    if (IsSkipped()) return;
    create(sim, Grid(4, 4, 4));
    ex = sim.Internals().exec();
  }
  FireSim sim;
  Exec ex;
};

TEST_P(Exec3, ReduceOfNothingIsZero) {
  EXPECT_EQ(ReduceConstant(ex, 0, ReduceSum, 1.0), 0.0);
  EXPECT_EQ(ReduceConstant(ex, 0, ReduceMax, 1.0), 0.0);
  EXPECT_EQ(ReduceConstant(ex, -5, ReduceSum, 1.0), 0.0);
}

TEST_P(Exec3, ReduceSumsInDoubleAndClampsTheMaximum) {
  // Negative values only: the maximum is 0, the sum is exact.
  EXPECT_EQ(ReduceDescending(ex, 1000, ReduceMax), 0.0);
  EXPECT_EQ(ReduceDescending(ex, 1000, ReduceSum), -500500.0);
  // More elements than 1024 blocks of 256 threads: every element still counts once.
  const int n = 1024 * 256 * 3 + 17;
  EXPECT_EQ(ReduceConstant(ex, n, ReduceSum, 1.0), double(n));
  EXPECT_EQ(ReducePeakAtEnd(ex, n), 7.5);
  // Small terms that float accumulation would lose.
  EXPECT_EQ(ReduceBigAndSmall(ex), 1e8 + 0.5);
  // The maximum comes back rounded to single precision.
  EXPECT_EQ(ReduceConstant(ex, 10, ReduceMax, 0.1), double(0.1f));
}

TEST_P(Exec3, For3VisitsEveryElementOnce) {
  const int ex_ = 37, ey = 11, ez = 5;
  const std::vector<float> host = RunPattern(ex, ex_, ey, ez, 1);
  ASSERT_EQ(host.size(), size_t(ex_ * ey * ez));
  for (int z = 0; z < ez; ++z)
    for (int y = 0; y < ey; ++y)
      for (int x = 0; x < ex_; ++x) {
        const float a = float(x) / float(y + 3);
        ASSERT_EQ(host[size_t(x + ex_ * (y + ey * z))], sqrtf(a) / float(z + 1) - a / 7.0f);
      }
}

TFR_INSTANTIATE_BACKENDS(Exec3);

// The same body gives bit-identical results on both devices.
TEST(Exec3Agreement, CpuAndGpuAgreeExactly) {
  if (!GpuPresent()) GTEST_SKIP() << "no GPU on this machine";
  FireSim cpu, gpu;
  ASSERT_TRUE(cpu.Create(Grid(4, 4, 4), kDefaultOpenSides, false));
  ASSERT_TRUE(gpu.Create(Grid(4, 4, 4), kDefaultOpenSides, true));
  ASSERT_TRUE(gpu.UsesGpu());
  // Two passes over extents that fill no block evenly.
  const std::vector<float> a = RunPattern(cpu.Internals().exec(), 65, 9, 7, 2);
  const std::vector<float> b = RunPattern(gpu.Internals().exec(), 65, 9, 7, 2);
  ASSERT_EQ(a.size(), size_t(65 * 9 * 7));
  const std::vector<float> results[2] = {a, b};
  EXPECT_EQ(results[0], results[1]);
}

}  // namespace
}  // namespace tf::test
