// Pressure projection: the projected flow meets its divergence target to the tolerance the solve
// aims at, walls and closed sides carry no flow, the preconditioner is a symmetric contraction,
// and the degenerate solves (nothing to do, nothing possible, iteration cap) end cleanly.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "tests/solver/backends.h"

namespace tf::test {
namespace {

constexpr float kDt = 1.0f / 30.0f;
float* FireSim::Impl::*const kFaces[3] = {&FireSim::Impl::u, &FireSim::Impl::v, &FireSim::Impl::w};

struct Faces {
  std::vector<float> a[3];  // u, v, w
};

size_t FaceCount(const GridDesc& g, int axis) {
  return size_t(g.nx + (axis == 0)) * size_t(g.ny + (axis == 1)) * size_t(g.nz + (axis == 2));
}

// Uniform random faces in [-1, 1], made consistent with walls and closed sides as the step does.
void RandomFlow(FireSim& sim, const GridDesc& g, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  for (int axis = 0; axis < 3; ++axis) {
    std::vector<float> f(FaceCount(g, axis));
    for (float& x : f) x = dist(rng);
    Put(sim, kFaces[axis], f);
  }
  sim.Internals().FaceBC();
}

Faces GetFaces(FireSim& sim, const GridDesc& g) {
  Faces f;
  for (int axis = 0; axis < 3; ++axis) f.a[axis] = Get(sim, kFaces[axis], FaceCount(g, axis));
  return f;
}

bool SameBits(const std::vector<float>& x, const std::vector<float>& y) {
  return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size() * sizeof(float)) == 0;
}

FireParams Params(float tolerance, int maxIterations = 60) {
  FireParams p;
  p.pressureTolerance = tolerance;
  p.maxPressureIterations = maxIterations;
  return p;
}

// The largest divergence error the solve may leave: it stops once the residual of
// A p = -h^2 div is at most tolerance / dt * h^2, and the gradient step turns a residual r into a
// divergence error of r / h^2. One percent covers the float arithmetic of the measurement.
float Bound(const FireParams& p) { return 1.01f * p.pressureTolerance / kDt; }

// Host model of the operator at a fluid cell of level 0: {diag, neighbour sum}.
std::pair<float, float> HostStencil(const GridDesc& g, int mask, const std::vector<uint8_t>& solid,
                                    const std::vector<float>& x, int i, int j, int k) {
  const int n[3] = {g.nx, g.ny, g.nz};
  float diag = 0.0f, sum = 0.0f;
  for (int side = 0; side < 6; ++side) {
    int p[3] = {i, j, k};
    p[side / 2] += side % 2 ? 1 : -1;
    if (p[side / 2] < 0 || p[side / 2] >= n[side / 2]) {
      diag += (mask >> side) & 1 ? 1.0f : 0.0f;
    } else if (!solid[CellIndex(g, p[0], p[1], p[2])]) {
      diag += 1.0f;
      sum += x[CellIndex(g, p[0], p[1], p[2])];
    }
  }
  return {diag, sum};
}

class Projection : public Backends {
 protected:
  void make(GridDesc grid, OpenSides sides = kDefaultOpenSides) {
    g = grid;
    create(sim, g, sides);
  }
  FireSim::Impl& s() { return sim.Internals(); }
  size_t cells() const { return size_t(g.nx) * size_t(g.ny) * size_t(g.nz); }
  size_t at(int i, int j, int k) const { return CellIndex(g, i, j, k); }
  // The lower face of cell (i, j, k) along an axis; the upper one is at index + stride(axis).
  size_t face(int axis, int i, int j, int k) const {
    const size_t ex = size_t(g.nx + (axis == 0)), ey = size_t(g.ny + (axis == 1));
    return size_t(i) + ex * (size_t(j) + ey * size_t(k));
  }
  size_t stride(int axis) const {
    return axis == 0 ? 1 : axis == 1 ? size_t(g.nx) : cells() / size_t(g.nz);
  }

