// Moving a run onto another window of the box: every array of the solver's table that is not
// scratch keeps its values where old and new grid overlap, new cells start empty and at rest, the
// open sides follow, and a grid the solver cannot take leaves everything as it was.
#include <gtest/gtest.h>

#include "tests/solver/backends.h"

namespace tf::test {
namespace {

class Resize : public Backends {};

// A value that names its array and its element in the old grid's indexing, so that a misplaced
// copy shows which element went where.
float Mark(uint32_t array, int i, int j, int k) { return float(array * 1000000u + uint32_t(i + 100 * j + 10000 * k)) + 0.5f; }

// Fills every allocated, non-scratch array of `sim` with its marks.
void MarkAll(FireSim& sim) {
  FireSim::Impl& s = sim.Internals();
  uint32_t index = 1;
  for (const ArraySlot& a : SolverArrays()) {
    const uint32_t id = index++;
    if (a.block == 1 || a.block == 2 || !(s.*a.member)) continue;
    const Dims d = FireSim::Impl::ShapeDims(s.grid, a.shape);
    std::vector<float> values(size_t(d.nx) * size_t(d.ny) * size_t(d.nz));
    for (int k = 0; k < d.nz; ++k)
      for (int j = 0; j < d.ny; ++j)
        for (int i = 0; i < d.nx; ++i) values[size_t(d.cell(i, j, k))] = Mark(id, i, j, k);
    Put(sim, a.member, values);
  }
}

TEST_P(Resize, KeepsEveryFieldInPlaceAndEmptiesNewCells) {
  FireSim sim;
  const GridDesc before = Grid(10, 8, 12);
  create(sim, before);
  // Optional inputs allocated before the move go with it.
  const std::vector<float> burning(size_t(10 * 8 * 12), 1.0f);
  ASSERT_TRUE(sim.SetFlammables(burning.data(), 4.0f, 8.0f));
  MarkAll(sim);

  // The new window starts 3 cells further along x, 2 before along z, and is larger in y.
  const GridDesc after = Grid(9, 11, 14);
  const Int3 offset{3, 0, -2};
  const OpenSides sides = {false, true, true, true, false, true};
  ASSERT_TRUE(sim.Resize(after, offset, sides));
  FireSim::Impl& s = sim.Internals();
  EXPECT_EQ(sim.Grid().nx * 10000 + sim.Grid().ny * 100 + sim.Grid().nz, 91114);
  EXPECT_EQ(s.openMask, 2 | 4 | 8 | 32);
  ASSERT_EQ(s.levels.front().nx, 9);

  uint32_t index = 1;
  int checkedArrays = 0;
  for (const ArraySlot& a : SolverArrays()) {
    const uint32_t id = index++;
    if (a.block == 1 || a.block == 2 || !(s.*a.member)) continue;
    ++checkedArrays;
    const Dims from = FireSim::Impl::ShapeDims(before, a.shape), to = FireSim::Impl::ShapeDims(after, a.shape);
    const std::vector<float> got = Get(sim, a.member, size_t(to.nx) * size_t(to.ny) * size_t(to.nz));
    int wrong = 0;
    for (int k = 0; k < to.nz; ++k)
      for (int j = 0; j < to.ny; ++j)
        for (int i = 0; i < to.nx; ++i) {
          const int oi = i + offset.x, oj = j + offset.y, ok = k + offset.z;
          const bool inside = oi >= 0 && oi < from.nx && oj >= 0 && oj < from.ny && ok >= 0 && ok < from.nz;
          wrong += got[size_t(to.cell(i, j, k))] != (inside ? Mark(id, oi, oj, ok) : 0.0f);
        }
    EXPECT_EQ(wrong, 0) << "array " << id << " of the table";
  }
  EXPECT_EQ(checkedArrays, 20) << "18 arrays of their own and the two optional flammable ones";
  EXPECT_TRUE(s.hasFlammable);

  // The run goes on: a step on the new grid stays finite.
  FireParams p;
  sim.Step(p);
  EXPECT_GE(sim.MaxDivergence(), 0.0f);
}

TEST_P(Resize, RefusedGridLeavesTheSolverAsItWas) {
  FireSim sim;
  create(sim, Grid(8, 8, 8));
  MarkAll(sim);
  const uint64_t bytes = sim.Stats().bytesAllocated;
  const std::vector<float> density = Get(sim, &FireSim::Impl::density, 512);
  EXPECT_FALSE(sim.Resize(Grid(3, 8, 8), {}, kDefaultOpenSides)) << "thinner than the solver takes";
  EXPECT_FALSE(sim.Resize(Grid(2048, 2048, 1024), {}, kDefaultOpenSides)) << "beyond 32-bit indices";
  EXPECT_EQ(sim.Grid().nx, 8);
  EXPECT_EQ(sim.Stats().bytesAllocated, bytes);
  EXPECT_EQ(Get(sim, &FireSim::Impl::density, 512), density);
}

TEST_P(Resize, SameGridAtNoOffsetGivesTheSameStepAsNoResize) {
  // A resize onto the grid it has must not disturb the solve: the two runs step alike.
  FireSim a, b;
  const GridDesc g = Grid(12, 12, 16);
  create(a, g);
  create(b, g);
  const std::vector<float> emitter = Random(size_t(12 * 12 * 16), 0.0f, 1.0f, 3);
  FireParams p;
  for (int f = 0; f < 3; ++f) {
    ASSERT_TRUE(a.SetEmitterMask(emitter.data()));
    ASSERT_TRUE(b.SetEmitterMask(emitter.data()));
    a.Step(p);
    b.Step(p);
    ASSERT_TRUE(b.Resize(g, {}, kDefaultOpenSides));
  }
  EXPECT_EQ(Get(a, &FireSim::Impl::density, 12 * 12 * 16), Get(b, &FireSim::Impl::density, 12 * 12 * 16));
  EXPECT_EQ(Get(a, &FireSim::Impl::w, 12 * 12 * 17), Get(b, &FireSim::Impl::w, 12 * 12 * 17));
}

TFR_INSTANTIATE_BACKENDS(Resize);

}  // namespace
}  // namespace tf::test
