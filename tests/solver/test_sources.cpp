// Uploads of the per-frame inputs: what they store, what a null upload keeps, and the solid
// pyramid that SetSolids rebuilds.
#include <cmath>

#include "tests/solver/backends.h"

namespace tf::test {
namespace {

std::vector<uint8_t> SolidLevel(FireSim& sim, size_t level) {
  const Level& l = sim.Internals().levels[level];
  std::vector<uint8_t> out(size_t(l.nx) * size_t(l.ny) * size_t(l.nz));
  Download(sim.Internals().exec(), out.data(), l.solid, out.size());
  return out;
}

TEST(Sources, NotReadySolverTakesOnlyTheEmission) {
  FireSim sim;
  std::vector<float> a(64, 1.0f);
  EXPECT_FALSE(sim.SetSolids(a.data()));
  EXPECT_FALSE(sim.SetEmitterMask(a.data()));
  EXPECT_FALSE(sim.SetEmitterVelocity(a.data(), a.data(), a.data()));
  EXPECT_FALSE(sim.SetForceField(a.data(), a.data(), a.data()));
  EXPECT_FALSE(sim.SetFlammables(a.data(), 1.0f, 2.0f));
  EXPECT_FALSE(sim.SetQuench(a.data(), 1.0f, 2.0f));
  EXPECT_EQ(sim.Internals().flamFuel, 4.0f);
  EXPECT_EQ(sim.Internals().quenchStrength, 8.0f);
  EmissionParams e;
  e.fuelRate = 9.0f;
  e.emitBlend = 0.5f;
  sim.SetEmission(e);
  // Creation keeps the stored emission record.
  ASSERT_TRUE(sim.Create(Grid(4, 4, 4), kDefaultOpenSides, false));
  EXPECT_EQ(sim.Internals().emission.fuelRate, 9.0f);
  EXPECT_EQ(sim.Internals().emission.emitBlend, 0.5f);
}

class Sources : public Backends {};

TEST_P(Sources, SolidsAreNegativeValuesAndReachEveryLevel) {
  FireSim sim;
  const GridDesc g = Grid(18, 17, 20);  // levels 18x17x20 and 9x9x10 and 5x5x5
  create(sim, g);
  ASSERT_EQ(sim.Internals().levels.size(), 3u);
  const size_t n = size_t(g.nx * g.ny * g.nz);
  std::vector<float> values(n, 1.0f);
  values[CellIndex(g, 0, 0, 0)] = 0.0f;
  values[CellIndex(g, 1, 0, 0)] = -0.0f;  // not below zero: fluid
  // A full 2x2x2 block at (2..3, 2..3, 2..3): its coarse cell (1, 1, 1) becomes solid.
  for (int k = 2; k < 4; ++k)
    for (int j = 2; j < 4; ++j)
      for (int i = 2; i < 4; ++i) values[CellIndex(g, i, j, k)] = -1.0f;
  // Seven of the eight fine cells of coarse cell (3, 1, 1): stays fluid.
  for (int b = 1; b < 8; ++b) values[CellIndex(g, 6 + (b & 1), 2 + ((b >> 1) & 1), 2 + (b >> 2))] = -2.0f;
  // The odd edge: coarse cell (8, 0, 0) of level 1 covers only fine cells x = 16, 17 (all inside);
  // y = 17 is odd, so coarse cell (0, 8, 0) covers the single row y = 16.
  for (int k = 0; k < 2; ++k)
    for (int i = 0; i < 2; ++i) values[CellIndex(g, i, 16, k)] = -1.0f;
  ASSERT_TRUE(sim.SetSolids(values.data()));

  const std::vector<uint8_t> l0 = SolidLevel(sim, 0);
  for (size_t c = 0; c < n; ++c) ASSERT_EQ(l0[c], values[c] < 0.0f ? 1 : 0) << c;
  const std::vector<uint8_t> l1 = SolidLevel(sim, 1);
  const Dims d1{9, 9, 10};
  int solidCount = 0;
  for (uint8_t s : l1) solidCount += s;
  EXPECT_EQ(solidCount, 2);
  EXPECT_EQ(l1[size_t(d1.cell(1, 1, 1))], 1);
  EXPECT_EQ(l1[size_t(d1.cell(3, 1, 1))], 0);
  EXPECT_EQ(l1[size_t(d1.cell(0, 8, 0))], 1);
  // Level 2 has no fully solid block.
  for (uint8_t s : SolidLevel(sim, 2)) ASSERT_EQ(s, 0);

  // A null upload clears every level.
  ASSERT_TRUE(sim.SetSolids(nullptr));
  for (size_t level = 0; level < 3; ++level)
    for (uint8_t s : SolidLevel(sim, level)) ASSERT_EQ(s, 0);
}

TEST_P(Sources, OneFluidCellKeepsItsCoarseCellsFluid) {
  FireSim sim;
  const GridDesc g = Grid(32, 32, 32);  // levels 32, 16, 8
  create(sim, g);
  std::vector<float> values(size_t(32 * 32 * 32), -1.0f);
  values[CellIndex(g, 13, 22, 5)] = 1.0f;
  ASSERT_TRUE(sim.SetSolids(values.data()));
  const std::vector<uint8_t> l1 = SolidLevel(sim, 1), l2 = SolidLevel(sim, 2);
  EXPECT_EQ(l1[size_t(Dims{16, 16, 16}.cell(6, 11, 2))], 0);
  EXPECT_EQ(l2[size_t(Dims{8, 8, 8}.cell(3, 5, 1))], 0);
  int fluid1 = 0, fluid2 = 0;
  for (uint8_t s : l1) fluid1 += s == 0;
  for (uint8_t s : l2) fluid2 += s == 0;
  EXPECT_EQ(fluid1, 1);
  EXPECT_EQ(fluid2, 1);
}

TEST_P(Sources, OptionalGroupsAllocateOnceAndNullUploadsOnlyDisable) {
  FireSim sim;
  const GridDesc g = Grid(6, 5, 4);
  create(sim, g);
  const size_t n = 6 * 5 * 4;
  const uint64_t base = sim.Stats().bytesAllocated;
  std::vector<float> x(n, 1.0f), y(n, 2.0f), z(n, 3.0f);

  ASSERT_TRUE(sim.SetEmitterVelocity(x.data(), y.data(), z.data()));
  EXPECT_TRUE(sim.Internals().hasEmitVel);
  EXPECT_EQ(sim.Stats().bytesAllocated, base + 3 * n * sizeof(float));
  EXPECT_EQ(Get(sim, &FireSim::Impl::emitVelY, n), y);
  // One null among three disables all three but keeps the memory and contents.
  ASSERT_TRUE(sim.SetEmitterVelocity(x.data(), nullptr, z.data()));
  EXPECT_FALSE(sim.Internals().hasEmitVel);
  EXPECT_EQ(sim.Stats().bytesAllocated, base + 3 * n * sizeof(float));
  EXPECT_EQ(Get(sim, &FireSim::Impl::emitVelZ, n), z);
  ASSERT_TRUE(sim.SetEmitterVelocity(z.data(), y.data(), x.data()));
  EXPECT_EQ(sim.Stats().bytesAllocated, base + 3 * n * sizeof(float));
  EXPECT_EQ(Get(sim, &FireSim::Impl::emitVelX, n), z);

  ASSERT_TRUE(sim.SetForceField(x.data(), y.data(), z.data()));
  EXPECT_TRUE(sim.Internals().hasExtForce);
  ASSERT_TRUE(sim.SetForceField(nullptr, nullptr, nullptr));
  EXPECT_FALSE(sim.Internals().hasExtForce);

  // Quench: the scalars are stored even without a mask.
  ASSERT_TRUE(sim.SetQuench(nullptr, 3.0f, 0.25f));
  EXPECT_FALSE(sim.Internals().hasQuench);
  EXPECT_EQ(sim.Internals().quenchMask, nullptr);
  EXPECT_EQ(sim.Internals().quenchStrength, 3.0f);
  EXPECT_EQ(sim.Internals().steam, 0.25f);
  ASSERT_TRUE(sim.SetQuench(x.data(), 5.0f, 0.5f));
  EXPECT_TRUE(sim.Internals().hasQuench);
  EXPECT_EQ(sim.Stats().bytesAllocated, base + 7 * n * sizeof(float));

  // Emitter mask: a null upload zero-fills.
  ASSERT_TRUE(sim.SetEmitterMask(y.data()));
  EXPECT_EQ(sim.Total(FieldId::EmitterMask), 2.0 * double(n));
  ASSERT_TRUE(sim.SetEmitterMask(nullptr));
  EXPECT_EQ(sim.Total(FieldId::EmitterMask), 0.0);

  // Release clears every flag and frees the optional arrays.
  sim.Release();
  EXPECT_FALSE(sim.Internals().hasEmitVel || sim.Internals().hasQuench || sim.Internals().hasExtForce);
  EXPECT_EQ(sim.Internals().emitVelX, nullptr);
}

TEST_P(Sources, FlammablesKeepTheirAgeAcrossNullUploads) {
  FireSim sim;
  const GridDesc g = Grid(5, 5, 5);
  create(sim, g);
  const size_t n = 125;
  std::vector<float> mask(n, 1.0f);
  ASSERT_TRUE(sim.SetFlammables(mask.data(), 2.0f, 3.0f));
  EXPECT_TRUE(sim.Internals().hasFlammable);
  std::vector<float> age(n, 0.0f);
  age[7] = 1.5f;
  Put(sim, &FireSim::Impl::burnAge, age);
  ASSERT_TRUE(sim.SetFlammables(nullptr, 6.0f, 7.0f));
  EXPECT_FALSE(sim.Internals().hasFlammable);
  EXPECT_EQ(sim.Internals().flamFuel, 6.0f);
  EXPECT_EQ(sim.Internals().burnTime, 7.0f);
  ASSERT_TRUE(sim.SetFlammables(mask.data(), 2.0f, 3.0f));
  EXPECT_EQ(Get(sim, &FireSim::Impl::burnAge, n), age);

  // The age moves with the domain like the fields do.
  sim.Shift(0, 0, 0);
  EXPECT_EQ(Get(sim, &FireSim::Impl::burnAge, n)[7], 1.5f);
  sim.Shift(1, 0, 0);  // cell 7 = (2, 1, 0) moves to (1, 1, 0) = 6
  const std::vector<float> moved = Get(sim, &FireSim::Impl::burnAge, n);
  EXPECT_EQ(moved[6], 1.5f);
  EXPECT_EQ(moved[7], 0.0f);
}

TEST_P(Sources, PocketsAreSealedOnlyWhenNoOpenSideIsReachable) {
  FireSim sim;
  const GridDesc g = Grid(8, 8, 8);
  create(sim, g, OpenSides{false, false, false, false, false, true});  // only the top is open
  const size_t n = 512;
  // A cup on the floor, open at the top: its inside reaches the open top.
  std::vector<float> values(n, 1.0f);
  for (int k = 0; k < 5; ++k)
    for (int j = 2; j < 6; ++j)
      for (int i = 2; i < 6; ++i)
        if (k == 0 || i == 2 || i == 5 || j == 2 || j == 5) values[CellIndex(g, i, j, k)] = -1.0f;
  ASSERT_TRUE(sim.SetSolids(values.data()));
  EXPECT_FALSE(sim.Internals().hasSealed);
  // A lid closes it: the four inner columns of three cells are sealed, nothing else.
  for (int j = 2; j < 6; ++j)
    for (int i = 2; i < 6; ++i) values[CellIndex(g, i, j, 4)] = -1.0f;
  ASSERT_TRUE(sim.SetSolids(values.data()));
  ASSERT_TRUE(sim.Internals().hasSealed);
  std::vector<uint8_t> sealed(n);
  Download(sim.Internals().exec(), sealed.data(), sim.Internals().sealed, n);
  int count = 0;
  for (uint8_t x : sealed) count += x;
  EXPECT_EQ(count, 2 * 2 * 3);
  EXPECT_EQ(sealed[CellIndex(g, 3, 4, 2)], 1);
  EXPECT_EQ(sealed[CellIndex(g, 0, 0, 0)], 0);  // the space around the cup still reaches the top
}

TFR_INSTANTIATE_BACKENDS(Sources);

}  // namespace
}  // namespace tf::test