  std::vector<float> cellArray(float* FireSim::Impl::*member) { return Get(sim, member, cells()); }
  void putCell(float* FireSim::Impl::*member, size_t c, float value) {
    std::vector<float> a = cellArray(member);
    a[c] = value;
    Put(sim, member, a);
  }
  void setSolid(const std::vector<size_t>& walls) {
    std::vector<float> values(cells(), 1.0f);
    for (size_t c : walls) values[c] = -1.0f;
    ASSERT_TRUE(sim.SetSolids(values.data()));
  }
  int project(const FireParams& p) {
    s().Project(p, kDt);
    s().FaceBC();  // as a step follows the projection
    return sim.Stats().iterations;
  }
  double divergenceAt(const Faces& f, int i, int j, int k) const {
    double sum = 0.0;
    for (int axis = 0; axis < 3; ++axis) {
      const size_t lo = face(axis, i, j, k);
      sum += double(f.a[axis][lo + stride(axis)]) - f.a[axis][lo];
    }
    return sum / g.cellSize;
  }

  GridDesc g;
  FireSim sim;
};

TEST_P(Projection, RandomFlowMeetsTheTolerance) {
  ASSERT_NO_FATAL_FAILURE(make(Grid(24, 20, 28)));
  ASSERT_EQ(s().levels.size(), 3u);  // 24x20x28, 12x10x14, 6x5x7
  // Fast, Balanced, Accurate: each meets its own bound, and a tighter one costs more iterations.
  std::vector<int> used;
  for (float tolerance : {0.001f, 0.0003f, 0.0001f}) {
    FillZero(s().exec(), s().pressure, s().cellBytes());
    RandomFlow(sim, g, 7);
    ASSERT_GT(sim.MaxDivergence(), 10.0f);
    const FireParams p = Params(tolerance);
    used.push_back(project(p));
    EXPECT_LE(sim.MaxDivergence(), Bound(p)) << tolerance;
  }
  EXPECT_GT(used[0], 0);
  EXPECT_LE(used[0], used[1]);
  EXPECT_LE(used[1], used[2]);
  EXPECT_LT(used[0], used[2]);
  // The full preconditioner takes 3, 3 and 4 iterations here; without over-correcting the coarse
  // correction it takes 4, 5 and 6, and a weaker one still (an averaging restriction, one sweep
  // per level, no conjugate directions) 18 or more in all.
  EXPECT_LE(used[0] + used[1] + used[2], 12);
}

// The device decides when the solve stops; the host queues as many iterations as the last solve
// took before it first looks. However many it queues, the same iterations run: the count is the
// same and the pressure the same bits (on the GPU, whose sums land in any order, the same to
// rounding) whether it queues one at a time or eight, and a cap out of reach of the tolerance
// stops the solve after exactly that many, with more iterations taking the divergence further
// down.
TEST_P(Projection, QueueingAheadRunsTheSameIterations) {
  ASSERT_NO_FATAL_FAILURE(make(Grid(24, 20, 28)));
  const struct {
    float tolerance;
    int cap, want;  // want -1: converges before the cap
  } cases[] = {{0.0001f, 60, -1}, {1e-12f, 0, 0}, {1e-12f, 1, 1}, {1e-12f, 3, 3}, {1e-12f, 11, 11}};
  float before = 1e30f;
  for (const auto& c : cases) {
    std::vector<float> pressure[2];
    int iterations[2] = {-1, -1};
    for (int pass = 0; pass < 2; ++pass) {
      FillZero(s().exec(), s().pressure, s().cellBytes());
      RandomFlow(sim, g, 7);
      s().lastIterations = pass == 0 ? 0 : 8;
      iterations[pass] = project(Params(c.tolerance, c.cap));
      pressure[pass] = cellArray(&FireSim::Impl::pressure);
    }
    SCOPED_TRACE(testing::Message() << "tolerance " << c.tolerance << ", cap " << c.cap);
    EXPECT_EQ(iterations[0], iterations[1]);
    if (gpu()) {
      float peak = 0.0f, diff = 0.0f;
      for (size_t i = 0; i < cells(); ++i) {
        peak = std::max(peak, std::fabs(pressure[0][i]));
        diff = std::max(diff, std::fabs(pressure[0][i] - pressure[1][i]));
      }
      EXPECT_LE(diff, 1e-5f * peak);
    } else {
      EXPECT_TRUE(SameBits(pressure[0], pressure[1]));
    }
    if (c.want < 0) {
      EXPECT_GT(iterations[0], 0);
      EXPECT_LT(iterations[0], 8);  // so that queueing eight runs some it must skip
      continue;
    }
    EXPECT_EQ(iterations[0], c.want);
    const float left = sim.MaxDivergence();
    EXPECT_LT(left, before);
    before = left;
  }
}

TEST_P(Projection, FlameCellExpandsAndTheRestStaysDivergenceFree) {
  ASSERT_NO_FATAL_FAILURE(make(Grid(16, 16, 16)));
  putCell(&FireSim::Impl::flame, at(8, 7, 6), 2.0f);
  FireParams p = Params(0.0001f);
  p.expansion = 0.6f;
  EXPECT_GT(project(p), 0);
  const Faces f = GetFaces(sim, g);
  const std::vector<float> target = cellArray(&FireSim::Impl::targetDivergence);
  for (int k = 0; k < g.nz; ++k)
    for (int j = 0; j < g.ny; ++j)
      for (int i = 0; i < g.nx; ++i) {
        const float want = at(i, j, k) == at(8, 7, 6) ? 1.2f : 0.0f;
        ASSERT_FLOAT_EQ(target[at(i, j, k)], want);
        ASSERT_NEAR(divergenceAt(f, i, j, k), want, Bound(p)) << i << "," << j << "," << k;
      }
  // The gas leaves the burning cell on every side.
  for (int axis = 0; axis < 3; ++axis) {
    EXPECT_LT(f.a[axis][face(axis, 8, 7, 6)], 0.0f);
    EXPECT_GT(f.a[axis][face(axis, 8, 7, 6) + stride(axis)], 0.0f);
  }
}

TEST_P(Projection, DivergenceFreeFlowNeedsNoIteration) {
  ASSERT_NO_FATAL_FAILURE(make(Grid(12, 10, 9)));
  const float speed[3] = {1.0f, 0.5f, 0.25f};
  for (int axis = 0; axis < 3; ++axis)
    Put(sim, kFaces[axis], std::vector<float>(FaceCount(g, axis), speed[axis]));
  EXPECT_EQ(project(Params(0.0001f)), 0);
  const Faces f = GetFaces(sim, g);
  for (float x : f.a[0]) ASSERT_EQ(x, 1.0f);
  for (float x : f.a[1]) ASSERT_EQ(x, 0.5f);
  // Only FaceBC acts: the closed floor (z-) stops the flow through it.
  for (size_t c = 0; c < f.a[2].size(); ++c) ASSERT_EQ(f.a[2][c], c < stride(2) ? 0.0f : 0.25f);
  for (float x : cellArray(&FireSim::Impl::pressure)) ASSERT_EQ(x, 0.0f);
}

TEST_P(Projection, GradientSkipsClosedSidesAndSeesZeroPressureBeyondOpenOnes) {
  // x- open, x+ closed, y- closed, y+ open, z- closed, z+ open.
  ASSERT_NO_FATAL_FAILURE(make(Grid(14, 12, 10), OpenSides{true, false, false, true, false, true}));
  RandomFlow(sim, g, 3);
  const Faces before = GetFaces(sim, g);
  const FireParams p = Params(0.0001f);
  project(p);
  EXPECT_LE(sim.MaxDivergence(), Bound(p));
  const Faces after = GetFaces(sim, g);
  const std::vector<float> pressure = cellArray(&FireSim::Impl::pressure);
  const int n[3] = {g.nx, g.ny, g.nz};
  for (int axis = 0; axis < 3; ++axis)
    for (int k = 0; k < g.nz + (axis == 2); ++k)
      for (int j = 0; j < g.ny + (axis == 1); ++j)
        for (int i = 0; i < g.nx + (axis == 0); ++i) {
          const int x[3] = {i, j, k};
          const bool low = x[axis] == 0, high = x[axis] == n[axis];
          const size_t fc = face(axis, i, j, k);
          if ((low && !(s().openMask & (1 << 2 * axis))) ||
              (high && !(s().openMask & (2 << 2 * axis)))) {
            ASSERT_EQ(after.a[axis][fc], 0.0f);
            continue;
          }
          const float pR = high ? 0.0f : pressure[at(i, j, k)];
          const float pL = low ? 0.0f : pressure[at(i, j, k) - stride(axis)];
          ASSERT_NEAR(after.a[axis][fc], before.a[axis][fc] - (pR - pL) / g.cellSize, 1e-5f)
              << axis << ":" << i << "," << j << "," << k;
        }
}

TEST_P(Projection, ClosedBoxVentsTheExpansionThroughTheTop) {
  // No side open: the top is treated as open and takes all the gas the flame releases.
  ASSERT_NO_FATAL_FAILURE(make(Grid(12, 12, 12), OpenSides{}));
  ASSERT_EQ(s().openMask, 32);
  putCell(&FireSim::Impl::flame, at(6, 5, 4), 2.0f);
  FireParams p = Params(1e-7f, 200);
  p.expansion = 0.6f;
  EXPECT_LT(project(p), 200);
  const Faces f = GetFaces(sim, g);
  double out = 0.0;
  for (size_t c = 0; c < stride(2); ++c) out += f.a[2][c + cells()];
  const double released = 1.2 * g.cellSize;  // expansion * flame * h^3 over faces of h^2
  EXPECT_NEAR(out, released, 0.01 * released);
}

TEST_P(Projection, WallsHoldZeroPressureAndNoFlow) {
  ASSERT_NO_FATAL_FAILURE(make(Grid(20, 18, 16)));
  std::vector<size_t> walls = {at(0, 3, 3)};  // on the open x- side
  for (int k = 4; k < 12; ++k)
    for (int j = 5; j < 10; ++j)
      for (int i = 6; i < 12; ++i) walls.push_back(at(i, j, k));
  ASSERT_NO_FATAL_FAILURE(setSolid(walls));
  Put(sim, &FireSim::Impl::pressure, std::vector<float>(cells(), 7.0f));  // stale warm start
  putCell(&FireSim::Impl::flame, at(8, 7, 6), 3.0f);                      // burning inside a wall
  RandomFlow(sim, g, 11);
  const FireParams p = Params(0.0001f);
  EXPECT_GT(project(p), 0);
  EXPECT_LE(sim.MaxDivergence(), Bound(p));
  const std::vector<float> pressure = cellArray(&FireSim::Impl::pressure);
  const std::vector<float> target = cellArray(&FireSim::Impl::targetDivergence);
  const Faces f = GetFaces(sim, g);
  for (size_t c : walls) {
    ASSERT_EQ(pressure[c], 0.0f);
    ASSERT_EQ(target[c], 0.0f);
    const int i = int(c % size_t(g.nx)), j = int(c / size_t(g.nx) % size_t(g.ny)),
              k = int(c / stride(2));
    for (int axis = 0; axis < 3; ++axis) {
      ASSERT_EQ(f.a[axis][face(axis, i, j, k)], 0.0f) << axis << ": " << c;
      ASSERT_EQ(f.a[axis][face(axis, i, j, k) + stride(axis)], 0.0f) << axis << ": " << c;
    }
  }
}

TEST_P(Projection, WalledInCellsEndTheSolveWithoutHarm) {
  ASSERT_NO_FATAL_FAILURE(make(Grid(10, 10, 10)));
  FireParams p = Params(0.0001f, 25);
  p.expansion = 0.6f;
  Put(sim, &FireSim::Impl::flame, std::vector<float>(cells(), 2.0f));
  const auto expectFinite = [&] {
    for (float x : cellArray(&FireSim::Impl::pressure)) ASSERT_TRUE(std::isfinite(x));
    for (const std::vector<float>& a : GetFaces(sim, g).a)
      for (float x : a) ASSERT_TRUE(std::isfinite(x));
  };
  // Everything solid: no equation at all, and FaceBC stops every face.
  std::vector<size_t> all(cells());
  for (size_t c = 0; c < cells(); ++c) all[c] = c;
  ASSERT_NO_FATAL_FAILURE(setSolid(all));
  RandomFlow(sim, g, 5);
  EXPECT_EQ(project(p), 0);
  for (const std::vector<float>& a : GetFaces(sim, g).a)
    for (float x : a) ASSERT_EQ(x, 0.0f);

  // One burning fluid cell walled in on all sides: gas sealed in cannot expand, so nothing is
  // asked of it and its warm pressure stays.
  const size_t lone = at(5, 5, 5);
  all.erase(all.begin() + std::ptrdiff_t(lone));
  ASSERT_NO_FATAL_FAILURE(setSolid(all));
  putCell(&FireSim::Impl::pressure, lone, 5.0f);
  EXPECT_EQ(project(p), 0);
  EXPECT_EQ(cellArray(&FireSim::Impl::pressure)[lone], 5.0f);
  EXPECT_EQ(cellArray(&FireSim::Impl::targetDivergence)[lone], 0.0f);
  expectFinite();

  // The same cell walled in amid a burning fluid domain: the rest converges as usual.
  ASSERT_NO_FATAL_FAILURE(
      setSolid({lone - 1, lone + 1, lone - 10, lone + 10, lone - 100, lone + 100}));
  RandomFlow(sim, g, 6);
  EXPECT_LT(project(p), 25);
  EXPECT_LE(sim.MaxDivergence(), Bound(p));
  expectFinite();
}

TEST_P(Projection, SealedPocketsDoNotRunAway) {
  // Two fluid cells closed in by walls, one of them burning: an expansion there has no solution,
  // and asking for it once drove the pressure to infinity.
  ASSERT_NO_FATAL_FAILURE(make(Grid(16, 16, 16)));
  const size_t a = at(7, 7, 8), b = at(8, 7, 8);
  std::vector<size_t> walls;
  for (int k = 7; k <= 9; ++k)
    for (int j = 6; j <= 8; ++j)
      for (int i = 6; i <= 9; ++i)
        if (at(i, j, k) != a && at(i, j, k) != b) walls.push_back(at(i, j, k));
  ASSERT_NO_FATAL_FAILURE(setSolid(walls));
  std::vector<float> flame(cells(), 0.0f);
  flame[a] = 2.0f;
  flame[at(3, 3, 3)] = 2.0f;  // and one burning in the open
  Put(sim, &FireSim::Impl::flame, flame);
  FireParams p = Params(0.0001f, 60);
  for (int step = 0; step < 3; ++step) {
    RandomFlow(sim, g, 20u + unsigned(step));
    EXPECT_LT(project(p), 60);
    EXPECT_LE(sim.MaxDivergence(), Bound(p));
    for (float x : cellArray(&FireSim::Impl::pressure)) ASSERT_TRUE(std::isfinite(x));
  }
  const std::vector<float> target = cellArray(&FireSim::Impl::targetDivergence);
  EXPECT_EQ(target[a], 0.0f);
  EXPECT_FLOAT_EQ(target[at(3, 3, 3)], 2.0f * p.expansion);
  // Clearing the walls vents the pocket again.
  ASSERT_TRUE(sim.SetSolids(nullptr));
  EXPECT_FALSE(s().hasSealed);
}

TEST_P(Projection, IterationCapIsRespected) {
  ASSERT_NO_FATAL_FAILURE(make(Grid(16, 16, 16)));
  for (int cap : {3, 1, 0}) {
    FillZero(s().exec(), s().pressure, s().cellBytes());
    RandomFlow(sim, g, 9);
    const Faces before = GetFaces(sim, g);
    const float divergence = sim.MaxDivergence();
    EXPECT_EQ(project(Params(1e-9f, cap)), cap);
    if (cap > 0) {
      EXPECT_LT(sim.MaxDivergence(), 0.5f * divergence);  // the last iterate is used
    } else {
      for (int axis = 0; axis < 3; ++axis)  // no iteration: the zero pressure changes nothing
        EXPECT_TRUE(SameBits(GetFaces(sim, g).a[axis], before.a[axis]));
    }
  }
}

TEST_P(Projection, SingleLevelGridConverges) {
  ASSERT_NO_FATAL_FAILURE(make(Grid(7, 12, 20)));
  ASSERT_EQ(s().levels.size(), 1u);
  RandomFlow(sim, g, 13);
  const FireParams p = Params(0.0001f);
  // The only level is also the coarsest: 24 sweep pairs each way make a strong preconditioner
  // (2 iterations here; 8 with the 2 pairs of a finer level).
  const int iterations = project(p);
  EXPECT_GT(iterations, 0);
  EXPECT_LE(iterations, 4);
  EXPECT_LE(sim.MaxDivergence(), Bound(p));
}

TEST_P(Projection, WarmStartAppliesTheKeptPressure) {
  ASSERT_NO_FATAL_FAILURE(make(Grid(16, 14, 18)));
  RandomFlow(sim, g, 21);
  const Faces input = GetFaces(sim, g);
  EXPECT_GT(project(Params(0.0001f)), 0);
  const Faces first = GetFaces(sim, g);
  // The same input again: the kept pressure already solves it, and its gradient is applied
  // although no iteration runs.
  for (int axis = 0; axis < 3; ++axis) Put(sim, kFaces[axis], input.a[axis]);
  EXPECT_EQ(project(Params(0.001f)), 0);
  for (int axis = 0; axis < 3; ++axis)
    EXPECT_TRUE(SameBits(GetFaces(sim, g).a[axis], first.a[axis]));
  for (int axis = 0; axis < 3; ++axis) Put(sim, kFaces[axis], input.a[axis]);
  EXPECT_LE(project(Params(0.0001f)), 1);
}

TEST_P(Projection, VCycleIsASymmetricContraction) {
  ASSERT_NO_FATAL_FAILURE(make(Grid(20, 18, 17), OpenSides{true, false, false, true, false, true}));
  ASSERT_EQ(s().levels.size(), 3u);
  std::vector<size_t> walls;
  for (int k = 3; k < 9; ++k)
    for (int i = 4; i < 11; ++i) walls.push_back(at(i, 6, k));
  // And a fluid cell walled in on all sides, which has no equation.
  const size_t lone = at(15, 12, 12);
  for (int axis = 0; axis < 3; ++axis) {
    walls.push_back(lone - stride(axis));
    walls.push_back(lone + stride(axis));
  }
  ASSERT_NO_FATAL_FAILURE(setSolid(walls));
  std::vector<uint8_t> solid(cells(), 0);
  for (size_t c : walls) solid[c] = 1;
  // z = M b for a random right-hand side (zero in walls).
  const auto precondition = [&](unsigned seed, std::vector<float>& b) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    b.resize(cells());
    for (size_t c = 0; c < cells(); ++c) b[c] = solid[c] ? 0.0f : dist(rng);
    Upload(s().exec(), s().levels[0].b, b.data(), b.size() * sizeof(float));
    s().VCycle(0);
    std::vector<float> z(cells());
    Download(s().exec(), z.data(), s().levels[0].x, z.size() * sizeof(float));
    return z;
  };
  std::vector<float> b1, b2;
  const std::vector<float> z1 = precondition(1, b1), z2 = precondition(2, b2);
  double z1b2 = 0, b1z2 = 0, scale = 0, rr = 0, bb = 0;
  for (int k = 0; k < g.nz; ++k)
    for (int j = 0; j < g.ny; ++j)
      for (int i = 0; i < g.nx; ++i) {
        const size_t c = at(i, j, k);
        z1b2 += double(z1[c]) * b2[c];
        b1z2 += double(b1[c]) * z2[c];
        scale += std::fabs(double(z1[c]) * b2[c]);
        if (solid[c] || c == lone) continue;
        const auto [diag, sum] = HostStencil(g, s().openMask, solid, z1, i, j, k);
        const double res = b1[c] - (double(diag) * z1[c] - sum);
        rr += res * res;
        bb += double(b1[c]) * b1[c];
      }
  EXPECT_NEAR(z1b2, b1z2, 1e-5 * scale);  // colours reversed after the correction
  EXPECT_LT(std::sqrt(rr), 0.5 * std::sqrt(bb));
  EXPECT_EQ(z1[lone], 0.0f);
}

