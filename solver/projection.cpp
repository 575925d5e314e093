#define TFR_BODY_SOURCE
// Pressure projection. The face velocities are made to take the divergence the combustion asks
// for (expansion times flame, zero elsewhere): a Poisson equation for the cell pressure is solved
// by conjugate gradients preconditioned with one multigrid V-cycle, and the pressure gradient is
// subtracted from the faces. The pressure is kept from one solve to the next, so a flow that
// changes little between substeps starts close to its solution.
//
// The operator at a fluid cell of any pyramid level: every fluid neighbour adds 1 to the diagonal
// and its value to the neighbour sum; a solid neighbour adds nothing (no flow through a wall);
// beyond the grid border an open side adds 1 to the diagonal (zero pressure outside) and a closed
// side adds nothing. (A x)_c = diag * x_c - sum. The same open sides hold on every level.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "device/device_memory.h"
#include "device/rows.h"
#include "solver/fire_sim_impl.h"

namespace tf {

namespace {

// What the operator needs of one level: its extents, its walls and the open border sides.
struct LevelShape {
  Dims d;
  const uint8_t* solid;
  int openMask;
  const uint8_t* openRows = nullptr;  // Level::openRows, or null to look at the rows themselves
};

LevelShape ShapeOf(const Level& L, int openMask) {
  return LevelShape{Dims{L.nx, L.ny, L.nz}, L.solid, openMask, L.openRows.empty() ? nullptr : L.openRows.data()};
}

// Selections inside the stencil are made on bits, not with `? :` on floats: the compiler turns
// float selects back into branches (it will not evaluate a discarded float operation that might
// trap), and a branch keeps the CPU's row loops from vectorising. Masks are all ones or zero.
TFR_HD inline uint32_t MaskOf(bool c) { return 0u - uint32_t(c); }

// a where mask is all ones, b where it is zero; exact, sign of zero included.
TFR_HD inline float Select(uint32_t mask, float a, float b) {
  uint32_t ab, bb;
  memcpy(&ab, &a, sizeof ab);
  memcpy(&bb, &b, sizeof bb);
  ab = (ab & mask) | (bb & ~mask);
  memcpy(&a, &ab, sizeof a);
  return a;
}

// The neighbours shared by the cells of one x row (j, k) of a level: offsets of the y-, y+, z-
// and z+ neighbours (0, the cell itself, where the row lies on that border), masks of those that
// exist, and, per side x-, x+, y-, y+, z-, z+, what a missing neighbour adds to the diagonal (1
// beyond an open side, where the pressure is 0; nothing beyond a closed one).
struct RowNeighbours {
  int off[4];
  uint32_t in[4];
  int edge[6];
};

TFR_HD inline RowNeighbours RowAt(const LevelShape& L, int j, int k) {
  const int sy = L.d.cellStrideY(), sz = L.d.cellStrideZ();
  const bool in[4] = {j > 0, j + 1 < L.d.ny, k > 0, k + 1 < L.d.nz};
  const int step[4] = {-sy, sy, -sz, sz};
  RowNeighbours rn;
  for (int n = 0; n < 4; ++n) {
    rn.in[n] = MaskOf(in[n]);
    rn.off[n] = in[n] ? step[n] : 0;
  }
  for (int side = 0; side < 6; ++side) rn.edge[side] = (L.openMask >> side) & 1;
  TFR_CHECK_INDEX(L.d.cell(0, j, k) + rn.off[1], L.d.cell(0, in[1] ? j + 1 : j, k));
  TFR_CHECK_INDEX(L.d.cell(0, j, k) + rn.off[3], L.d.cell(0, j, in[3] ? k + 1 : k));
  TFR_CHECK_INDEX(L.d.cell(0, j, k) + rn.off[0], L.d.cell(0, in[0] ? j - 1 : j, k));
  TFR_CHECK_INDEX(L.d.cell(0, j, k) + rn.off[2], L.d.cell(0, j, in[2] ? k - 1 : k));
  return rn;
}

struct Stencil {
  int diag;
  float sum;
};

// One neighbour's share of the stencil. n is always a valid index (the cell itself for a missing
// neighbour), so the loads need no branch; a neighbour that is missing or solid adds +0 to the
// sum, which leaves it unchanged (the sum starts at +0 and so is never -0).
TFR_HD inline void AddNeighbour(Stencil& s, const float* x, const uint8_t* solid, int n,
                                uint32_t inside, int edge) {
  const uint32_t fluid = inside & MaskOf(solid[n] == 0);
  s.diag += int(fluid & 1u) + int(~inside & 1u) * edge;
  s.sum += Select(fluid, x[n], 0.0f);
}

// diag and sum at cell c, neighbours taken in the order x-, x+, y-, y+, z-, z+. xm and xp say
// whether the x- and x+ neighbours exist.
TFR_HD TFR_SAMPLE_INLINE Stencil StencilAt(const float* x, const uint8_t* solid, int c,
                                const RowNeighbours& rn, bool xm, bool xp) {
  Stencil s{0, 0.0f};
  AddNeighbour(s, x, solid, xm ? c - 1 : c, MaskOf(xm), rn.edge[0]);
  AddNeighbour(s, x, solid, xp ? c + 1 : c, MaskOf(xp), rn.edge[1]);
  AddNeighbour(s, x, solid, c + rn.off[0], rn.in[0], rn.edge[2]);
  AddNeighbour(s, x, solid, c + rn.off[1], rn.in[1], rn.edge[3]);
  AddNeighbour(s, x, solid, c + rn.off[2], rn.in[2], rn.edge[4]);
  AddNeighbour(s, x, solid, c + rn.off[3], rn.in[3], rn.edge[5]);
  return s;
}

// (A x)_c at a fluid cell.
TFR_HD inline float Apply(const Stencil& s, float xc) { return float(s.diag) * xc - s.sum; }

// The stencil of a cell whose six neighbours all lie inside the level and are fluid; the same
// sum, in the same order, as StencilAt gives there.
TFR_HD TFR_SAMPLE_INLINE Stencil StencilOpen(const float* x, int c, int sy, int sz) {
  Stencil s{6, 0.0f};
  s.sum += x[c - 1];
  s.sum += x[c + 1];
  s.sum += x[c - sy];
  s.sum += x[c + sy];
  s.sum += x[c - sz];
  s.sum += x[c + sz];
  return s;
}

// Whether every cell of row (j, k) but the two ends has all six neighbours inside the level and
// fluid: the four neighbour rows exist and neither they nor the row hold a wall.
TFR_HD inline bool RowIsOpen(const LevelShape& L, const RowNeighbours& rn, int c0) {
  if (!(rn.in[0] & rn.in[1] & rn.in[2] & rn.in[3])) return false;
  const uint8_t* s = L.solid + c0;
  unsigned walls = 0;
  for (int i = 0; i < L.d.nx; ++i)
    walls |=
        unsigned(s[i] | s[i + rn.off[0]] | s[i + rn.off[1]] | s[i + rn.off[2]] | s[i + rn.off[3]]);
  return walls == 0;
}

// Calls cell(i, j, k, c, stencil of x at c, open) for the cells of row (j, k) with (i + j + k) % 2
// == parity, or for every cell when parity < 0; `open` (a constant at each call) says that the cell
// and its six neighbours are fluid and inside the level. The two ends of the row are called apart,
// and a row away from borders and walls takes the short stencil, so that the loops between
// vectorise.
template <class Cell>
TFR_HD inline void WalkRow(const LevelShape& L, const float* x, int j, int k, int parity,
                           const Cell& cell) {
  const RowNeighbours rn = RowAt(L, j, k);
  const int nx = L.d.nx, last = nx - 1;
  const int c0 = L.d.cell(0, j, k);
  int i = parity < 0 ? 0 : (j + k + parity) & 1;
  if (i == 0) {
    cell(0, j, k, c0, StencilAt(x, L.solid, c0, rn, false, nx > 1), false);
    i = parity < 0 ? 1 : 2;
  }
  if (L.openRows != nullptr ? L.openRows[j + L.d.ny * k] != 0 : RowIsOpen(L, rn, c0)) {
    const int sy = rn.off[1], sz = rn.off[3];
    if (parity < 0) {
      for (; i < last; ++i) cell(i, j, k, c0 + i, StencilOpen(x, c0 + i, sy, sz), true);
    } else {
      for (; i < last; i += 2) cell(i, j, k, c0 + i, StencilOpen(x, c0 + i, sy, sz), true);
    }
  } else if (parity < 0) {
    for (; i < last; ++i)
      cell(i, j, k, c0 + i, StencilAt(x, L.solid, c0 + i, rn, true, true), false);
  } else {
    for (; i < last; i += 2)
      cell(i, j, k, c0 + i, StencilAt(x, L.solid, c0 + i, rn, true, true), false);
  }
  if (i == last) cell(i, j, k, c0 + i, StencilAt(x, L.solid, c0 + i, rn, true, false), false);
}

// Runs cell(i, j, k, c, stencil of x at c, open) over the cells of a level, or over one colour of
// them (parity 0 or 1; -1 for all). The GPU runs one thread per visited cell (half a row's width
// for one colour, so no thread idles on the other colour); the CPU walks whole rows, the z layers
// shared among its threads on levels of kParallelLevelCells cells or more. (kFor3 over the rows
// would count rows, not cells, and keep every level but the finest, a 32^3 level under a 64^3
// grid included, on one thread; below 32^3 a pass takes a few microseconds, about what waking
// the threads costs.)
inline constexpr int64_t kParallelLevelCells = 32 * 32 * 32;

template <class Cell>
void ForLevelCells(const Exec& ex, const char* label, const LevelShape& L, const float* x, int parity,
                   const Cell& cell) {
  const Dims d = L.d;
  if (ex.gpu) {
    const int width = parity < 0 ? d.nx : (d.nx + 1) / 2;
    kFor3(ex, label, width, d.ny, d.nz, [=] TFR_HD(int ii, int j, int k) {
      const int i = parity < 0 ? ii : 2 * ii + ((j + k + parity) & 1);
      if (i >= d.nx) return;
      const int c = d.cell(i, j, k);
      cell(i, j, k, c, StencilAt(x, L.solid, c, RowAt(L, j, k), i > 0, i + 1 < d.nx), false);
    });
    return;
  }
  if (Skipped(ex)) return;
  NoteLaunch(label);
  [[maybe_unused]] const bool parallel = int64_t(d.nx) * d.ny * d.nz >= kParallelLevelCells;
#pragma omp parallel for schedule(static) if (parallel)
  for (int k = 0; k < d.nz; ++k)
    for (int j = 0; j < d.ny; ++j) WalkRow(L, x, j, k, parity, cell);
}

// One relaxation of a cell of one colour. A half-sweep writes one colour and reads only the other,
// so the order of its cells does not matter. Solid cells and cells with no coupling (diag 0) keep
// their value; they divide by 1 instead of 0 so that nothing in the row traps.
struct Relax {
  const uint8_t* solid;
  float* x;
  const float* b;
  TFR_HD void operator()(int, int, int, int c, const Stencil& s, bool open) const {
    const uint32_t update = open ? ~0u : MaskOf(solid[c] == 0) & MaskOf(s.diag > 0);
    const float relaxed = (s.sum + b[c]) / float(s.diag + int(~update & 1u));
    x[c] = Select(update, relaxed, x[c]);
  }
};

// The coarse-grid correction is over-corrected. A quarter of the sum of the fine residuals makes
// the coarse problem that of the fine operator under piecewise-constant prolongation, and that
// correction falls well short on the smooth error it is there for: the conjugate gradients then
// need two to three times the iterations. Scaled up 1.8 times (found best over 1.6 to 2.6 on a
// rising plume at 64^3 and 128^3) the cycle removes most of it. Any positive scale keeps the
// preconditioner symmetric and positive definite (the smoothing on either side of the correction
// bounds the cycle's error operator by the identity from above), so only the number of iterations
// depends on it.
constexpr float kCoarseScale = 0.25f * 1.8f;

// Levels of at most this many cells relax on the GPU in one block, all their sweeps in one launch:
// below it a sweep's launch costs more than its work.
constexpr int64_t kOneBlockCells = 8192;

// Sum or maximum of term(c0 + i) over 0 <= i < n, in double: four interleaved accumulators,
// combined in a fixed order, so that the additions overlap and the result is the same every run.
template <class Term>
TFR_HD inline double ReduceRow(ReduceMode mode, int c0, int n, const Term& term) {
  double a[4] = {0.0, 0.0, 0.0, 0.0};
  int i = 0;
  if (mode == ReduceSum) {
    for (; i + 4 <= n; i += 4)
      for (int l = 0; l < 4; ++l) a[l] += term(c0 + i + l);
    for (; i < n; ++i) a[0] += term(c0 + i);
    return (a[0] + a[1]) + (a[2] + a[3]);
  }
  for (; i < n; ++i) {
    const double t = term(c0 + i);
    a[0] = t > a[0] ? t : a[0];
  }
  return a[0];
}

// Sum or maximum over the cells of a level, into *sum or *maxBits (kReduceTo): cell(i, j, k, c,
// stencil of x at c, open) writes the cell's outputs, then term(c) gives its value. The CPU
// writes a whole row before it reduces it.
template <class Cell, class Term>
void ReduceLevelCells(const Exec& ex, const char* label, const LevelShape& L, const float* x, ReduceMode mode,
                      double* sum, uint32_t* maxBits, const Cell& cell, const Term& term) {
  const Dims d = L.d;
  if (ex.gpu) {
    kReduceTo(ex, label, d.nx * d.ny * d.nz, mode, sum, maxBits, [=] TFR_HD(int c) -> double {
      const int row = c / d.nx, i = c - row * d.nx, j = row % d.ny, k = row / d.ny;
      cell(i, j, k, c, StencilAt(x, L.solid, c, RowAt(L, j, k), i > 0, i + 1 < d.nx), false);
      return term(c);
    });
    return;
  }
  kReduceTo(ex, label, d.ny * d.nz, mode, sum, maxBits, [=] TFR_HD(int row) -> double {
    const int j = row % d.ny, k = row / d.ny;
    WalkRow(L, x, j, k, -1, cell);
    return ReduceRow(mode, d.cell(0, j, k), d.nx, term);
  });
}

// Sum or maximum over the n elements of cell arrays, into *sum or *maxBits (kReduceTo):
// update(c0, c1) writes elements c0 <= c < c1, then term(c) gives each one's value. The CPU takes
// rows of `width` elements, the GPU one element at a time.
template <class Update, class Term>
void ReduceElements(const Exec& ex, const char* label, int n, int width, ReduceMode mode, double* sum,
                    uint32_t* maxBits, const Update& update, const Term& term) {
  if (ex.gpu) {
    kReduceTo(ex, label, n, mode, sum, maxBits, [=] TFR_HD(int c) -> double {
      update(c, c + 1);
      return term(c);
    });
    return;
  }
  kReduceTo(ex, label, n / width, mode, sum, maxBits, [=] TFR_HD(int row) -> double {
    const int c0 = row * width;
    update(c0, c0 + width);
    return ReduceRow(mode, c0, width, term);
  });
}

// a . b, products and sum in double, into *sum.
void Dot(const Exec& ex, int n, int width, const float* a, const float* b, double* sum) {
  ReduceElements(
      ex, "project: dot", n, width, ReduceSum, sum, nullptr, [] TFR_HD(int, int) {},
      [=] TFR_HD(int c) -> double { return double(a[c]) * double(b[c]); });
}

// The iterate and the residual one step along the search direction: p += alpha d, r -= alpha q
// over c0 <= c < c1.
TFR_HD TFR_SAMPLE_INLINE void StepAlong(float* __restrict__ p, float* __restrict__ r, const float* __restrict__ d,
                                        const float* __restrict__ q, float alpha, int c0, int c1) {
  for (int c = c0; c < c1; ++c) {
    p[c] += alpha * d[c];
    r[c] -= alpha * q[c];
  }
}

// The right-hand side: the measured divergence less the divergence the combustion asks for.
// Walls get no equation and zero pressure; clearing their pressure here, where no neighbour reads
// it, leaves the residual pass free of writes to the array it reads. Gas sealed in by walls has
// nowhere to expand to, so it is not asked to. Every choice is made on the bits, so that a row
// runs in vector lanes. `sealed` stands in for itself or, when there is no sealed gas, for any
// array of the grid's size, with `useSealed` false. Each cell once, in place (the pressure).
struct Rhs {
  const float *u, *v, *w, *flame;
  const uint8_t *solid, *sealed;
  bool useSealed;
  float *target, *rhs, *p;
};

void RightHandSide(const Exec& ex, const Dims d, const Rhs& a, float expansion, float h) {
  const IndexBox all{{0, 0, 0}, {d.nx - 1, d.ny - 1, d.nz - 1}};
  kRows(ex, "project: rhs", d.nx, d.ny, d.nz, all, [=] TFR_HD(bool, int i, int j, int k) TFR_ROW_BODY {
    const int c = d.cell(i, j, k), iu = d.u(i, j, k), iv = d.v(i, j, k);
    TFR_CHECK_INDEX(iu + 1, d.u(i + 1, j, k));
    TFR_CHECK_INDEX(iv + d.nx, d.v(i, j + 1, k));
    TFR_CHECK_INDEX(c + d.nx * d.ny, d.w(i, j, k + 1));
    const bool wall = a.solid[c] != 0;
    const float t = Pick(a.useSealed & (a.sealed[c] != 0), 0.0f, a.flame[c] * expansion);
    const float measured =
        (a.u[iu + 1] - a.u[iu] + a.v[iv + d.nx] - a.v[iv] + a.w[c + d.nx * d.ny] - a.w[c]) / h;
    a.target[c] = Pick(wall, 0.0f, t);
    a.rhs[c] = Pick(wall, 0.0f, measured - t);
    a.p[c] = Pick(wall, 0.0f, a.p[c]);
  }, RowWork::Even, RowLoop::Plain);
}

// The pressure gradient subtracted from the faces of component Axis (0 u, 1 v, 2 w), in place.
// Beyond an open side the pressure is 0; the faces on a closed side are left to FaceBC. Inside
// (the faces with a cell on either side) the row has no test to make and runs in vector lanes.
template <int Axis>
void SubtractGradient(const Exec& ex, const Dims d, const float* p, float* face, int mask, float s) {
  static constexpr const char* kLabel[3] = {"project: gradient u", "project: gradient v", "project: gradient w"};
  IndexBox interior{{0, 0, 0}, {d.nx - 1, d.ny - 1, d.nz - 1}};
  interior.lo[Axis] = 1;
  const int n = Axis == 0 ? d.nx : Axis == 1 ? d.ny : d.nz;
  const int step = Axis == 0 ? 1 : Axis == 1 ? d.nx : d.nx * d.ny;
  const bool lowOpen = (mask & (1 << (2 * Axis))) != 0, highOpen = (mask & (2 << (2 * Axis))) != 0;
  kRows(ex, kLabel[Axis], d.nx + (Axis == 0), d.ny + (Axis == 1), d.nz + (Axis == 2), interior,
        [=] TFR_HD(bool inside, int i, int j, int k) TFR_ROW_BODY {
    const int c = d.cell(i, j, k);
    const int f = Axis == 0 ? d.u(i, j, k) : Axis == 1 ? d.v(i, j, k) : d.w(i, j, k);
    if (inside) {
      TFR_CHECK_INDEX(c - step, d.cell(i - (Axis == 0), j - (Axis == 1), k - (Axis == 2)));
      face[f] -= (p[c] - p[c - step]) * s;
      return;
    }
    const int at = Axis == 0 ? i : Axis == 1 ? j : k;
    if ((at == 0 && !lowOpen) || (at == n && !highOpen)) return;
    const float pL = at > 0 ? p[c - step] : 0.0f;
    const float pR = at < n ? p[c] : 0.0f;
    face[f] -= (pR - pL) * s;
  }, RowWork::Even, RowLoop::Plain);
}

}  // namespace

void FireSim::Impl::Project(const FireParams& params, float dt) {
  const Exec ex = exec();
  const Dims d = dims();
  const int nx = d.nx;
  const int n = cellCount();
  const int mask = openMask;
  const float h = grid.cellSize;
  const float h2 = h * h;
  const float expansion = params.expansion;
  const LevelShape shape = ShapeOf(levels[0], mask);
  const uint8_t* solid = levels[0].solid;
  const float* flameRate = flame;
  float* target = targetDivergence;
  float* rhs = divergence;
  float* p = pressure;
  float* r = levels[0].b;        // the conjugate gradient residual
  const float* z = levels[0].x;  // the preconditioned residual, written by VCycle(0)
  float* dir = pcgSearch;
  float* pu = u;
  float* pv = v;
  float* pw = w;

  // Right-hand side, and zero pressure in the walls.
  const uint8_t* sealedIn = hasSealed ? sealed : solid;
  RightHandSide(ex, d, Rhs{pu, pv, pw, flameRate, solid, sealedIn, hasSealed, target, rhs, p}, expansion, h);

  // Residual of the warm-started pressure, into level 0's right-hand side; its largest magnitude
  // into the solve's state.
  SolveState* st = solve;
  ReduceLevelCells(
      ex, "project: residual", shape, p, ReduceMax, nullptr, &st->residual,
      [=] TFR_HD(int, int, int, int c, const Stencil& s, bool open) {
        r[c] = Select(open ? ~0u : MaskOf(solid[c] == 0), -h2 * rhs[c] - Apply(s, p[c]), 0.0f);
      },
      [=] TFR_HD(int c) -> double { return double(fabsf(r[c])); });

  // A residual of tau is a divergence error of pressureTolerance / dt per cell once the gradient
  // is applied. The solve stops at once where the warm start already meets it.
  const double tau = double(params.pressureTolerance) / double(dt) * (double(h) * double(h));
  const int maxIterations = params.maxPressureIterations;
  kFor3(ex, "project: begin", 1, 1, 1, [=] TFR_HD(int, int, int) {
    st->tau = tau;
    st->maxIterations = maxIterations;
    st->iteration = 1;
    st->iterations = 0;
    st->stopped = !(double(BitsToFloat(st->residual)) > tau) || maxIterations < 1;
  });

  const Exec guarded = solveExec();
  Precondition(guarded);
  CopyOnDevice(ex, dir, z, cellBytes());  // stale when stopped, and then never read
  Dot(guarded, n, nx, r, z, &st->rho);
  // Queue as many iterations as the last solve took (the warm start keeps the count steady from
  // one substep to the next), then one at a time until the state says the solve has stopped. The
  // device stops itself at the cap, so the host never queues more than that.
  int queued = 0;
  int ahead = std::clamp(lastIterations, 1, 8);
  while (queued < maxIterations) {
    ahead = std::min(ahead, maxIterations - queued);
    for (int run = 3; run >= 0; --run) {
      if (!(ahead & (1 << run))) continue;
      iterationRuns[run].Run(guarded, "project: iterations", [this, run] {
        for (int i = 0; i < (1 << run); ++i) SolveIteration();
      });
    }
    queued += ahead;
    if (ReadSolve().stopped) break;
    ahead = 1;
  }
  // The loop read the state after its last run; without a run there was no iteration.
  stats.iterations = maxIterations > 0 ? solveHost->iterations : 0;
  lastIterations = stats.iterations;

  // Subtract the pressure gradient. The warm-started pressure is a full pressure, so this runs
  // every time.
  const float s = 1.0f / h;
  SubtractGradient<0>(ex, d, p, pu, mask, s);
  SubtractGradient<1>(ex, d, p, pv, mask, s);
  SubtractGradient<2>(ex, d, p, pw, mask, s);
}

void FireSim::Impl::SolveIteration() {
  const Exec ex = solveExec();
  const Dims d = dims();
  const int nx = d.nx, ny = d.ny, nz = d.nz;
  const int n = cellCount();
  const LevelShape shape = ShapeOf(levels[0], openMask);
  const uint8_t* solid = levels[0].solid;
  float* p = pressure;
  float* r = levels[0].b;
  const float* z = levels[0].x;
  float* dir = pcgSearch;
  float* q = pcgProduct;
  SolveState* st = solve;

  ReduceLevelCells(
      ex, "project: apply", shape, dir, ReduceSum, &st->sigma, nullptr,
      [=] TFR_HD(int, int, int, int c, const Stencil& s, bool open) {
        q[c] = Select(open ? ~0u : MaskOf(solid[c] == 0), Apply(s, dir[c]), 0.0f);
      },
      [=] TFR_HD(int c) -> double { return double(dir[c]) * double(q[c]); });
  // No energy left in the search direction (every fluid cell walled in, for example): stop
  // without an update. Written so that a NaN stops it too.
  kFor3(ex, "project: step length", 1, 1, 1, [=] TFR_HD(int, int, int) {
    if (!(st->sigma > 0.0)) {
      st->iterations = st->iteration;
      st->stopped = 1;
    } else {
      st->alpha = float(st->rho / st->sigma);
    }
  });
  ReduceElements(
      ex, "project: update", n, nx, ReduceMax, nullptr, &st->residual,
      [=] TFR_HD(int c0, int c1) { StepAlong(p, r, dir, q, st->alpha, c0, c1); },
      [=] TFR_HD(int c) -> double { return double(fabsf(r[c])); });
  kFor3(ex, "project: converged", 1, 1, 1, [=] TFR_HD(int, int, int) {
    if (double(BitsToFloat(st->residual)) <= st->tau) {
      st->iterations = st->iteration;
      st->stopped = 1;
    }
  });
  VCycle(ex, 0);
  Dot(ex, n, nx, r, z, &st->rhoNext);
  // Running out of iterations stops the solve with the last iterate standing.
  kFor3(ex, "project: next", 1, 1, 1, [=] TFR_HD(int, int, int) {
    st->beta = float(st->rhoNext / st->rho);
    st->rho = st->rhoNext;
    if (++st->iteration > st->maxIterations) {
      st->iterations = st->maxIterations;
      st->stopped = 1;
    }
  });
  // The next search direction, d = z + beta d, in place.
  const IndexBox all{{0, 0, 0}, {nx - 1, ny - 1, nz - 1}};
  kRows(ex, "project: direction", nx, ny, nz, all, [=] TFR_HD(bool, int i, int j, int k) TFR_ROW_BODY {
    const int c = d.cell(i, j, k);
    dir[c] = z[c] + st->beta * dir[c];
  }, RowWork::Even, RowLoop::Plain);
}

const SolveState& FireSim::Impl::ReadSolve() {
  NoteWait();
  if (solveHost != solve) Download(exec(), solveHost, solve, sizeof(SolveState));
  return *solveHost;
}

void FireSim::Impl::VCycle(const Exec& ex, int depth) {
  Level& L = levels[size_t(depth)];
  const bool coarsest = size_t(depth) + 1 == levels.size();
  // The coarsest level gets no direct solve, only many sweeps.
  const int sweeps = coarsest ? 24 : 2;
  const Dims d{L.nx, L.ny, L.nz};
  FillZero(ex, L.x, size_t(d.nx) * size_t(d.ny) * size_t(d.nz) * sizeof(float));
  // The coarsest level's sweeps there and back follow each other directly: one group.
  Sweeps(ex, L, sweeps, coarsest ? sweeps : 0);
  if (!coarsest) {
    const Level& C = levels[size_t(depth) + 1];
    const Dims cd{C.nx, C.ny, C.nz};
    const LevelShape shape = ShapeOf(L, openMask);
    const uint8_t* solid = L.solid;
    const uint8_t* coarseSolid = C.solid;
    const float* x = L.x;
    const float* b = L.b;
    float* res = L.r;
    float* coarseB = C.b;
    const float* coarseX = C.x;
    float* fineX = L.x;

    // A fluid cell walled in on every side (diag 0) has no equation the cycle could solve; it is
    // left out of the correction both ways, as if solid, so that the preconditioner stays
    // symmetric and the conjugate gradients are not thrown off by a residual no step can reduce.
    ForLevelCells(ex, "multigrid: residual", shape, x, -1,
                  [=] TFR_HD(int, int, int, int c, const Stencil& s, bool open) {
      const uint32_t equation = open ? ~0u : MaskOf(solid[c] == 0) & MaskOf(s.diag > 0);
      res[c] = Select(equation, b[c] - Apply(s, x[c]), 0.0f);
    });

    // The coarse right-hand side: the sum of the (up to) eight fine residuals, scaled (see
    // kCoarseScale).
    kFor3(ex, "multigrid: restrict", cd.nx, cd.ny, cd.nz, [=] TFR_HD(int I, int J, int K) {
      const int cc = cd.cell(I, J, K);
      const int i = 2 * I, j = 2 * J, k = 2 * K;
      const int f = d.cell(i, j, k);
      // Children beyond an odd extent read the first child again and count +0.
      const uint32_t mi = MaskOf(i + 1 < d.nx), mj = MaskOf(j + 1 < d.ny),
                     mk = MaskOf(k + 1 < d.nz);
      const int di = int(mi & 1u), dj = int(mj & 1u) * d.nx, dk = int(mk & 1u) * d.nx * d.ny;
      float sum = 0.0f;
      sum += res[f];
      sum += Select(mi, res[f + di], 0.0f);
      sum += Select(mj, res[f + dj], 0.0f);
      sum += Select(mj & mi, res[f + dj + di], 0.0f);
      sum += Select(mk, res[f + dk], 0.0f);
      sum += Select(mk & mi, res[f + dk + di], 0.0f);
      sum += Select(mk & mj, res[f + dk + dj], 0.0f);
      sum += Select(mk & mj & mi, res[f + dk + dj + di], 0.0f);
      coarseB[cc] = Select(MaskOf(coarseSolid[cc] == 0), kCoarseScale * sum, 0.0f);
    });

    VCycle(ex, depth + 1);

    // Piecewise constant prolongation of the coarse correction. Only the diagonal of the stencil
    // is used; it is taken over b, which nothing writes here.
    const auto prolong = [=] TFR_HD(int i, int j, int k, int c, const Stencil& s, bool open) {
      const uint32_t equation = open ? ~0u : MaskOf(solid[c] == 0) & MaskOf(s.diag > 0);
      const float x0 = fineX[c];
      fineX[c] = Select(equation, x0 + coarseX[cd.cell(i / 2, j / 2, k / 2)], x0);
    };
    ForLevelCells(ex, "multigrid: prolong", shape, b, -1, prolong);
    // Colours in reverse order after the correction keep the preconditioner symmetric.
    Sweeps(ex, L, 0, sweeps);
  }
}

void FireSim::Impl::Precondition(const Exec& ex) {
  // The cycle's launches depend only on the pyramid and the solve's flag, which live as long as
  // the arrays: recorded once, replayed as one launch on the GPU.
  preconditioner.Run(ex, "multigrid: v-cycle", [this, ex] { VCycle(ex, 0); });
}

void FireSim::Impl::Sweeps(const Exec& ex, Level& level, int forward, int backward) {
  const Dims d{level.nx, level.ny, level.nz};
  if (ex.gpu && int64_t(d.nx) * d.ny * d.nz <= kOneBlockCells) {
    const LevelShape shape = ShapeOf(level, openMask);
    const Relax relax{level.solid, level.x, level.b};
    const float* x = level.x;
    const int split = 2 * forward;
    // Round r relaxes one colour of the whole level; a barrier separates the rounds.
    kRounds(ex, "multigrid: sweeps", 2 * (forward + backward), (d.nx + 1) / 2, d.ny, d.nz,
            [=] TFR_HD(int round, int ii, int j, int k) {
              const int parity = round < split ? (round & 1) : 1 - (round & 1);
              const int i = 2 * ii + ((j + k + parity) & 1);
              if (i >= d.nx) return;
              const int c = d.cell(i, j, k);
              relax(i, j, k, c, StencilAt(x, shape.solid, c, RowAt(shape, j, k), i > 0, i + 1 < d.nx), false);
            });
    return;
  }
  for (int s = 0; s < forward; ++s) {
    Smooth(ex, level, 0);
    Smooth(ex, level, 1);
  }
  for (int s = 0; s < backward; ++s) {
    Smooth(ex, level, 1);
    Smooth(ex, level, 0);
  }
}

void FireSim::Impl::Smooth(const Exec& ex, Level& level, int parity) {
  const LevelShape shape = ShapeOf(level, openMask);
  ForLevelCells(ex, "multigrid: smooth", shape, level.x, parity, Relax{level.solid, level.x, level.b});
}

void FireSim::Impl::FindOpenRows() {
  for (Level& level : levels) {
    if (TFR_DEVICE_PASS && useGpu) {
      level.openRows.clear();  // the GPU's schedule looks at its cells one by one
      continue;
    }
    const LevelShape shape{Dims{level.nx, level.ny, level.nz}, level.solid, openMask};
    level.openRows.resize(size_t(level.ny) * size_t(level.nz));
    for (int k = 0; k < level.nz; ++k)
      for (int j = 0; j < level.ny; ++j)
        level.openRows[size_t(j) + size_t(level.ny) * size_t(k)] =
            RowIsOpen(shape, RowAt(shape, j, k), shape.d.cell(0, j, k)) ? 1 : 0;
  }
}

}  // namespace tf
