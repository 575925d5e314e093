// FaceBC: closed sides and faces touching colliders are held at zero, nothing else is touched.
#include <random>

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

// Random colliders in a corner of the grid (so that most faces lie outside their box) and random
// closed sides, against the rule written face by face: a face is zero exactly where its side is
// closed or a cell on either side of it is solid. A second mask, elsewhere, replaces the first.
TEST_P(FaceBCTest, MatchesTheRuleFaceByFace) {
  const Dims d{9, 7, 8};
  std::mt19937 rng(7);
  for (int round = 0; round < 4; ++round) {
    FireSim sim;
    OpenSides sides;
    for (bool& side : sides) side = (rng() & 1) != 0;
    create(sim, Grid(d.nx, d.ny, d.nz), sides);
    const int mask = sim.Internals().openMask;
    std::vector<float> solid(size_t(d.nx * d.ny * d.nz), 1.0f);
    for (int rep = 0; rep < 2; ++rep) {
      const int lo = rep == 0 ? 0 : 4;  // the second mask shrinks the box away from the corner
      for (float& c : solid) c = 1.0f;
      for (int n = 0; n < 6; ++n)
        solid[size_t(d.cell(lo + int(rng() % 4), lo / 2 + int(rng() % 3), lo / 2 + int(rng() % 4)))] = -1.0f;
      ASSERT_TRUE(sim.SetSolids(solid.data()));
    }
    fillFaces(sim, Grid(d.nx, d.ny, d.nz));
    sim.Internals().FaceBC();
    auto isSolid = [&](int i, int j, int k) {
      return i >= 0 && j >= 0 && k >= 0 && i < d.nx && j < d.ny && k < d.nz && solid[size_t(d.cell(i, j, k))] < 0.0f;
    };
    const std::vector<float> u = Get(sim, &FireSim::Impl::u, size_t((d.nx + 1) * d.ny * d.nz));
    const std::vector<float> v = Get(sim, &FireSim::Impl::v, size_t(d.nx * (d.ny + 1) * d.nz));
    const std::vector<float> w = Get(sim, &FireSim::Impl::w, size_t(d.nx * d.ny * (d.nz + 1)));
    for (int k = 0; k <= d.nz; ++k)
      for (int j = 0; j <= d.ny; ++j)
        for (int i = 0; i <= d.nx; ++i) {
          if (j < d.ny && k < d.nz) {
            const bool zero = (i == 0 && !(mask & 1)) || (i == d.nx && !(mask & 2)) || isSolid(i - 1, j, k) ||
                              isSolid(i, j, k);
            ASSERT_EQ(u[size_t(d.u(i, j, k))], zero ? 0.0f : 1.0f) << "u " << i << " " << j << " " << k;
          }
          if (i < d.nx && k < d.nz) {
            const bool zero = (j == 0 && !(mask & 4)) || (j == d.ny && !(mask & 8)) || isSolid(i, j - 1, k) ||
                              isSolid(i, j, k);
            ASSERT_EQ(v[size_t(d.v(i, j, k))], zero ? 0.0f : 2.0f) << "v " << i << " " << j << " " << k;
          }
          if (i < d.nx && j < d.ny) {
            const bool zero = (k == 0 && !(mask & 16)) || (k == d.nz && !(mask & 32)) || isSolid(i, j, k - 1) ||
                              isSolid(i, j, k);
            ASSERT_EQ(w[size_t(d.w(i, j, k))], zero ? 0.0f : 3.0f) << "w " << i << " " << j << " " << k;
          }
        }
  }
}

TFR_INSTANTIATE_BACKENDS(FaceBCTest);

}  // namespace
}  // namespace tf::test