TFR_INSTANTIATE_BACKENDS(Projection);

// Two projections (the second warm-started) with walls and a flame, on a fresh solver.
struct Outcome {
  std::vector<float> pressure;
  Faces faces;
  int iterations[2] = {-1, -1};
};

Outcome RunScenario(bool gpu) {
  const GridDesc g = Grid(24, 22, 20);
  FireSim sim;
  Outcome o;
  if (!sim.Create(g, kDefaultOpenSides, gpu)) return o;
  std::vector<float> solids(size_t(g.nx * g.ny * g.nz), 1.0f), flame(solids.size(), 0.0f);
  for (int k = 5; k < 9; ++k)
    for (int i = 3; i < 15; ++i) solids[CellIndex(g, i, 11, k)] = -1.0f;
  sim.SetSolids(solids.data());
  flame[CellIndex(g, 12, 8, 3)] = 4.0f;
  Put(sim, &FireSim::Impl::flame, flame);
  for (int pass = 0; pass < 2; ++pass) {
    RandomFlow(sim, g, 17u + unsigned(pass));
    sim.Internals().Project(Params(0.0001f), kDt);
    sim.Internals().FaceBC();
    o.iterations[pass] = sim.Stats().iterations;
  }
  o.pressure = Get(sim, &FireSim::Impl::pressure, solids.size());
  o.faces = GetFaces(sim, g);
  return o;
}

