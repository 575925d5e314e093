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

#include "solver/device_memory.h"
#include "solver/fire_sim_impl.h"

namespace tf {

namespace {

// What the operator needs of one level: its extents, its walls and the open border sides.
struct LevelShape {
  Dims d;
  const uint8_t* solid;
  int openMask;
};

struct Stencil {
  float diag;
  float sum;
};

// One neighbour's share of the stencil. `inside` says whether the neighbour n lies in the level;
// `open` whether the border side behind the cell is open when it does not.
TFR_HD inline void AddNeighbour(Stencil& s, const float* x, const uint8_t* solid, bool inside, int n,
                                bool open) {
  if (inside) {
    if (!solid[n]) {
      s.diag += 1.0f;
      s.sum += x[n];
    }
  } else if (open) {
    s.diag += 1.0f;
  }
}

// diag and sum at fluid cell c = (i, j, k), neighbours taken in the order x-, x+, y-, y+, z-, z+.
TFR_HD inline Stencil StencilAt(const LevelShape& L, const float* x, int i, int j, int k, int c) {
  const Dims& d = L.d;
  const int sy = d.cellStrideY(), sz = d.cellStrideZ();
  Stencil s{0.0f, 0.0f};
  AddNeighbour(s, x, L.solid, i > 0, c - 1, L.openMask & 1);
  AddNeighbour(s, x, L.solid, i + 1 < d.nx, c + 1, L.openMask & 2);
  AddNeighbour(s, x, L.solid, j > 0, c - sy, L.openMask & 4);
  AddNeighbour(s, x, L.solid, j + 1 < d.ny, c + sy, L.openMask & 8);
  AddNeighbour(s, x, L.solid, k > 0, c - sz, L.openMask & 16);
  AddNeighbour(s, x, L.solid, k + 1 < d.nz, c + sz, L.openMask & 32);
  return s;
}

// Sum or maximum of cell(i, j, k, c) over every cell of a grid, c being the linear index. The GPU
// reduces cell by cell; the CPU hands whole x rows to the reduction, so that no cell pays for
// splitting its linear index and the partial results stay in a fixed order.
template <class Cell>
double ReduceCells(const Exec& ex, Dims d, ReduceMode mode, const Cell& cell) {
  if (ex.gpu) {
    return kReduce(ex, d.nx * d.ny * d.nz, mode, [=] TFR_HD(int c) -> double {
      const int row = c / d.nx;
      return cell(c - row * d.nx, row % d.ny, row / d.ny, c);
    });
  }
  return kReduce(ex, d.ny * d.nz, mode, [=] TFR_HD(int row) -> double {
    const int j = row % d.ny, k = row / d.ny;
    const int c0 = d.cell(0, j, k);
    double acc = 0.0;
    if (mode == ReduceSum) {
      for (int i = 0; i < d.nx; ++i) acc += cell(i, j, k, c0 + i);
    } else {
      for (int i = 0; i < d.nx; ++i) {
        const double v = cell(i, j, k, c0 + i);
        acc = v > acc ? v : acc;
      }
    }
    return acc;
  });
}

// r . z over n cells, products and sum in double.
double Dot(const Exec& ex, int n, const float* a, const float* b) {
  return kReduce(ex, n, ReduceSum, [=] TFR_HD(int c) -> double { return double(a[c]) * double(b[c]); });
}

}  // namespace

void FireSim::Impl::Project(const FireParams& params, float dt) {
  const Exec ex = exec();
  const Dims d = dims();
  const int nx = d.nx, ny = d.ny, nz = d.nz;
  const int n = cellCount();
  const int mask = openMask;
  const float h = grid.cellSize;
  const float h2 = h * h;
  const float expansion = params.expansion;
  const LevelShape shape{d, levels[0].solid, mask};
  const uint8_t* solid = levels[0].solid;
  const float* flameRate = flame;
  float* target = targetDivergence;
  float* rhs = divergence;
  float* p = pressure;
  float* r = levels[0].b;        // the conjugate gradient residual
  const float* z = levels[0].x;  // the preconditioned residual, written by VCycle(0)
  float* dir = pcgSearch;
  float* q = pcgProduct;
  float* pu = u;
  float* pv = v;
  float* pw = w;

  // Right-hand side: measured divergence less the divergence the combustion asks for.
  kFor3(ex, nx, ny, nz, [=] TFR_HD(int i, int j, int k) {
    const int c = d.cell(i, j, k);
    if (solid[c]) {
      target[c] = 0.0f;
      rhs[c] = 0.0f;
      return;
    }
    const float t = flameRate[c] * expansion;
    const int iu = d.u(i, j, k), iv = d.v(i, j, k);
    target[c] = t;
    rhs[c] = (pu[iu + 1] - pu[iu] + pv[iv + nx] - pv[iv] + pw[c + nx * ny] - pw[c]) / h - t;
  });

  // Residual of the warm-started pressure; walls get no equation and zero pressure.
  const double r0 = ReduceCells(ex, d, ReduceMax, [=] TFR_HD(int i, int j, int k, int c) -> double {
    if (solid[c]) {
      p[c] = 0.0f;
      r[c] = 0.0f;
      return 0.0;
    }
    const Stencil s = StencilAt(shape, p, i, j, k, c);
    const float res = -h2 * rhs[c] - (s.diag * p[c] - s.sum);
    r[c] = res;
    return double(fabsf(res));
  });

  // A residual of tau is a divergence error of pressureTolerance / dt per cell once the gradient
  // is applied.
  const double tau = double(params.pressureTolerance) / double(dt) * (double(h) * double(h));
  int iterations = 0;
  if (r0 > tau) {
    const int maxIterations = params.maxPressureIterations;
    VCycle(0);
    CopyOnDevice(ex, dir, z, cellBytes());
    double rho = Dot(ex, n, r, z);
    int i = 1;
    for (; i <= maxIterations; ++i) {
      const double sigma = ReduceCells(ex, d, ReduceSum, [=] TFR_HD(int ci, int cj, int ck, int c) -> double {
        if (solid[c]) {
          q[c] = 0.0f;
          return 0.0;
        }
        const Stencil s = StencilAt(shape, dir, ci, cj, ck, c);
        const float a = s.diag * dir[c] - s.sum;
        q[c] = a;
        return double(dir[c]) * double(a);
      });
      // No energy left in the search direction (every fluid cell walled in, for example): stop
      // without an update.
      if (sigma <= 0.0) break;
      const float alpha = float(rho / sigma);
      const double rMax = kReduce(ex, n, ReduceMax, [=] TFR_HD(int c) -> double {
        p[c] += alpha * dir[c];
        r[c] -= alpha * q[c];
        return double(fabsf(r[c]));
      });
      if (rMax <= tau) break;
      VCycle(0);
      const double rhoNew = Dot(ex, n, r, z);
      const float beta = float(rhoNew / rho);
      kFor3(ex, nx, ny, nz, [=] TFR_HD(int ci, int cj, int ck) {
        const int c = d.cell(ci, cj, ck);
        dir[c] = z[c] + beta * dir[c];
      });
      rho = rhoNew;
    }
    // Running out of iterations leaves i one past the cap; the last iterate stands.
    iterations = i < maxIterations ? i : (maxIterations > 0 ? maxIterations : 0);
  }
  stats.iterations = iterations;

  // Subtract the pressure gradient; beyond an open side the pressure is 0, faces on a closed side
  // are left to FaceBC. The warm-started pressure is a full pressure, so this runs every time.
  const float s = 1.0f / h;
  kFor3(ex, nx + 1, ny, nz, [=] TFR_HD(int i, int j, int k) {
    if ((i == 0 && !(mask & 1)) || (i == nx && !(mask & 2))) return;
    const int c = d.cell(i, j, k);
    const float pL = i > 0 ? p[c - 1] : 0.0f;
    const float pR = i < nx ? p[c] : 0.0f;
    pu[d.u(i, j, k)] -= (pR - pL) * s;
  });
  kFor3(ex, nx, ny + 1, nz, [=] TFR_HD(int i, int j, int k) {
    if ((j == 0 && !(mask & 4)) || (j == ny && !(mask & 8))) return;
    const int c = d.cell(i, j, k);
    const float pL = j > 0 ? p[c - nx] : 0.0f;
    const float pR = j < ny ? p[c] : 0.0f;
    pv[d.v(i, j, k)] -= (pR - pL) * s;
  });
  kFor3(ex, nx, ny, nz + 1, [=] TFR_HD(int i, int j, int k) {
    if ((k == 0 && !(mask & 16)) || (k == nz && !(mask & 32))) return;
    const int c = d.cell(i, j, k);
    const float pL = k > 0 ? p[c - nx * ny] : 0.0f;
    const float pR = k < nz ? p[c] : 0.0f;
    pw[d.w(i, j, k)] -= (pR - pL) * s;
  });

  FaceBC();
}

void FireSim::Impl::VCycle(int depth) {
  const Exec ex = exec();
  Level& L = levels[size_t(depth)];
  const bool coarsest = size_t(depth) + 1 == levels.size();
  // The coarsest level gets no direct solve, only many sweeps.
  const int sweeps = coarsest ? 24 : 2;
  const Dims d{L.nx, L.ny, L.nz};
  FillZero(ex, L.x, size_t(d.nx) * size_t(d.ny) * size_t(d.nz) * sizeof(float));
  for (int s = 0; s < sweeps; ++s) {
    Smooth(L, 0);
    Smooth(L, 1);
  }
  if (!coarsest) {
    const Level& C = levels[size_t(depth) + 1];
    const Dims cd{C.nx, C.ny, C.nz};
    const LevelShape shape{d, L.solid, openMask};
    const uint8_t* solid = L.solid;
    const uint8_t* coarseSolid = C.solid;
    const float* x = L.x;
    const float* b = L.b;
    float* res = L.r;
    float* coarseB = C.b;
    const float* coarseX = C.x;
    float* fineX = L.x;

    kFor3(ex, d.nx, d.ny, d.nz, [=] TFR_HD(int i, int j, int k) {
      const int c = d.cell(i, j, k);
      if (solid[c]) {
        res[c] = 0.0f;
        return;
      }
      const Stencil s = StencilAt(shape, x, i, j, k, c);
      res[c] = b[c] - (s.diag * x[c] - s.sum);
    });

    // A quarter of the sum of the (up to) eight fine residuals, not their average: the coarse
    // operator has the fine one's stencil on cells twice as large.
    kFor3(ex, cd.nx, cd.ny, cd.nz, [=] TFR_HD(int I, int J, int K) {
      const int cc = cd.cell(I, J, K);
      if (coarseSolid[cc]) {
        coarseB[cc] = 0.0f;
        return;
      }
      const int i0 = 2 * I, j0 = 2 * J, k0 = 2 * K;
      const int i1 = i0 + 1 < d.nx ? i0 + 1 : i0;
      const int j1 = j0 + 1 < d.ny ? j0 + 1 : j0;
      const int k1 = k0 + 1 < d.nz ? k0 + 1 : k0;
      float sum = 0.0f;
      for (int k = k0; k <= k1; ++k)
        for (int j = j0; j <= j1; ++j)
          for (int i = i0; i <= i1; ++i) sum += res[d.cell(i, j, k)];
      coarseB[cc] = 0.25f * sum;
    });

    VCycle(depth + 1);

    // Piecewise constant prolongation of the coarse correction.
    kFor3(ex, d.nx, d.ny, d.nz, [=] TFR_HD(int i, int j, int k) {
      const int c = d.cell(i, j, k);
      if (!solid[c]) fineX[c] += coarseX[cd.cell(i / 2, j / 2, k / 2)];
    });
  }
  // Colours in reverse order after the correction keep the preconditioner symmetric.
  for (int s = 0; s < sweeps; ++s) {
    Smooth(L, 1);
    Smooth(L, 0);
  }
}

void FireSim::Impl::Smooth(Level& level, int parity) {
  const Dims d{level.nx, level.ny, level.nz};
  const LevelShape shape{d, level.solid, openMask};
  const uint8_t* solid = level.solid;
  float* x = level.x;
  const float* b = level.b;
  // Only the cells of this colour are visited: ii runs over half a row and i is the ii-th cell
  // of the row with (i + j + k) % 2 == parity. A half-sweep reads only the other colour, so the
  // order of its cells does not matter.
  kFor3(exec(), (d.nx + 1) / 2, d.ny, d.nz, [=] TFR_HD(int ii, int j, int k) {
    const int i = 2 * ii + ((j + k + parity) & 1);
    if (i >= d.nx) return;
    const int c = d.cell(i, j, k);
    if (solid[c]) return;
    const Stencil s = StencilAt(shape, x, i, j, k, c);
    if (s.diag > 0.0f) x[c] = (s.sum + b[c]) / s.diag;
  });
}

}  // namespace tf
