// FaceBC: closed sides and faces touching colliders are held at zero, nothing else is touched.
#include "tests/solver/backends.h"

namespace tf::test {
namespace {

class FaceBCTest : public Backends {
 protected:
  void fillFaces(FireSim& sim, const GridDesc& g) {
    Put(sim, &FireSim::Impl::u, std::vector<float>(size_t((g.nx + 1) * g.ny * g.nz), 1.0f));
    Put(sim, &FireSim::Impl::v, std::vector<float>(size_t(g.nx * (g.ny + 1) * g.nz), 2.0f));
    Put(sim, &FireSim::Impl::w, std::vector<float>(size_t(g.nx * g.ny * (g.nz + 1)), 3.0f));
  }
};

TEST_P(FaceBCTest, ClosedSidesAreZeroedOpenSidesKept) {
  FireSim sim;
  const GridDesc g = Grid(5, 6, 7);
  // x- closed, x+ open, y- open, y+ closed, z- closed, z+ open.
  create(sim, g, OpenSides{false, true, true, false, false, true});
  fillFaces(sim, g);
  sim.Internals().FaceBC();
  const Dims d{5, 6, 7};
  const std::vector<float> u = Get(sim, &FireSim::Impl::u, size_t(6 * 6 * 7));
  const std::vector<float> v = Get(sim, &FireSim::Impl::v, size_t(5 * 7 * 7));
  const std::vector<float> w = Get(sim, &FireSim::Impl::w, size_t(5 * 6 * 8));
  for (int k = 0; k < 7; ++k)
    for (int j = 0; j < 6; ++j) {
      EXPECT_EQ(u[size_t(d.u(0, j, k))], 0.0f);
      EXPECT_EQ(u[size_t(d.u(5, j, k))], 1.0f);
      EXPECT_EQ(u[size_t(d.u(2, j, k))], 1.0f);
    }
  for (int k = 0; k < 7; ++k)
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(v[size_t(d.v(i, 0, k))], 2.0f);
      EXPECT_EQ(v[size_t(d.v(i, 6, k))], 0.0f);
    }
  for (int j = 0; j < 6; ++j)
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(w[size_t(d.w(i, j, 0))], 0.0f);
      EXPECT_EQ(w[size_t(d.w(i, j, 7))], 3.0f);
      EXPECT_EQ(w[size_t(d.w(i, j, 3))], 3.0f);
    }
}

TEST_P(FaceBCTest, AllClosedKeepsTheTopOpen) {
  FireSim sim;
  const GridDesc g = Grid(4, 4, 4);
  create(sim, g, OpenSides{});
  fillFaces(sim, g);
  sim.Internals().FaceBC();
  const Dims d{4, 4, 4};
  const std::vector<float> w = Get(sim, &FireSim::Impl::w, size_t(4 * 4 * 5));
  const std::vector<float> u = Get(sim, &FireSim::Impl::u, size_t(5 * 4 * 4));
  EXPECT_EQ(w[size_t(d.w(1, 2, 4))], 3.0f);
  EXPECT_EQ(w[size_t(d.w(1, 2, 0))], 0.0f);
  EXPECT_EQ(u[size_t(d.u(4, 2, 1))], 0.0f);
}

TEST_P(FaceBCTest, FacesTouchingSolidsAreZeroed) {
  FireSim sim;
  const GridDesc g = Grid(6, 6, 6);
  create(sim, g, OpenSides{true, true, true, true, true, true});
  const Dims d{6, 6, 6};
  std::vector<float> solid(216, 1.0f);
  solid[size_t(d.cell(3, 3, 3))] = -1.0f;
  solid[size_t(d.cell(0, 1, 1))] = -1.0f;  // on the open x- side
  ASSERT_TRUE(sim.SetSolids(solid.data()));
  fillFaces(sim, g);
  sim.Internals().FaceBC();
  const std::vector<float> u = Get(sim, &FireSim::Impl::u, size_t(7 * 6 * 6));
  const std::vector<float> v = Get(sim, &FireSim::Impl::v, size_t(6 * 7 * 6));
  const std::vector<float> w = Get(sim, &FireSim::Impl::w, size_t(6 * 6 * 7));
  // The six faces of the solid cell.
  EXPECT_EQ(u[size_t(d.u(3, 3, 3))], 0.0f);
  EXPECT_EQ(u[size_t(d.u(4, 3, 3))], 0.0f);
  EXPECT_EQ(v[size_t(d.v(3, 3, 3))], 0.0f);
  EXPECT_EQ(v[size_t(d.v(3, 4, 3))], 0.0f);
  EXPECT_EQ(w[size_t(d.w(3, 3, 3))], 0.0f);
  EXPECT_EQ(w[size_t(d.w(3, 3, 4))], 0.0f);
  // Faces between fluid cells next to it are untouched.
  EXPECT_EQ(u[size_t(d.u(2, 3, 3))], 1.0f);
  EXPECT_EQ(u[size_t(d.u(5, 3, 3))], 1.0f);
  EXPECT_EQ(v[size_t(d.v(3, 2, 3))], 2.0f);
  EXPECT_EQ(w[size_t(d.w(3, 3, 5))], 3.0f);
  EXPECT_EQ(u[size_t(d.u(3, 4, 3))], 1.0f);
  // The open border face whose inner cell is solid is zeroed; its neighbours stay.
  EXPECT_EQ(u[size_t(d.u(0, 1, 1))], 0.0f);
  EXPECT_EQ(u[size_t(d.u(0, 2, 1))], 1.0f);
  EXPECT_EQ(u[size_t(d.u(6, 1, 1))], 1.0f);
}

TFR_INSTANTIATE_BACKENDS(FaceBCTest);

}  // namespace
}  // namespace tf::test
