#define TFR_BODY_SOURCE
// Forces, the first phase of every substep. Buoyancy lifts hot gas and smoke weight pulls dense
// smoke down, the flow relaxes toward the ambient wind and, inside fire emitters, toward the
// emitters' outflow; then the external force field, vorticity confinement and a noise-driven
// turbulence force are added. Only interior faces change: the border faces belong to the
// boundary handling. Each pass sees the velocity left by the one before, and a pass whose
// condition does not hold is not launched at all.
#include <cmath>
#include <cstdint>

#include "solver/fire_sim_impl.h"
#include "solver/noise.h"

namespace tf {

namespace {

// Single-instruction minimum and maximum on both devices (the host's fminf may be a library
// call that blocks vectorisation). A NaN in `x` gives `limit`.
TFR_HD inline float MinF(float x, float limit) { return x < limit ? x : limit; }
TFR_HD inline float MaxF(float x, float limit) { return x > limit ? x : limit; }

// One of the three face grids. Face (i, j, k) lies between the cell (i, j, k) ("upper") and its
// neighbour one step back along the face's axis ("lower"), `lowerStep` places earlier in a cell
// array. Interior faces have both cells inside the grid: index 1 to n-1 along the axis.
struct FaceGrid {
  Dims d;
  int ex, ey, ez;                    // extents of the face array
  int iLo, iHi, jLo, jHi, kLo, kHi;  // interior range, inclusive
  int lowerStep;

