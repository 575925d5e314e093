#define TFR_BODY_SOURCE
// Forces, the first phase of every substep. Buoyancy lifts hot gas and smoke weight pulls dense
// smoke down, the flow relaxes toward the ambient wind and, inside fire emitters, toward the
// emitters' outflow; then the external force field, vorticity confinement and a noise-driven
// turbulence force are added. Only interior faces change: the border faces belong to the
// boundary handling. Each pass sees the velocity left by the one before, and a pass whose
// condition does not hold is not launched at all.
#include <cmath>
#include <cstdint>

#include "device/device_math.h"
#include "device/rows.h"
#include "solver/fire_sim_impl.h"

namespace tf {

namespace {

// One of the three face grids, Axis 0 (u), 1 (v) or 2 (w). Face (i, j, k) lies between the cell
// (i, j, k) ("upper") and its neighbour one step back along the axis ("lower"). Interior faces
// have both cells inside the grid: index 1 to n-1 along the axis.
template <int Axis>
struct Faces {
  Dims d;
  TFR_HD int extent(int a) const { return (a == 0 ? d.nx : a == 1 ? d.ny : d.nz) + (a == Axis); }
  TFR_HD int face(int i, int j, int k) const {
    return Axis == 0 ? d.u(i, j, k) : Axis == 1 ? d.v(i, j, k) : d.w(i, j, k);
  }
  TFR_HD int lowerStep() const { return Axis == 0 ? 1 : Axis == 1 ? d.nx : d.nx * d.ny; }
  // A pass over the interior faces alone runs over these extents and moves its indices by
  // toInterior: the body then has no test to make, and a row runs in vector lanes.
  TFR_HD int interiorExtent(int a) const { return a == Axis ? extent(a) - 2 : extent(a); }
  TFR_HD void toInterior(int& i, int& j, int& k) const {
    i += Axis == 0;
    j += Axis == 1;
    k += Axis == 2;
  }
};

// Wind relaxation by the fraction `drag`, then the pull toward the emitter velocity by the
// fraction e (face-averaged mask times emitBlend). Faces with e <= 0 (no emitter, or smoke-only
// sources whose mask is negative) are not pulled. The pull is a per-substep fraction capped at
// one; a full pull lands on the target exactly, which value + 1·(target − value) need not.
TFR_HD inline float RelaxAndBlend(float value, float wind, float drag, float e, float target) {
  value = value + (wind - value) * drag;
  // Both outcomes are formed and one is chosen: no branch in a row of faces.
  const float pulled = e >= 1.0f ? target : value + e * (target - value);
  return e > 0.0f ? pulled : value;
}

// The velocity faces, read as cell-centred values: each the average of the two faces on either
// side of a cell.
struct Velocity {
  const float* u;
  const float* v;
  const float* w;
  Dims d;
};

// Central differences of the cell-centre velocities. Neighbours are clamped into the grid, so on
// the border a difference spans one cell while the divisor stays two cells; Inside (all six
// neighbours in the grid, CurlInterior) no clamp is reached and they are fixed steps away. Every
// neighbour is reached by a step from the cell's own face indices.
template <bool Inside>
TFR_HD TFR_SAMPLE_INLINE Vec3f CellCurl(const Velocity& vel, float twoH, int i, int j, int k) {
  const Dims& d = vel.d;
  const int xp = Inside || i + 1 < d.nx ? 1 : 0, xm = Inside || i > 0 ? 1 : 0;
  const int yp = Inside || j + 1 < d.ny ? 1 : 0, ym = Inside || j > 0 ? 1 : 0;
  const int zp = Inside || k + 1 < d.nz ? 1 : 0, zm = Inside || k > 0 ? 1 : 0;
  const int iu = d.u(i, j, k), iv = d.v(i, j, k), iw = d.w(i, j, k);
  const int uy = d.nx + 1, uz = (d.nx + 1) * d.ny;  // u index steps along y and z
  const int vy = d.nx, vz = d.nx * (d.ny + 1);
  const int wy = d.nx, wz = d.nx * d.ny;
  TFR_CHECK_INDEX(iu + uz + uy, d.u(i, j + 1, k + 1));
  TFR_CHECK_INDEX(iv + vz + vy, d.v(i, j + 1, k + 1));
  TFR_CHECK_INDEX(iw + wz + wy, d.w(i, j + 1, k + 1));
  // Cell-centre u, v and w of the cell `o` index steps away in that component's array.
  const auto uc = [&](int o) { return 0.5f * (vel.u[iu + o] + vel.u[iu + o + 1]); };
  const auto vc = [&](int o) { return 0.5f * (vel.v[iv + o] + vel.v[iv + o + vy]); };
  const auto wc = [&](int o) { return 0.5f * (vel.w[iw + o] + vel.w[iw + o + wz]); };
  Vec3f c;
  c.x = ((wc(yp * wy) - wc(-ym * wy)) - (vc(zp * vz) - vc(-zm * vz))) / twoH;
  c.y = ((uc(zp * uz) - uc(-zm * uz)) - (wc(xp) - wc(-xm))) / twoH;
  c.z = ((vc(xp) - vc(-xm)) - (uc(yp * uy) - uc(-ym * uy))) / twoH;
  return c;
}

// The cells whose six neighbours all lie inside the grid.
inline IndexBox CurlInterior(const Dims& d) { return IndexBox{{1, 1, 1}, {d.nx - 2, d.ny - 2, d.nz - 2}}; }

// Where the curl pass writes: the curl's magnitude and its components (the force arrays, where
// the confinement pass reads them back).
struct CurlOut {
  float* magnitude;
  float* fx;
  float* fy;
  float* fz;
};

// The curl of every cell into `out`.
void Curl(const Exec& ex, const Velocity& vel, const CurlOut& out, float twoH) {
  const Dims d = vel.d;
  kRows(ex, "curl", d.nx, d.ny, d.nz, CurlInterior(d), [=] TFR_HD(bool inside, int i, int j, int k) TFR_ROW_BODY {
    const Vec3f o = inside ? CellCurl<true>(vel, twoH, i, j, k) : CellCurl<false>(vel, twoH, i, j, k);
    const int c = d.cell(i, j, k);
    out.magnitude[c] = sqrtf(o.x * o.x + o.y * o.y + o.z * o.z);
    out.fx[c] = o.x;
    out.fy[c] = o.y;
    out.fz[c] = o.z;
  });
}

// Vorticity confinement, in place: the force arrays hold the curl on the way in and the force on
// the way out. Inside (CurlInterior) the force pushes along N x curl, N the unit gradient of the
// curl's magnitude; the outermost layer of cells has no centred gradient and gets none, nor does a
// cell where the gradient vanishes. Cold, smoke-free cells keep a quarter of the strength. Each
// cell once (RowLoop::Plain): a repeated cell would read a force back as a curl.
void Confine(const Exec& ex, const Dims d, const float* m, const CurlOut& out, const float* temp, const float* dens,
             float vorticity, float h) {
  float *fx = out.fx, *fy = out.fy, *fz = out.fz;
  const int sy = d.cellStrideY(), sz = d.cellStrideZ();
  kRows(ex, "vorticity confinement", d.nx, d.ny, d.nz, CurlInterior(d),
        [=] TFR_HD(bool inside, int i, int j, int k) TFR_ROW_BODY {
    const int c = d.cell(i, j, k);
    Vec3f force{0.0f, 0.0f, 0.0f};
    if (inside) {
      TFR_CHECK_INDEX(c + sy, d.cell(i, j + 1, k));
      TFR_CHECK_INDEX(c - sz, d.cell(i, j, k - 1));
      const float gx = m[c + 1] - m[c - 1];
      const float gy = m[c + sy] - m[c - sy];
      const float gz = m[c + sz] - m[c - sz];
      const float len = sqrtf(gx * gx + gy * gy + gz * gz);
      // Formed whatever the length and then chosen, so that the row has no branch.
      const float nX = gx / len, nY = gy / len, nZ = gz / len;
      const Vec3f o{fx[c], fy[c], fz[c]};
      const float warm = 2.0f * temp[c] + 0.25f + dens[c];
      const float s = Pick(warm < 1.0f, warm, 1.0f) * vorticity * h;  // MinF(warm, 1), as bits
      const bool pushed = len >= 1e-12f;
      force = Vec3f{Pick(pushed, (nY * o.z - nZ * o.y) * s, 0.0f), Pick(pushed, (nZ * o.x - nX * o.z) * s, 0.0f),
                    Pick(pushed, (nX * o.y - nY * o.x) * s, 0.0f)};
    }
    fx[c] = force.x;
    fy[c] = force.y;
    fz[c] = force.z;
  }, RowWork::Even, RowLoop::Plain);
}

// Values on the interior faces of one component grow by the average of the cell field on their
// two sides times dt; halfDt = dt / 2 folds in the average.
template <int Axis>
void AddCellForce(const Exec& ex, Faces<Axis> g, float* face, const float* f, float halfDt) {
  const int step = g.lowerStep();
  kFor3(ex, "add cell force", g.interiorExtent(0), g.interiorExtent(1), g.interiorExtent(2),
        [=] TFR_HD(int i, int j, int k) {
    g.toInterior(i, j, k);
    const int upper = g.d.cell(i, j, k);
    float& value = face[g.face(i, j, k)];
    value = value + (f[upper - step] + f[upper]) * halfDt;
  });
}

// Wind relaxation and emitter pull on the interior faces of a horizontal component. `target` is
// the per-cell emitter velocity of that axis, or null to pull toward the uniform `speed`.
template <int Axis>
void RelaxHorizontal(const Exec& ex, Faces<Axis> g, float* face, float wind, float drag,
                     const float* mask, float blend, const float* target, float speed) {
  const int step = g.lowerStep();
  // Without a target the mask stands in for it, so that the row reads the same arrays either way.
  const bool perCell = target != nullptr;
  const float* to = perCell ? target : mask;
  kFor3(ex, "relax horizontal", g.interiorExtent(0), g.interiorExtent(1), g.interiorExtent(2),
        [=] TFR_HD(int i, int j, int k) {
    g.toInterior(i, j, k);
    const int upper = g.d.cell(i, j, k), lower = upper - step;
    float& value = face[g.face(i, j, k)];
    const float e = 0.5f * (mask[lower] + mask[upper]) * blend;
    const float at = 0.5f * (to[lower] + to[upper]);
    const float toward = perCell ? at : speed;
    value = RelaxAndBlend(value, wind, drag, e, toward);
  });
}

// What the vertical pass blends: buoyancy and smoke weight, the wind it relaxes towards, and the
// emitters' pull.
struct BuoyancyTerms {
  float buoyancy, weight, wind, drag, blend, speed;
};

// Buoyancy and smoke weight from the face-averaged temperature and density (0 at ambient, so a
// cell at ambient temperature gets no lift), then wind and emitter pull. The emitters pull towards
// their per-cell velocity `emitVel` when there is one, otherwise towards `terms.speed`; as in
// RelaxHorizontal, the mask stands in for a missing target.
void Buoyancy(const Exec& ex, Faces<2> wFaces, float* pw, const float* temp, const float* dens, const float* mask,
              const float* emitVel, BuoyancyTerms terms, float dt) {
  const Dims d = wFaces.d;
  const bool perCell = emitVel != nullptr;
  const float* to = perCell ? emitVel : mask;
  const float buoyancy = terms.buoyancy, weight = terms.weight, wind = terms.wind, drag = terms.drag;
  const float blend = terms.blend, speed = terms.speed;
  const int layer = d.cellStrideZ();
  kFor3(ex, "buoyancy", wFaces.interiorExtent(0), wFaces.interiorExtent(1), wFaces.interiorExtent(2),
        [=] TFR_HD(int i, int j, int k) {
    wFaces.toInterior(i, j, k);
    const int upper = d.cell(i, j, k), lower = upper - layer;
    float& value = pw[d.w(i, j, k)];
    const float tf = 0.5f * (temp[lower] + temp[upper]);
    const float df = 0.5f * (dens[lower] + dens[upper]);
    const float lifted = value + dt * (buoyancy * tf - weight * df);
    const float e = 0.5f * (mask[lower] + mask[upper]) * blend;
    const float at = 0.5f * (to[lower] + to[upper]);
    value = RelaxAndBlend(lifted, wind, drag, e, perCell ? at : speed);
  });
}

// Two octaves of value noise per axis into the cell force arrays, weighted by heat and smoke so
// that clear air stays calm, and added to what they hold when vorticity confinement is on. The
// pattern drifts upward with the frame time, not from substep to substep.
void Turbulence(const Exec& ex, const Dims d, const FireParams& p, float cellSize, const float* temp,
                const float* dens, const CurlOut& out) {
  const float scale = MaxF(p.turbScale, 1e-4f);
  const float freq = cellSize / scale;
  const float drift = 0.6f * p.time / scale;
  const float turbulence = p.turbulence;
  const uint32_t s1 = SeedHash(1), s2 = SeedHash(2), s3 = SeedHash(3);
  const uint32_t s4 = SeedHash(4), s5 = SeedHash(5), s6 = SeedHash(6);
  float* fx = out.fx;
  float* fy = out.fy;
  float* fz = out.fz;
  const bool addToConfinement = p.vorticity > 0.0f;
  kFor3(ex, "turbulence", d.nx, d.ny, d.nz, [=] TFR_HD(int i, int j, int k) {
    const int c = d.cell(i, j, k);
    const float a = MinF(2.0f * temp[c] + dens[c], 1.0f) * turbulence;
    Vec3f force{0.0f, 0.0f, 0.0f};
    if (a > 0.0f) {
      const float px = float(i) * freq, py = float(j) * freq, pz = float(k) * freq - drift;
      const float qx = 2.0f * px, qy = 2.0f * py, qz = 2.0f * pz;
      // Seeds: x 4 and 1, y 5 and 2, z 6 and 3.
      force.x = (0.5f * HashedNoise(qx, qy, qz, s4) + HashedNoise(px, py, pz, s1)) * a;
      force.y = (0.5f * HashedNoise(qx, qy, qz, s5) + HashedNoise(px, py, pz, s2)) * a;
      force.z = (0.5f * HashedNoise(qx, qy, qz, s6) + HashedNoise(px, py, pz, s3)) * a;
    }
    if (addToConfinement) {
      force.x += fx[c];
      force.y += fy[c];
      force.z += fz[c];
    }
    fx[c] = force.x;
    fy[c] = force.y;
    fz[c] = force.z;
  });
}

}  // namespace

void FireSim::Impl::Forces(const FireParams& p, float dt) {
  const Exec ex = exec();
  const Dims d = dims();
  const float halfDt = 0.5f * dt;
  const float drag = 1.0f - expf(-p.windDrag * dt);
  const float blend = emission.emitBlend;
  const float* mask = emitterMask;
  const Faces<0> uFaces{d};
  const Faces<1> vFaces{d};
  const Faces<2> wFaces{d};

  // Vertical: buoyancy and smoke weight, then wind and emitter pull.
  Buoyancy(ex, wFaces, w, temperature, density, emitterMask, hasEmitVel ? emitVelZ : nullptr,
           BuoyancyTerms{p.buoyancy, p.smokeWeight, p.windZ, drag, blend, emission.emitSpeed}, dt);

  // Horizontal: only when something can move u or v, the wind or a sideways emitter velocity.
  const bool sideways = emission.emitSpeedX != 0.0f || emission.emitSpeedY != 0.0f || hasEmitVel;
  if (drag > 0.0f || (blend > 0.0f && sideways)) {
    RelaxHorizontal(ex, uFaces, u, p.windX, drag, mask, blend, hasEmitVel ? emitVelX : nullptr,
                    emission.emitSpeedX);
    RelaxHorizontal(ex, vFaces, v, p.windY, drag, mask, blend, hasEmitVel ? emitVelY : nullptr,
                    emission.emitSpeedY);
  }

  // The add-cell-force launches on u, v and w (the face arrays are read at call time: advection
  // swaps them between substeps).
  const auto addToFaces = [&](const float* fx, const float* fy, const float* fz) {
    AddCellForce(ex, uFaces, u, fx, halfDt);
    AddCellForce(ex, vFaces, v, fy, halfDt);
    AddCellForce(ex, wFaces, w, fz, halfDt);
  };

  if (hasExtForce) addToFaces(extForceX, extForceY, extForceZ);

  // Vorticity confinement: push along N × ω, N pointing up the gradient of the curl magnitude,
  // which feeds back the small swirls that the grid smears out.
  if (p.vorticity > 0.0f) {
    const Velocity vel{u, v, w, d};
    const float twoH = 2.0f * grid.cellSize;
    float* magnitude = scratch2;
    float* fx = cellForceX;
    float* fy = cellForceY;
    float* fz = cellForceZ;
    // The curl itself waits in the force arrays: the force pass reads it back from the cell it
    // overwrites instead of differencing the faces a second time.
    Curl(ex, vel, CurlOut{magnitude, fx, fy, fz}, twoH);
    Confine(ex, d, magnitude, CurlOut{magnitude, fx, fy, fz}, temperature, density, p.vorticity, grid.cellSize);

    // With turbulence on as well, its force joins this one in the cell arrays and both reach the
    // faces in one pass.
    if (p.turbulence <= 0.0f) addToFaces(cellForceX, cellForceY, cellForceZ);
  }

  // Turbulence, added to the confinement force when that is on, then both reach the faces.
  if (p.turbulence > 0.0f) {
    Turbulence(ex, d, p, grid.cellSize, temperature, density, CurlOut{nullptr, cellForceX, cellForceY, cellForceZ});
    addToFaces(cellForceX, cellForceY, cellForceZ);
  }
}

}  // namespace tf
