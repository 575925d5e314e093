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
  kFor3(ex, "face bc u", nx + 1, ny, nz, [=] TFR_HD(int i, int j, int k) {
    const bool closed = (i == 0 && !(mask & 1)) || (i == nx && !(mask & 2));
    if (closed || (i > 0 && solid[d.cell(i - 1, j, k)]) || (i < nx && solid[d.cell(i, j, k)]))
      pu[d.u(i, j, k)] = 0.0f;
  });
  kFor3(ex, "face bc v", nx, ny + 1, nz, [=] TFR_HD(int i, int j, int k) {
    const bool closed = (j == 0 && !(mask & 4)) || (j == ny && !(mask & 8));
    if (closed || (j > 0 && solid[d.cell(i, j - 1, k)]) || (j < ny && solid[d.cell(i, j, k)]))
      pv[d.v(i, j, k)] = 0.0f;
  });
  kFor3(ex, "face bc w", nx, ny, nz + 1, [=] TFR_HD(int i, int j, int k) {
    const bool closed = (k == 0 && !(mask & 16)) || (k == nz && !(mask & 32));
    if (closed || (k > 0 && solid[d.cell(i, j, k - 1)]) || (k < nz && solid[d.cell(i, j, k)]))
      pw[d.w(i, j, k)] = 0.0f;
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
}

}  // namespace tf
