// The execution templates on their own: reductions, kFor3's coverage in every shape, kRounds'
// ordering, CPU/GPU agreement and the launch accounting.
#define TFR_BODY_SOURCE
#include <algorithm>
#include <cmath>

#include "device/rows.h"
#include "tests/solver/backends.h"

namespace tf::test {
namespace {

// Bodies live in free functions: nvcc does not allow extended lambdas inside a test's private
// TestBody.
double ReduceConstant(const Exec& ex, int n, ReduceMode mode, double value) {
  return kReduce(ex, "test", n, mode, [=] TFR_HD(int) { return value; });
}
double ReduceDescending(const Exec& ex, int n, ReduceMode mode) {
  return kReduce(ex, "test", n, mode, [] TFR_HD(int p) { return -1.0 - p; });
}
double ReducePeakAtEnd(const Exec& ex, int n) {
  return kReduce(ex, "test", n, ReduceMax, [=] TFR_HD(int p) { return p == n - 1 ? 7.5 : 1.0; });
}
double ReduceBigAndSmall(const Exec& ex) {
  return kReduce(ex, "test", 3, ReduceSum, [] TFR_HD(int p) { return p == 0 ? 1e8 : 0.25; });
}

// Runs `pattern` over (ex_, ey, ez) on the device of `ex`, twice into the same array for `passes`
// = 2 so that a doubly visited element would show, and brings the result home.
std::vector<float> RunPattern(const Exec& ex, int ex_, int ey, int ez, int passes) {
  const size_t n = size_t(ex_) * size_t(ey) * size_t(ez);
  float* out = static_cast<float*>(DeviceAllocZeroed(ex, n * sizeof(float)));
  if (!out) return {};
  for (int pass = 0; pass < passes; ++pass)
    kFor3(ex, "test", ex_, ey, ez, [=] TFR_HD(int x, int y, int z) {
      const float a = float(x) / float(y + 3);
      out[x + ex_ * (y + ey * z)] += sqrtf(a) / float(z + 1) - a / 7.0f;
    });
  kFor3(ex, "test", 0, ey, ez, [=] TFR_HD(int, int, int) { out[0] = -1.0f; });  // an empty range runs nothing
  std::vector<float> host(n);
  Download(ex, host.data(), out, n * sizeof(float));
  DeviceFree(ex, out);
  return host;
}

// kFor3 in `shape` over (ex_, ey, ez), each element writing its own linear index plus one.
std::vector<float> IndexPattern(const Exec& ex, LaunchShape shape, int ex_, int ey, int ez) {
  const size_t n = size_t(ex_) * size_t(ey) * size_t(ez);
  float* out = static_cast<float*>(DeviceAllocZeroed(ex, n * sizeof(float)));
  if (!out) return {};
  kFor3(ex, {"test", shape}, ex_, ey, ez, [=] TFR_HD(int x, int y, int z) {
    out[x + ex_ * (y + ey * z)] += float(x + ex_ * (y + ey * z) + 1);
  });
  std::vector<float> host(n);
  Download(ex, host.data(), out, n * sizeof(float));
  DeviceFree(ex, out);
  return host;
}

// kRows over (n, ey, ez): with RowLoop::Plain each element adds to its own value, so a repeat or
// a miss shows; with RowLoop::Lanes (which may repeat an element) each sets it. The value is the
// element's linear index plus one, plus 1000 where the launcher said `inside`.
std::vector<float> RowsPattern(const Exec& ex, int n, int ey, int ez, IndexBox box, RowWork work, RowLoop loop) {
  const size_t count = size_t(n) * size_t(ey) * size_t(ez);
  float* out = static_cast<float*>(DeviceAllocZeroed(ex, count * sizeof(float)));
  if (!out) return {};
  const bool adds = loop == RowLoop::Plain;
  kRows(ex, "test", n, ey, ez, box, [=] TFR_HD(bool inside, int i, int j, int k) TFR_ROW_BODY {
    const int e = i + n * (j + ey * k);
    const float v = float(e + 1) + (inside ? 1000.0f : 0.0f);
    out[e] = adds ? out[e] + v : v;
  }, work, loop);
  std::vector<float> host(count);
  Download(ex, host.data(), out, count * sizeof(float));
  DeviceFree(ex, out);
  return host;
}

// kRounds over n elements: round r sets element p to 1 + the sum of its two neighbours in round
// r - 1 (kept in a second array), so any round that starts before the last one ended, or an
// element visited twice, changes the result.
std::vector<float> RoundsPattern(const Exec& ex, int rounds, int ex_, int ey, int ez) {
  const int n = ex_ * ey * ez;
  float* a = static_cast<float*>(DeviceAllocZeroed(ex, 2 * size_t(n) * sizeof(float)));
  if (!a) return {};
  kRounds(ex, "test", rounds, ex_, ey, ez, [=] TFR_HD(int round, int x, int y, int z) {
    const int p = x + ex_ * (y + ey * z);
    const float* from = a + (round & 1) * n;
    float* to = a + (1 - (round & 1)) * n;
    to[p] = 1.0f + from[(p + 1) % n] + from[(p + n - 1) % n];
  });
  std::vector<float> host(static_cast<size_t>(n));
  Download(ex, host.data(), a + (rounds & 1) * n, size_t(n) * sizeof(float));
  DeviceFree(ex, a);
  return host;
}

// A sequence whose length the device decides: each step reduces `count` over 1000 elements (sum
// and maximum), counts itself in a kRounds pass, clears its own one of `steps` marks (set to 1
// beforehand), then adds one to `count` and raises the flag once it reaches `limit`. Recorded once
// with `steps` steps, every launch under the flag, and replayed for each limit; returns, per
// limit, {count, rounds run, sum, maximum, marks cleared}.
struct Countdown {
  int32_t flag, count, limit, rounds;
  double sum;
  uint32_t maxBits;
};
std::vector<std::vector<double>> RunCountdown(const Exec& ex, int steps, const std::vector<int>& limits) {
  auto* st = static_cast<Countdown*>(DeviceAllocZeroed(ex, sizeof(Countdown)));
  auto* marks = static_cast<float*>(DeviceAllocZeroed(ex, size_t(steps) * sizeof(float)));
  if (!st || !marks) return {};
  const std::vector<float> ones(size_t(steps), 1.0f);
  Exec guarded = ex;
  guarded.skip = &st->flag;
  LaunchGraph graph;
  std::vector<std::vector<double>> out;
  for (int limit : limits) {
    const Countdown start{0, 0, limit, 0, -1.0, 0u};
    Upload(ex, st, &start, sizeof start);
    Upload(ex, marks, ones.data(), ones.size() * sizeof(float));
    graph.Run(guarded, "countdown", [&] {
      for (int step = 0; step < steps; ++step) {
        kReduceTo(guarded, "test", 1000, ReduceSum, &st->sum, nullptr, [=] TFR_HD(int) { return double(st->count); });
        kReduceTo(guarded, "test", 1000, ReduceMax, nullptr, &st->maxBits,
                  [=] TFR_HD(int p) { return double(st->count) + double(p) / 1000.0; });
        kRounds(guarded, "test", 1, 1, 1, 1, [=] TFR_HD(int, int, int, int) { st->rounds += 1; });
        FillZero(guarded, marks + step, sizeof(float));
        kFor3(guarded, "test", 1, 1, 1, [=] TFR_HD(int, int, int) {
          st->count += 1;
          st->flag = st->count >= st->limit;
        });
      }
    });
    Countdown end{};
    Download(ex, &end, st, sizeof end);
    std::vector<float> left(static_cast<size_t>(steps));
    Download(ex, left.data(), marks, left.size() * sizeof(float));
    out.push_back({double(end.count), double(end.rounds), end.sum, double(BitsToFloat(end.maxBits)),
                   double(std::count(left.begin(), left.end(), 0.0f))});
  }
  DeviceFree(ex, st);
  DeviceFree(ex, marks);
  return out;
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

TEST_P(Exec3, EveryShapeVisitsEveryElementOnce) {
  // Extents that fill no block of any shape evenly, and a 2-D range above the serial threshold.
  const struct {
    LaunchShape shape;
    int x, y, z;
  } cases[] = {{LaunchShape::Cells, 37, 11, 5}, {LaunchShape::Voxels, 37, 11, 5},
               {LaunchShape::Pixels, 61, 35, 1}, {LaunchShape::Pixels, 9, 7, 3}};
  for (const auto& c : cases) {
    const std::vector<float> host = IndexPattern(ex, c.shape, c.x, c.y, c.z);
    ASSERT_EQ(host.size(), size_t(c.x * c.y * c.z));
    for (size_t p = 0; p < host.size(); ++p)
      ASSERT_EQ(host[p], float(p + 1)) << "shape " << int(c.shape) << ", element " << p;
  }
}

TEST_P(Exec3, RowsVisitEveryElementOnceAndTellTheBoxApart) {
  // Rows shorter than a block of lanes, rows that end in a part block, a box that misses every
  // row, and ranges above the threshold where the CPU shares the rows among its threads.
  const struct {
    const char* name;
    int n, ey, ez;
    IndexBox box;
    RowWork work;
  } cases[] = {{"short rows", 5, 3, 2, {{1, 0, 0}, {3, 2, 1}}, RowWork::Even},
               {"part blocks", 37, 11, 5, {{2, 1, 1}, {30, 9, 3}}, RowWork::Even},
               {"no box, pixel rows", 61, 35, 1, {{0, 0, 0}, {-1, -1, -1}}, RowWork::Rows},
               {"uneven layers", 20, 7, 40, {{1, 1, 1}, {18, 5, 38}}, RowWork::Uneven}};
  for (const auto& c : cases)
    for (const RowLoop loop : {RowLoop::Lanes, RowLoop::Plain}) {
      const std::vector<float> host = RowsPattern(ex, c.n, c.ey, c.ez, c.box, c.work, loop);
      ASSERT_EQ(host.size(), size_t(c.n * c.ey * c.ez)) << c.name;
      for (int k = 0; k < c.ez; ++k)
        for (int j = 0; j < c.ey; ++j)
          for (int i = 0; i < c.n; ++i) {
            const int e = i + c.n * (j + c.ey * k);
            const float want = float(e + 1) + (c.box.inside(i, j, k) ? 1000.0f : 0.0f);
            ASSERT_EQ(host[size_t(e)], want) << c.name << (loop == RowLoop::Plain ? ", plain" : ", lanes") << " at "
                                             << i << " " << j << " " << k;
          }
    }
}

TEST_P(Exec3, RoundsSeeEachOtherInOrder) {
  const int rounds = 7, nx = 13, ny = 5, nz = 3, n = nx * ny * nz;
  // The same recurrence, one round after another on the host.
  std::vector<float> want(static_cast<size_t>(n), 0.0f), next(static_cast<size_t>(n));
  for (int r = 0; r < rounds; ++r) {
    for (int p = 0; p < n; ++p) next[size_t(p)] = 1.0f + want[size_t((p + 1) % n)] + want[size_t((p + n - 1) % n)];
    want.swap(next);
  }
  EXPECT_EQ(RoundsPattern(ex, rounds, nx, ny, nz), want);
}

// The launches after the flag is raised do nothing, whether they run one by one (the CPU) or
// replay from one recording (the GPU), and the length changes with the limit from one replay to
// the next; a reduction that is skipped leaves its last result.
TEST_P(Exec3, RaisingTheSkipFlagStopsTheRestOfASequence) {
  const std::vector<std::vector<double>> got = RunCountdown(ex, 6, {3, 6, 1, 9});
  const std::vector<std::vector<double>> want = {
      {3, 3, 2000.0, double(2.999f), 3},
      {6, 6, 5000.0, double(5.999f), 6},
      {1, 1, 0.0, double(0.999f), 1},
      {6, 6, 5000.0, double(5.999f), 6},  // the sequence ends before the limit
  };
  EXPECT_EQ(got, want);
}

TFR_INSTANTIATE_BACKENDS(Exec3);

// Counting is off by default, counts every launch once under its label when on, and a graph's
// recorded launches count as one when it replays (on the CPU it has nothing to replay: the
// sequence runs, and counts, every time).
TEST(LaunchCounting, CountsByLabelOnlyWhileOn) {
  const Exec ex{};
  ResetLaunchCounts();
  ReduceConstant(ex, 10, ReduceSum, 1.0);
  EXPECT_EQ(TotalLaunches(), 0);
  SetLaunchCounting(true);
  ReduceConstant(ex, 10, ReduceSum, 1.0);
  IndexPattern(ex, LaunchShape::Cells, 4, 4, 4);
  IndexPattern(ex, LaunchShape::Cells, 0, 4, 4);  // an empty range launches nothing
  LaunchGraph graph;
  for (int i = 0; i < 3; ++i) graph.Run(ex, "graph", [&] { RoundsPattern(ex, 2, 4, 1, 1); });
  SetLaunchCounting(false);
  ReduceConstant(ex, 10, ReduceSum, 1.0);
  const std::vector<LaunchCount> counts = LaunchCounts();
  ASSERT_EQ(counts.size(), 1u);  // all under "test"
  EXPECT_EQ(counts[0].label, "test");
  EXPECT_EQ(counts[0].launches, 2 + 3);
  EXPECT_EQ(TotalLaunches(), 5);
  ResetLaunchCounts();
  EXPECT_EQ(TotalLaunches(), 0);
}

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
