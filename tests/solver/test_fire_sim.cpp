// Creation, release, the multigrid pyramid and the step's bookkeeping.
#include <cstring>

#include "tests/solver/backends.h"

namespace tf::test {
namespace {

uint64_t ExpectedBytes(const GridDesc& g) {
  const uint64_t nx = uint64_t(g.nx), ny = uint64_t(g.ny), nz = uint64_t(g.nz);
  const uint64_t faces = 2 * ((nx + 1) * ny * nz + nx * (ny + 1) * nz + nx * ny * (nz + 1));
  uint64_t bytes = 4 * (faces + 20 * nx * ny * nz);
  for (const Int3& e : PyramidExtents(g)) bytes += uint64_t(e.x) * uint64_t(e.y) * uint64_t(e.z) * 13;
  return bytes;
}

TEST(Pyramid, HalvesUntilASideIsEightOrLess) {
  EXPECT_EQ(PyramidExtents(Grid(100, 64, 9)), (std::vector<Int3>{{100, 64, 9}, {50, 32, 5}}));
  EXPECT_EQ(PyramidExtents(Grid(4, 4, 4)), (std::vector<Int3>{{4, 4, 4}}));
  EXPECT_EQ(PyramidExtents(Grid(128, 128, 192)),
            (std::vector<Int3>{{128, 128, 192}, {64, 64, 96}, {32, 32, 48}, {16, 16, 24}, {8, 8, 12}}));
  // Odd extents round up: 9 -> 5, and a side of exactly 9 still gets a second level.
  EXPECT_EQ(PyramidExtents(Grid(9, 33, 17)), (std::vector<Int3>{{9, 33, 17}, {5, 17, 9}}));
}

TEST(Pyramid, LargeGridsWithoutAllocating) {
  const std::vector<Int3> big = PyramidExtents(Grid(1024, 1024, 1024));
  ASSERT_EQ(big.size(), 8u);
  EXPECT_EQ(big.front(), (Int3{1024, 1024, 1024}));
  EXPECT_EQ(big.back(), (Int3{8, 8, 8}));
  EXPECT_EQ(PyramidExtents(Grid(2048, 2048, 2048)).size(), 9u);
  // Only grids whose every side exceeds 2048 reach the ten-level cap.
  const std::vector<Int3> capped = PyramidExtents(Grid(4097, 4097, 4097));
  ASSERT_EQ(capped.size(), 10u);
  EXPECT_EQ(capped.back(), (Int3{9, 9, 9}));
}

TEST(Create, RefusesGridsBelowFourCells) {
  FireSim sim;
  EXPECT_FALSE(sim.Create(Grid(3, 100, 100), kDefaultOpenSides, false));
  EXPECT_STREQ(sim.LastError(), "domain too small");
  EXPECT_EQ(sim.Stats().bytesAllocated, 0u);
  EXPECT_FALSE(sim.Create(Grid(100, 100, 3), kDefaultOpenSides, false));
  EXPECT_STREQ(sim.LastError(), "domain too small");
}

TEST(Create, OpenMaskFollowsTheSides) {
  FireSim sim;
  ASSERT_TRUE(sim.Create(Grid(4, 4, 4), kDefaultOpenSides, false));
  EXPECT_EQ(sim.Internals().openMask, 1 | 2 | 4 | 8 | 32);
  ASSERT_TRUE(sim.Create(Grid(4, 4, 4), OpenSides{true, true, true, true, true, true}, false));
  EXPECT_EQ(sim.Internals().openMask, 63);
  // With every side closed the top is treated as open, never a mask of 0.
  ASSERT_TRUE(sim.Create(Grid(4, 4, 4), OpenSides{}, false));
  EXPECT_EQ(sim.Internals().openMask, 32);
  ASSERT_TRUE(sim.Create(Grid(4, 4, 4), OpenSides{false, true, false, false, true, false}, false));
  EXPECT_EQ(sim.Internals().openMask, 2 | 16);
}

TEST(Create, FailedCreationLeavesNothingUsable) {
  FireSim sim;
  ASSERT_TRUE(sim.Create(Grid(8, 8, 8), kDefaultOpenSides, false));
  ASSERT_GT(sim.Stats().bytesAllocated, 0u);
  // A second Create releases the first run, even when it then fails.
  EXPECT_FALSE(sim.Create(Grid(8, 2, 8), kDefaultOpenSides, false));
  EXPECT_STREQ(sim.LastError(), "domain too small");
  const SolverStats before = sim.Stats();
  EXPECT_EQ(before.bytesAllocated, 0u);
  std::vector<float> out(512, 7.0f);
  EXPECT_FALSE(sim.CopyField(FieldId::Density, out.data()));
  EXPECT_EQ(out[0], 7.0f);
  EXPECT_EQ(sim.Total(FieldId::Density), 0.0);
  EXPECT_EQ(sim.MaxDivergence(), -1.0f);
  sim.Step(FireParams{});
  sim.Shift(1, 0, 0);
  const SolverStats after = sim.Stats();
  EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << "a failed solver must not step";
  EXPECT_FALSE(sim.UsesGpu());
  EXPECT_TRUE(sim.Internals().levels.empty());
}

TEST(Create, GridTooLargeToIndexIsOutOfMemory) {
  // 2048 x 2048 x 1024 cells need more than 2^31 elements per array.
  FireSim sim;
  EXPECT_FALSE(sim.Create(Grid(2048, 2048, 1024), kDefaultOpenSides, false));
  EXPECT_STREQ(sim.LastError(), "out of memory for 2048x2048x1024");
  EXPECT_EQ(sim.Stats().bytesAllocated, 0u);
}

TEST(Create, ReleaseIsSafeAndKeepsTheGrid) {
  FireSim never;
  never.Release();
  never.Release();
  EXPECT_EQ(never.Stats().bytesAllocated, 0u);
  EXPECT_STREQ(never.LastError(), "");

  FireSim sim;
  ASSERT_TRUE(sim.Create(Grid(6, 5, 4, 0.2f), OpenSides{}, false));
  sim.Release();
  EXPECT_EQ(sim.Stats().bytesAllocated, 0u);
  EXPECT_EQ(sim.Internals().grid.nx, 6);
  EXPECT_EQ(sim.Internals().openMask, 32);
  EXPECT_EQ(sim.Internals().u, nullptr);
  EXPECT_EQ(sim.MaxDivergence(), -1.0f);
}

class CreateOn : public Backends {};

TEST_P(CreateOn, AllocatesEveryArrayZeroedAndCountsIt) {
  FireSim sim;
  const GridDesc g = Grid(100, 64, 9);
  create(sim, g);
  FireSim::Impl& s = sim.Internals();
  EXPECT_EQ(sim.Stats().bytesAllocated, ExpectedBytes(g));
  ASSERT_EQ(s.levels.size(), 2u);
  EXPECT_EQ(s.levels[1].nx, 50);
  EXPECT_EQ(s.levels[1].ny, 32);
  EXPECT_EQ(s.levels[1].nz, 5);
  EXPECT_STREQ(sim.LastError(), "");
  const size_t n = size_t(g.nx) * size_t(g.ny) * size_t(g.nz);
  for (float* FireSim::Impl::*a : {&FireSim::Impl::density, &FireSim::Impl::pressure, &FireSim::Impl::pcgProduct}) {
    const std::vector<float> values = Get(sim, a, n);
    for (float x : values) ASSERT_EQ(x, 0.0f);
  }
  const std::vector<float> w = Get(sim, &FireSim::Impl::w, n + size_t(g.nx) * size_t(g.ny));
  for (float x : w) ASSERT_EQ(x, 0.0f);
  // No optional input exists before its first upload.
  EXPECT_EQ(s.burnAge, nullptr);
  EXPECT_FALSE(s.hasFlammable || s.hasQuench || s.hasEmitVel || s.hasExtForce);
  EXPECT_EQ(sim.MaxDivergence(), 0.0f);
}

TEST_P(CreateOn, RecreatingChangesTheGrid) {
  FireSim sim;
  create(sim, Grid(16, 16, 16));
  create(sim, Grid(4, 5, 6));
  EXPECT_EQ(sim.Stats().bytesAllocated, ExpectedBytes(Grid(4, 5, 6)));
  EXPECT_EQ(sim.Internals().levels.size(), 1u);
  std::vector<float> out(4 * 5 * 6, 1.0f);
  EXPECT_TRUE(sim.CopyField(FieldId::Fuel, out.data()));
  for (float x : out) EXPECT_EQ(x, 0.0f);
}

TEST_P(CreateOn, StepRecordsTimingAndDivergence) {
  FireSim sim;
  create(sim, Grid(8, 8, 8));
  FireParams p;
  p.substeps = 0;  // counts as one
  sim.Step(p);
  const SolverStats st = sim.Stats();
  EXPECT_GE(st.stepMs, 0.0f);
  EXPECT_EQ(st.maxDivergence, sim.MaxDivergence());
  EXPECT_EQ(st.bytesAllocated, ExpectedBytes(Grid(8, 8, 8)));
}

TFR_INSTANTIATE_BACKENDS(CreateOn);

}  // namespace
}  // namespace tf::test