TEST(ProjectionRuns, TwoCpuRunsAreBitIdentical) {
  const Outcome a = RunScenario(false), b = RunScenario(false);
  ASSERT_GT(a.iterations[0], 0);
  EXPECT_EQ(a.iterations[0], b.iterations[0]);
  EXPECT_EQ(a.iterations[1], b.iterations[1]);
  EXPECT_TRUE(SameBits(a.pressure, b.pressure));
  for (int axis = 0; axis < 3; ++axis) EXPECT_TRUE(SameBits(a.faces.a[axis], b.faces.a[axis]));
}

TEST(ProjectionRuns, GpuAgreesWithCpu) {
  if (!GpuPresent()) GTEST_SKIP() << "no GPU on this machine";
  const Outcome cpu = RunScenario(false), gpu = RunScenario(true);
  ASSERT_FALSE(gpu.pressure.empty());
  for (int pass = 0; pass < 2; ++pass) EXPECT_NEAR(gpu.iterations[pass], cpu.iterations[pass], 1);
  // Both meet the same tolerance from the same input, so their velocities agree closely.
  for (int axis = 0; axis < 3; ++axis)
    for (size_t c = 0; c < cpu.faces.a[axis].size(); ++c)
      ASSERT_NEAR(cpu.faces.a[axis][c], gpu.faces.a[axis][c], 0.02f) << axis << ": " << c;
}

