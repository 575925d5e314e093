#define TFR_BODY_SOURCE
// Closed sides and solid cells. FaceBC is the one operation that holds the faces of closed sides
// and the faces touching a collider at zero; RestrictSolid carries the collider mask down the
// multigrid pyramid so that the coarse pressure equations see the same walls.
#include "solver/fire_sim_impl.h"

namespace tf {

void FireSim::Impl::FaceBC() {
  const Exec ex = exec();
  const Dims d = dims();
  const int nx = d.nx, ny = d.ny, nz = d.nz;
  const int mask = openMask;
  const uint8_t* solid = levels[0].solid;
  float* pu = u;
  float* pv = v;
  float* pw = w;
  // The two outer layers of faces of each axis, zeroed where their side is closed: a thin pass
  // per axis instead of a test on every face of the grid.
  kFor3(ex, "face bc sides x", 2, ny, nz, [=] TFR_HD(int s, int j, int k) {
    if (!(mask & (1 << s))) pu[d.u(s * nx, j, k)] = 0.0f;
  });
  kFor3(ex, "face bc sides y", nx, 2, nz, [=] TFR_HD(int i, int s, int k) {
    if (!(mask & (4 << s))) pv[d.v(i, s * ny, k)] = 0.0f;
  });
  kFor3(ex, "face bc sides z", nx, ny, 2, [=] TFR_HD(int i, int j, int s) {
    if (!(mask & (16 << s))) pw[d.w(i, j, s * nz)] = 0.0f;
  });
  // Faces touching a solid cell, looked for only around the solid cells' box: along its own axis
  // a face lies between cells lo - 1 and hi + 1, so the faces lo .. hi + 1.
  const int i0 = solidLo[0], j0 = solidLo[1], k0 = solidLo[2];
  const int si = solidHi[0] - i0 + 1, sj = solidHi[1] - j0 + 1, sk = solidHi[2] - k0 + 1;
  if (si <= 0 || sj <= 0 || sk <= 0) return;
  kFor3(ex, "face bc solids u", si + 1, sj, sk, [=] TFR_HD(int a, int b, int c) {
    const int i = i0 + a, j = j0 + b, k = k0 + c;
    if ((i > 0 && solid[d.cell(i - 1, j, k)]) || (i < nx && solid[d.cell(i, j, k)])) pu[d.u(i, j, k)] = 0.0f;
  });
  kFor3(ex, "face bc solids v", si, sj + 1, sk, [=] TFR_HD(int a, int b, int c) {
    const int i = i0 + a, j = j0 + b, k = k0 + c;
    if ((j > 0 && solid[d.cell(i, j - 1, k)]) || (j < ny && solid[d.cell(i, j, k)])) pv[d.v(i, j, k)] = 0.0f;
  });
  kFor3(ex, "face bc solids w", si, sj, sk + 1, [=] TFR_HD(int a, int b, int c) {
    const int i = i0 + a, j = j0 + b, k = k0 + c;
    if ((k > 0 && solid[d.cell(i, j, k - 1)]) || (k < nz && solid[d.cell(i, j, k)])) pw[d.w(i, j, k)] = 0.0f;
  });
}

void FireSim::Impl::RestrictSolid() {
  const Exec ex = exec();
  for (size_t n = 1; n < levels.size(); ++n) {
    const Level& fine = levels[n - 1];
    const Level& coarse = levels[n];
    const Dims f{fine.nx, fine.ny, fine.nz};
    const Dims c{coarse.nx, coarse.ny, coarse.nz};
    const uint8_t* fs = fine.solid;
    uint8_t* cs = coarse.solid;
    // A coarse cell is solid only when every fine cell it covers inside the level is solid.
    kFor3(ex, "restrict solid", c.nx, c.ny, c.nz, [=] TFR_HD(int I, int J, int K) {
      uint8_t all = 1;
      for (int b = 0; b < 8; ++b) {
        const int i = 2 * I + (b & 1), j = 2 * J + ((b >> 1) & 1), k = 2 * K + (b >> 2);
        if (i < f.nx && j < f.ny && k < f.nz && !fs[f.cell(i, j, k)]) all = 0;
      }
      cs[c.cell(I, J, K)] = all;
    });
  }
  FindOpenRows();
}

}  // namespace tf
