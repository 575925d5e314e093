#define TFR_BODY_SOURCE
// Read-back, diagnostics and the domain shift: the only way the rest of the system sees the
// solver's state. Every operation here waits for its result.
#include <algorithm>
#include <cmath>
#include <vector>

#include "device/device_memory.h"
#include "solver/fire_sim_impl.h"

namespace tf {

namespace {

// The stored cell array behind a field id, or null for derived ids and ids outside the table.
float* StoredField(const FireSim::Impl& s, FieldId id) {
  switch (id) {
    case FieldId::Density: return s.density;
    case FieldId::Temperature: return s.temperature;
    case FieldId::Fuel: return s.fuel;
    case FieldId::Flame: return s.flame;
    case FieldId::EmitterMask: return s.emitterMask;
    case FieldId::Dust: return s.dust;
    default: return nullptr;
  }
}

// scratch2 = cell-centred velocity component `axis` (0, 1, 2), or the speed for axis 3.
void DeriveVelocity(FireSim::Impl& s, int axis) {
  const int nx = s.grid.nx, ny = s.grid.ny;
  const float* u = s.u;
  const float* v = s.v;
  const float* w = s.w;
  float* out = s.scratch2;
  kFor3(s.exec(), "derive velocity", nx, ny, s.grid.nz, [=] TFR_HD(int i, int j, int k) {
    const int c = i + nx * (j + ny * k);
    const float uc = 0.5f * (u[i + (nx + 1) * (j + ny * k)] + u[i + 1 + (nx + 1) * (j + ny * k)]);
    const float vc = 0.5f * (v[i + nx * (j + (ny + 1) * k)] + v[i + nx * (j + 1 + (ny + 1) * k)]);
    TFR_CHECK_INDEX(c + nx * ny, PlainIndex(nx, ny, i, j, k + 1));
    const float wc = 0.5f * (w[c] + w[c + nx * ny]);
    out[c] = axis == 0 ? uc : axis == 1 ? vc : axis == 2 ? wc : sqrtf(vc * vc + uc * uc + wc * wc);
  });
}

// a(x, y, z) <- a(x + dx, y + dy, z + dz) over an array of extents (ex, ey, ez), entering cells
// 0; `tmp` is a temporary of the same size.
void ShiftArray(const Exec& ex, float* a, float* tmp, int ex_, int ey, int ez, int dx, int dy, int dz) {
  kFor3(ex, "shift", ex_, ey, ez, [=] TFR_HD(int x, int y, int z) {
    const int sx = x + dx, sy = y + dy, sz = z + dz;
    const bool inside = sx >= 0 && sx < ex_ && sy >= 0 && sy < ey && sz >= 0 && sz < ez;
    tmp[x + ex_ * (y + ey * z)] = inside ? a[sx + ex_ * (sy + ey * sz)] : 0.0f;
  });
  CopyOnDevice(ex, a, tmp, size_t(ex_) * size_t(ey) * size_t(ez) * sizeof(float));
}

}  // namespace

bool FireSim::CopyField(FieldId id, float* out) {
  Impl& s = *impl;
  if (!s.ready || !out) return false;
  const int n = s.cellCount();
  switch (id) {
    case FieldId::Solid: {
      // The mask travels as bytes and is widened here.
      std::vector<uint8_t> bytes(static_cast<size_t>(n));
      Download(s.exec(), bytes.data(), s.levels[0].solid, size_t(n));
      for (int i = 0; i < n; ++i) out[i] = float(bytes[size_t(i)]);
      return true;
    }
    case FieldId::Speed:
    case FieldId::VelX:
    case FieldId::VelY:
    case FieldId::VelZ: {
      const int axis = id == FieldId::Speed ? 3 : int(id) - int(FieldId::VelX);
      DeriveVelocity(s, axis);
      Download(s.exec(), out, s.scratch2, s.cellBytes());
      return true;
    }
    default: break;
  }
  const float* src = StoredField(s, id);
  if (!src) return false;
  Download(s.exec(), out, src, s.cellBytes());
  return true;
}

double FireSim::Total(FieldId id) {
  Impl& s = *impl;
  if (!s.ready) return 0.0;
  const float* a = StoredField(s, id);
  if (!a) return 0.0;
  return kReduce(s.exec(), "total", s.cellCount(), ReduceSum, [=] TFR_HD(int p) { return double(a[p]); });
}

float FireSim::MaxDivergence() {
  Impl& s = *impl;
  if (!s.ready) return -1.0f;
  const int nx = s.grid.nx, ny = s.grid.ny;
  const float h = s.grid.cellSize;
  const float* u = s.u;
  const float* v = s.v;
  const float* w = s.w;
  const float* target = s.targetDivergence;
  const uint8_t* solid = s.levels[0].solid;
  // The error at cell (i, j, k); none in a wall.
  const auto error = [=] TFR_HD(int i, int j, int k) -> double {
    const int p = i + nx * (j + ny * k);
    if (solid[p]) return 0.0;
    const int iu = i + (nx + 1) * (j + ny * k);
    const int iv = i + nx * (j + (ny + 1) * k);
    const float d = ((u[iu + 1] - u[iu]) + (v[iv + nx] - v[iv]) + (w[p + nx * ny] - w[p])) / h;
    return double(fabsf(d - target[p]));
  };
  // One cell per GPU thread; the CPU takes whole rows, which spares it three integer divisions
  // per cell. A maximum does not depend on the order, so both give the same value.
  const double m =
      s.exec().gpu
          ? kReduce(s.exec(), "max divergence", s.cellCount(), ReduceMax,
                    [=] TFR_HD(int p) { return error(p % nx, (p / nx) % ny, p / (nx * ny)); })
          : kReduce(s.exec(), "max divergence", ny * s.grid.nz, ReduceMax, [=] TFR_HD(int row) {
              const int j = row % ny, k = row / ny;
              double most = 0.0;
              for (int i = 0; i < nx; ++i) {
                const double e = error(i, j, k);
                most = e > most ? e : most;  // kReduce's own comparison: a NaN is passed over
              }
              return most;
            });
  return float(m);
}

void FireSim::Shift(int dx, int dy, int dz) {
  Impl& s = *impl;
  if (!s.ready || (dx == 0 && dy == 0 && dz == 0)) return;
  const Exec ex = s.exec();
  const int nx = s.grid.nx, ny = s.grid.ny, nz = s.grid.nz;
  // Any shift beyond an array's extent empties it; clamping keeps the index sums from overflowing.
  dx = std::clamp(dx, -(nx + 1), nx + 1);
  dy = std::clamp(dy, -(ny + 1), ny + 1);
  dz = std::clamp(dz, -(nz + 1), nz + 1);
  // The state a frame hands to the next moves; a face array uses its back buffer as the temporary.
  for (const ArraySlot& a : SolverArrays()) {
    float* array = s.*a.member;
    if (a.tag == 0 || !array) continue;
    const Dims d = FireSim::Impl::ShapeDims(s.grid, a.shape);
    ShiftArray(ex, array, a.backBuffer ? s.*a.backBuffer : s.scratch, d.nx, d.ny, d.nz, dx, dy, dz);
  }
  WaitStream(ex);
}

}  // namespace tf