// Launches of one V-cycle over the pyramid 20, 10, 5 on each schedule. The CPU relaxes half-sweep
// by half-sweep (2 sweeps there and back on the two fine levels, 24 on the coarsest); the GPU
// schedule, whose levels all fit one block here, runs each group of sweeps as one launch. In a
// build without CUDA the GPU schedule runs on the host.
TEST(ProjectionLaunches, SmallLevelsSweepInOneLaunchPerGroup) {
#if TFR_HAS_CUDA
  if (!GpuPresent()) GTEST_SKIP() << "no GPU on this machine";
#endif
  const struct {
    bool gpu;
    int64_t smooth, sweeps;
  } cases[] = {{false, 8 + 8 + 96, 0}, {true, 0, 2 + 2 + 1}};
  for (const auto& c : cases) {
    FireSim sim;
    ASSERT_TRUE(sim.Create(Grid(20, 20, 20), kDefaultOpenSides, TFR_HAS_CUDA && c.gpu));
    sim.Internals().useGpu = c.gpu;
    ASSERT_EQ(sim.Internals().levels.size(), 3u);
    ResetLaunchCounts();
    SetLaunchCounting(true);
    sim.Internals().VCycle(0);
    SetLaunchCounting(false);
    int64_t smooth = 0, sweeps = 0;
    for (const LaunchCount& n : LaunchCounts()) {
      if (n.label == "multigrid: smooth") smooth = n.launches;
      if (n.label == "multigrid: sweeps") sweeps = n.launches;
    }
    EXPECT_EQ(smooth, c.smooth) << (c.gpu ? "GPU" : "CPU") << " schedule";
    EXPECT_EQ(sweeps, c.sweeps) << (c.gpu ? "GPU" : "CPU") << " schedule";
    sim.Internals().useGpu = TFR_HAS_CUDA && c.gpu;  // release the memory as what it is
  }
}

}  // namespace
}  // namespace tf::test