  TFR_HD bool interior(int i, int j, int k) const {
    return i >= iLo && i <= iHi && j >= jLo && j <= jHi && k >= kLo && k <= kHi;
  }
  TFR_HD int face(int i, int j, int k) const { return i + ex * (j + ey * k); }
};

FaceGrid FacesOf(const Dims& d, int axis) {
  const int nx = d.nx, ny = d.ny, nz = d.nz;
  switch (axis) {
    case 0: return FaceGrid{d, nx + 1, ny, nz, 1, nx - 1, 0, ny - 1, 0, nz - 1, 1};
    case 1: return FaceGrid{d, nx, ny + 1, nz, 0, nx - 1, 1, ny - 1, 0, nz - 1, nx};
    default: return FaceGrid{d, nx, ny, nz + 1, 0, nx - 1, 0, ny - 1, 1, nz - 1, nx * ny};
  }
}

// Wind relaxation by the fraction `drag`, then the pull toward the emitter velocity by the
// fraction e (face-averaged mask times emitBlend). Faces with e <= 0 (no emitter, or smoke-only
// sources whose mask is negative) are not pulled. The pull is a per-substep fraction capped at
// one; a full pull lands on the target exactly, which value + 1·(target − value) need not.
TFR_HD inline float RelaxAndBlend(float value, float wind, float drag, float e, float target) {
  value = value + (wind - value) * drag;
  if (!(e > 0.0f)) return value;
  return e >= 1.0f ? target : value + e * (target - value);
}

// Cell-centred velocities from the faces on either side, and the curl built from them.
struct Velocity {
  const float* u;
  const float* v;
  const float* w;
  Dims d;
  TFR_HD float uc(int i, int j, int k) const {
    return 0.5f * (u[d.u(i, j, k)] + u[d.u(i + 1, j, k)]);
  }
  TFR_HD float vc(int i, int j, int k) const {
    return 0.5f * (v[d.v(i, j, k)] + v[d.v(i, j + 1, k)]);
  }
  TFR_HD float wc(int i, int j, int k) const {
    return 0.5f * (w[d.w(i, j, k)] + w[d.w(i, j, k + 1)]);
  }
};

struct Vec3 {
  float x, y, z;
};

// Central differences of the cell-centre velocities. Neighbours are clamped into the grid, so on
// the border a difference spans one cell while the divisor stays two cells.
TFR_HD inline Vec3 CellCurl(const Velocity& vel, float twoH, int i, int j, int k) {
  const Dims& d = vel.d;
  const int ip = i + 1 < d.nx ? i + 1 : d.nx - 1, im = i > 0 ? i - 1 : 0;
  const int jp = j + 1 < d.ny ? j + 1 : d.ny - 1, jm = j > 0 ? j - 1 : 0;
  const int kp = k + 1 < d.nz ? k + 1 : d.nz - 1, km = k > 0 ? k - 1 : 0;
  Vec3 c;
  c.x = ((vel.wc(i, jp, k) - vel.wc(i, jm, k)) - (vel.vc(i, j, kp) - vel.vc(i, j, km))) / twoH;
  c.y = ((vel.uc(i, j, kp) - vel.uc(i, j, km)) - (vel.wc(ip, j, k) - vel.wc(im, j, k))) / twoH;
  c.z = ((vel.vc(ip, j, k) - vel.vc(im, j, k)) - (vel.uc(i, jp, k) - vel.uc(i, jm, k))) / twoH;
  return c;
}

// Value of the lattice point whose coordinate products (coordinate times its axis multiplier)
// and seed product are given; 32-bit arithmetic that wraps around.
TFR_HD inline float LatticeValue(uint32_t hx, uint32_t hy, uint32_t hz, uint32_t hs) {
  uint32_t h = hx ^ hy ^ hz ^ hs;
  h ^= h >> 13;
  h *= 0x5BD1E995u;
  h ^= h >> 15;
  return float(h & 0xFFFFFFu) * (1.0f / 8388608.0f) - 1.0f;
}

// Values on the interior faces of one component grow by the average of the cell field on their
// two sides times dt; halfDt = dt / 2 folds in the average.
void AddCellForce(const Exec& ex, const FaceGrid& g, float* face, const float* f, float halfDt) {
  kFor3(ex, g.ex, g.ey, g.ez, [=] TFR_HD(int i, int j, int k) {
    if (!g.interior(i, j, k)) return;
    const int upper = g.d.cell(i, j, k);
    float& value = face[g.face(i, j, k)];
    value = value + (f[upper - g.lowerStep] + f[upper]) * halfDt;
  });
}

// Wind relaxation and emitter pull on the interior faces of a horizontal component. `target` is
// the per-cell emitter velocity of that axis, or null to pull toward the uniform `speed`.
void RelaxHorizontal(const Exec& ex, const FaceGrid& g, float* face, float wind, float drag,
                     const float* mask, float blend, const float* target, float speed) {
  kFor3(ex, g.ex, g.ey, g.ez, [=] TFR_HD(int i, int j, int k) {
    if (!g.interior(i, j, k)) return;
    const int upper = g.d.cell(i, j, k), lower = upper - g.lowerStep;
    float& value = face[g.face(i, j, k)];
    const float e = 0.5f * (mask[lower] + mask[upper]) * blend;
    const float to = target ? 0.5f * (target[lower] + target[upper]) : speed;
    value = RelaxAndBlend(value, wind, drag, e, to);
  });
}

}  // namespace

TFR_HD float ValueNoise(float x, float y, float z, int seed) {
  const int x0 = int(floorf(x)), y0 = int(floorf(y)), z0 = int(floorf(z));
  const float fx = x - float(x0), fy = y - float(y0), fz = z - float(z0);
  const float sx = fx * fx * (3.0f - 2.0f * fx);
  const float sy = fy * fy * (3.0f - 2.0f * fy);
  const float sz = fz * fz * (3.0f - 2.0f * fz);
  // (X + 1)·m = X·m + m in wrap-around arithmetic, so each axis needs one multiplication.
  const uint32_t hx0 = uint32_t(x0) * 73856093u, hx1 = hx0 + 73856093u;
  const uint32_t hy0 = uint32_t(y0) * 19349663u, hy1 = hy0 + 19349663u;
  const uint32_t hz0 = uint32_t(z0) * 83492791u, hz1 = hz0 + 83492791u;
  const uint32_t hs = uint32_t(seed) * 0x9E3779B1u;
  float sum = 0.0f;
  for (int c = 0; c < 8; ++c) {
    const bool bx = c & 1, by = c & 2, bz = c & 4;
    const float wx = bx ? sx : 1.0f - sx;
    const float wy = by ? sy : 1.0f - sy;
    const float wz = bz ? sz : 1.0f - sz;
    sum += LatticeValue(bx ? hx1 : hx0, by ? hy1 : hy0, bz ? hz1 : hz0, hs) * wx * wy * wz;
  }
  return sum;
}

void FireSim::Impl::Forces(const FireParams& p, float dt) {
  const Exec ex = exec();
  const Dims d = dims();
  const int nx = d.nx, ny = d.ny, nz = d.nz;
  const float halfDt = 0.5f * dt;
  const float drag = 1.0f - expf(-p.windDrag * dt);
  const float blend = emission.emitBlend;
  const float* dens = density;
  const float* temp = temperature;
  const float* mask = emitterMask;
  const FaceGrid uFaces = FacesOf(d, 0), vFaces = FacesOf(d, 1), wFaces = FacesOf(d, 2);

  // Vertical: buoyancy and smoke weight from the face-averaged temperature and density (0 at
  // ambient, so a cell at ambient temperature gets no lift), then wind and emitter pull.
  {
    float* pw = w;
    const float buoyancy = p.buoyancy, weight = p.smokeWeight, wind = p.windZ;
    const float* target = hasEmitVel ? emitVelZ : nullptr;
    const float speed = emission.emitSpeed;
    const int layer = d.cellStrideZ();
    kFor3(ex, nx, ny, nz + 1, [=] TFR_HD(int i, int j, int k) {
      if (k < 1 || k > nz - 1) return;
      const int upper = d.cell(i, j, k), lower = upper - layer;
      float& value = pw[d.w(i, j, k)];
      const float tf = 0.5f * (temp[lower] + temp[upper]);
      const float df = 0.5f * (dens[lower] + dens[upper]);
      const float lifted = value + dt * (buoyancy * tf - weight * df);
      const float e = 0.5f * (mask[lower] + mask[upper]) * blend;
      const float to = target ? 0.5f * (target[lower] + target[upper]) : speed;
      value = RelaxAndBlend(lifted, wind, drag, e, to);
    });
  }

  // Horizontal: only when something can move u or v, the wind or a sideways emitter velocity.
  const bool sideways = emission.emitSpeedX != 0.0f || emission.emitSpeedY != 0.0f || hasEmitVel;
  if (drag > 0.0f || (blend > 0.0f && sideways)) {
    RelaxHorizontal(ex, uFaces, u, p.windX, drag, mask, blend, hasEmitVel ? emitVelX : nullptr,
                    emission.emitSpeedX);
    RelaxHorizontal(ex, vFaces, v, p.windY, drag, mask, blend, hasEmitVel ? emitVelY : nullptr,
                    emission.emitSpeedY);
  }

  if (hasExtForce) {
    AddCellForce(ex, uFaces, u, extForceX, halfDt);
    AddCellForce(ex, vFaces, v, extForceY, halfDt);
    AddCellForce(ex, wFaces, w, extForceZ, halfDt);
  }

  // Vorticity confinement: push along N × ω, N pointing up the gradient of the curl magnitude,
  // which feeds back the small swirls that the grid smears out.
  if (p.vorticity > 0.0f) {
    const Velocity vel{u, v, w, d};
    const float twoH = 2.0f * grid.cellSize;
    float* magnitude = scratch2;
    kFor3(ex, nx, ny, nz, [=] TFR_HD(int i, int j, int k) {
      const Vec3 c = CellCurl(vel, twoH, i, j, k);
      magnitude[d.cell(i, j, k)] = sqrtf(c.x * c.x + c.y * c.y + c.z * c.z);
    });

    const float* m = magnitude;
    float* fx = cellForceX;
    float* fy = cellForceY;
    float* fz = cellForceZ;
    const float vorticity = p.vorticity, h = grid.cellSize;
    const int sy = d.cellStrideY(), sz = d.cellStrideZ();
    kFor3(ex, nx, ny, nz, [=] TFR_HD(int i, int j, int k) {
      const int c = d.cell(i, j, k);
      Vec3 force{0.0f, 0.0f, 0.0f};
      // The outermost layer of cells has no centred gradient and keeps no force.
      if (i >= 1 && i <= nx - 2 && j >= 1 && j <= ny - 2 && k >= 1 && k <= nz - 2) {
        const float gx = m[c + 1] - m[c - 1];
        const float gy = m[c + sy] - m[c - sy];
        const float gz = m[c + sz] - m[c - sz];
        const float len = sqrtf(gx * gx + gy * gy + gz * gz);
        if (len >= 1e-12f) {
          const float nX = gx / len, nY = gy / len, nZ = gz / len;
          const Vec3 o = CellCurl(vel, twoH, i, j, k);
          // Cold, smoke-free cells keep a quarter of the strength.
          const float s = MinF(2.0f * temp[c] + 0.25f + dens[c], 1.0f) * vorticity * h;
          force = Vec3{(nY * o.z - nZ * o.y) * s, (nZ * o.x - nX * o.z) * s,
                       (nX * o.y - nY * o.x) * s};
        }
      }
      fx[c] = force.x;
      fy[c] = force.y;
      fz[c] = force.z;
    });

    AddCellForce(ex, uFaces, u, cellForceX, halfDt);
    AddCellForce(ex, vFaces, v, cellForceY, halfDt);
    AddCellForce(ex, wFaces, w, cellForceZ, halfDt);
  }

  // Turbulence: two octaves of value noise per axis, weighted by heat and smoke so that clear
  // air stays calm. The pattern drifts upward with the frame time, not from substep to substep.
  if (p.turbulence > 0.0f) {
    const float scale = MaxF(p.turbScale, 1e-4f);
    const float freq = grid.cellSize / scale;
    const float drift = 0.6f * p.time / scale;
    const float turbulence = p.turbulence;
    float* fx = cellForceX;
    float* fy = cellForceY;
    float* fz = cellForceZ;
    kFor3(ex, nx, ny, nz, [=] TFR_HD(int i, int j, int k) {
      const int c = d.cell(i, j, k);
      const float a = MinF(2.0f * temp[c] + dens[c], 1.0f) * turbulence;
      Vec3 force{0.0f, 0.0f, 0.0f};
      if (a > 0.0f) {
        const float px = float(i) * freq, py = float(j) * freq, pz = float(k) * freq - drift;
        const float qx = 2.0f * px, qy = 2.0f * py, qz = 2.0f * pz;
        force.x = (0.5f * ValueNoise(qx, qy, qz, 4) + ValueNoise(px, py, pz, 1)) * a;
        force.y = (0.5f * ValueNoise(qx, qy, qz, 5) + ValueNoise(px, py, pz, 2)) * a;
        force.z = (0.5f * ValueNoise(qx, qy, qz, 6) + ValueNoise(px, py, pz, 3)) * a;
      }
      fx[c] = force.x;
      fy[c] = force.y;
      fz[c] = force.z;
    });

    AddCellForce(ex, uFaces, u, cellForceX, halfDt);
    AddCellForce(ex, vFaces, v, cellForceY, halfDt);
    AddCellForce(ex, wFaces, w, cellForceZ, halfDt);
  }
}

}  // namespace tf
