// Read-back of stored and derived fields, totals, the divergence measure and the domain shift.
#include <cmath>
#include <numeric>

#include "tests/solver/backends.h"

namespace tf::test {
namespace {

class Readback : public Backends {
 protected:
  void SetUp() override {
    Backends::SetUp();
    if (IsSkipped()) return;
    create(sim, g);
  }
  size_t cells() const { return size_t(g.nx) * size_t(g.ny) * size_t(g.nz); }
  size_t uCount() const { return size_t(g.nx + 1) * size_t(g.ny) * size_t(g.nz); }
  size_t vCount() const { return size_t(g.nx) * size_t(g.ny + 1) * size_t(g.nz); }
  size_t wCount() const { return size_t(g.nx) * size_t(g.ny) * size_t(g.nz + 1); }
  std::vector<float> field(FieldId id) {
    std::vector<float> out(cells(), -99.0f);
    EXPECT_TRUE(sim.CopyField(id, out.data()));
    return out;
  }

  GridDesc g = Grid(7, 6, 5, 0.5f);
  FireSim sim;
};

TEST_P(Readback, DerivedVelocities) {
  Put(sim, &FireSim::Impl::w, std::vector<float>(wCount(), 2.0f));
  for (float x : field(FieldId::VelZ)) ASSERT_EQ(x, 2.0f);
  for (float x : field(FieldId::VelX)) ASSERT_EQ(x, 0.0f);

  Put(sim, &FireSim::Impl::u, std::vector<float>(uCount(), 3.0f));
  Put(sim, &FireSim::Impl::v, std::vector<float>(vCount(), 4.0f));
  Put(sim, &FireSim::Impl::w, std::vector<float>(wCount(), 0.0f));
  for (float x : field(FieldId::Speed)) ASSERT_EQ(x, 5.0f);
  for (float x : field(FieldId::VelY)) ASSERT_EQ(x, 4.0f);

  // A ramp along x: the cell value is the average of its two faces.
  std::vector<float> u(uCount());
  for (int k = 0; k < g.nz; ++k)
    for (int j = 0; j < g.ny; ++j)
      for (int i = 0; i <= g.nx; ++i) u[size_t(i + (g.nx + 1) * (j + g.ny * k))] = float(i);
  Put(sim, &FireSim::Impl::u, u);
  const std::vector<float> vx = field(FieldId::VelX);
  EXPECT_EQ(vx[CellIndex(g, 0, 0, 0)], 0.5f);
  EXPECT_EQ(vx[CellIndex(g, 6, 5, 4)], 6.5f);
}

TEST_P(Readback, StoredFieldsAndTotals) {
  std::vector<float> d(cells());
  std::iota(d.begin(), d.end(), 0.0f);
  Put(sim, &FireSim::Impl::density, d);
  Put(sim, &FireSim::Impl::dust, std::vector<float>(cells(), -0.25f));
  EXPECT_EQ(field(FieldId::Density), d);
  const double n = double(cells());
  EXPECT_EQ(sim.Total(FieldId::Density), n * (n - 1) / 2);
  EXPECT_EQ(sim.Total(FieldId::Dust), -0.25 * n);
  EXPECT_EQ(sim.Total(FieldId::Fuel), 0.0);

  // Derived and converted fields have no total, even with a moving flow.
  Put(sim, &FireSim::Impl::u, std::vector<float>(uCount(), 3.0f));
  for (FieldId id : {FieldId::Speed, FieldId::VelX, FieldId::VelY, FieldId::VelZ, FieldId::Solid})
    EXPECT_EQ(sim.Total(id), 0.0) << int(id);

  // An id outside the table fills nothing.
  std::vector<float> out(cells(), 7.0f);
  EXPECT_FALSE(sim.CopyField(FieldId(11), out.data()));
  EXPECT_FALSE(sim.CopyField(FieldId(-1), out.data()));
  EXPECT_EQ(sim.Total(FieldId(42)), 0.0);
  for (float x : out) ASSERT_EQ(x, 7.0f);
  EXPECT_FALSE(sim.CopyField(FieldId::Density, nullptr));
}

TEST_P(Readback, SolidWidensTheMask) {
  for (float x : field(FieldId::Solid)) ASSERT_EQ(x, 0.0f);
  std::vector<uint8_t> mask(cells(), 0);
  mask[CellIndex(g, 2, 3, 4)] = 1;
  Upload(sim.Internals().exec(), sim.Internals().levels[0].solid, mask.data(), mask.size());
  const std::vector<float> solid = field(FieldId::Solid);
  for (size_t c = 0; c < cells(); ++c) ASSERT_EQ(solid[c], float(mask[c]));
}

TEST_P(Readback, MaxDivergenceSkipsSolidsAndSubtractsTheTarget) {
  EXPECT_EQ(sim.MaxDivergence(), 0.0f);
  // u = i on every face: each cell diverges by 1 / cellSize = 2 per second.
  std::vector<float> u(uCount());
  for (int k = 0; k < g.nz; ++k)
    for (int j = 0; j < g.ny; ++j)
      for (int i = 0; i <= g.nx; ++i) u[size_t(i + (g.nx + 1) * (j + g.ny * k))] = float(i);
  Put(sim, &FireSim::Impl::u, u);
  EXPECT_FLOAT_EQ(sim.MaxDivergence(), 2.0f);

  // The target is what the projection aims at: meeting it everywhere but one cell.
  std::vector<float> target(cells(), 2.0f);
  target[CellIndex(g, 1, 1, 1)] = -1.0f;
  Put(sim, &FireSim::Impl::targetDivergence, target);
  EXPECT_FLOAT_EQ(sim.MaxDivergence(), 3.0f);

  // That cell becomes solid: solid cells do not count.
  std::vector<uint8_t> mask(cells(), 0);
  mask[CellIndex(g, 1, 1, 1)] = 1;
  Upload(sim.Internals().exec(), sim.Internals().levels[0].solid, mask.data(), mask.size());
  EXPECT_EQ(sim.MaxDivergence(), 0.0f);

  std::fill(mask.begin(), mask.end(), uint8_t(1));
  Upload(sim.Internals().exec(), sim.Internals().levels[0].solid, mask.data(), mask.size());
  EXPECT_EQ(sim.MaxDivergence(), 0.0f);
}

TEST_P(Readback, ShiftMovesContentTowardMinus) {
  std::vector<float> d(cells());
  std::iota(d.begin(), d.end(), 1.0f);
  Put(sim, &FireSim::Impl::density, d);
  Put(sim, &FireSim::Impl::pressure, d);
  std::vector<float> u(uCount());
  std::iota(u.begin(), u.end(), 1.0f);
  Put(sim, &FireSim::Impl::u, u);

  sim.Shift(1, 0, 0);
  const std::vector<float> moved = field(FieldId::Density);
  const std::vector<float> p = Get(sim, &FireSim::Impl::pressure, cells());
  for (int k = 0; k < g.nz; ++k)
    for (int j = 0; j < g.ny; ++j)
      for (int i = 0; i < g.nx; ++i) {
        const float want = i + 1 < g.nx ? d[CellIndex(g, i + 1, j, k)] : 0.0f;
        ASSERT_EQ(moved[CellIndex(g, i, j, k)], want) << i << "," << j << "," << k;
        ASSERT_EQ(p[CellIndex(g, i, j, k)], want);
      }
  const std::vector<float> um = Get(sim, &FireSim::Impl::u, uCount());
  const auto ui = [&](int i, int j, int k) { return size_t(i + (g.nx + 1) * (j + g.ny * k)); };
  EXPECT_EQ(um[ui(0, 2, 3)], u[ui(1, 2, 3)]);
  EXPECT_EQ(um[ui(g.nx - 1, 2, 3)], u[ui(g.nx, 2, 3)]);
  EXPECT_EQ(um[ui(g.nx, 2, 3)], 0.0f);

  // Along z and backwards: the content moves up by two cells and the bottom layers empty.
  sim.Shift(0, 0, -2);
  const std::vector<float> back = field(FieldId::Density);
  EXPECT_EQ(back[CellIndex(g, 3, 4, 0)], 0.0f);
  EXPECT_EQ(back[CellIndex(g, 3, 4, 1)], 0.0f);
  EXPECT_EQ(back[CellIndex(g, 3, 4, 2)], moved[CellIndex(g, 3, 4, 0)]);
  EXPECT_EQ(back[CellIndex(g, 3, 4, 4)], moved[CellIndex(g, 3, 4, 2)]);
}

TEST_P(Readback, ShiftBeyondTheGridClearsEverything) {
  Put(sim, &FireSim::Impl::fuel, std::vector<float>(cells(), 1.0f));
  Put(sim, &FireSim::Impl::v, std::vector<float>(vCount(), 1.0f));
  Put(sim, &FireSim::Impl::w, std::vector<float>(wCount(), 1.0f));
  sim.Shift(0, g.ny + 1, 0);  // the v faces have ny + 1 layers
  EXPECT_EQ(sim.Total(FieldId::Fuel), 0.0);
  for (float x : Get(sim, &FireSim::Impl::v, vCount())) ASSERT_EQ(x, 0.0f);
  Put(sim, &FireSim::Impl::fuel, std::vector<float>(cells(), 1.0f));
  sim.Shift(-2000000000, 0, 2000000000);
  EXPECT_EQ(sim.Total(FieldId::Fuel), 0.0);
  for (float x : Get(sim, &FireSim::Impl::w, wCount())) ASSERT_EQ(x, 0.0f);
}

TEST_P(Readback, ZeroShiftTouchesNothing) {
  // Shift uses scratch as its temporary: after a zero shift it still holds what it held.
  Put(sim, &FireSim::Impl::scratch, std::vector<float>(cells(), 5.0f));
  Put(sim, &FireSim::Impl::density, std::vector<float>(cells(), 1.0f));
  sim.Shift(0, 0, 0);
  for (float x : Get(sim, &FireSim::Impl::scratch, cells())) ASSERT_EQ(x, 5.0f);
  EXPECT_EQ(sim.Total(FieldId::Density), double(cells()));
}

TFR_INSTANTIATE_BACKENDS(Readback);

}  // namespace
}  // namespace tf::test
