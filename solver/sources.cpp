#define TFR_BODY_SOURCE
// Per-frame inputs. The solver never looks at the scene: emitters, colliders, forces, flammable
// objects and extinguishers arrive as dense per-cell arrays before each Step and are used, as
// uploaded, by every substep of it.
#include <algorithm>
#include <vector>

#include "device/device_memory.h"
#include "solver/fire_sim_impl.h"

namespace tf {

namespace {

// Allocates the members of an optional group that do not exist yet; false when one fails (those
// already allocated stay, and stay counted, until Release).
bool EnsureGroup(FireSim::Impl& s, std::initializer_list<float**> arrays) {
  for (float** a : arrays)
    if (!*a && !s.allocate(*a, size_t(s.cellCount()))) return false;
  return true;
}

// Marks the fluid cells that no open side can be reached from through fluid cells: a flood fill
// from the fluid cells on the open sides of the border.
std::vector<uint8_t> FindSealed(const std::vector<uint8_t>& solid, const Dims& d, int openMask) {
  std::vector<uint8_t> reached(solid.size(), 0);
  std::vector<int> stack;
  const auto seed = [&](int c) {
    if (!solid[size_t(c)] && !reached[size_t(c)]) {
      reached[size_t(c)] = 1;
      stack.push_back(c);
    }
  };
  for (int k = 0; k < d.nz; ++k)
    for (int j = 0; j < d.ny; ++j)
      for (int i = 0; i < d.nx; ++i) {
        const bool open = ((openMask & 1) && i == 0) || ((openMask & 2) && i == d.nx - 1) ||
                          ((openMask & 4) && j == 0) || ((openMask & 8) && j == d.ny - 1) ||
                          ((openMask & 16) && k == 0) || ((openMask & 32) && k == d.nz - 1);
        if (open) seed(d.cell(i, j, k));
      }
  while (!stack.empty()) {
    const int c = stack.back();
    stack.pop_back();
    const int i = c % d.nx, j = (c / d.nx) % d.ny, k = c / (d.nx * d.ny);
    if (i > 0) seed(c - 1);
    if (i + 1 < d.nx) seed(c + 1);
    if (j > 0) seed(c - d.nx);
    if (j + 1 < d.ny) seed(c + d.nx);
    if (k > 0) seed(c - d.nx * d.ny);
    if (k + 1 < d.nz) seed(c + d.nx * d.ny);
  }
  for (size_t c = 0; c < solid.size(); ++c) reached[c] = !solid[c] && !reached[c];
  return reached;
}

}  // namespace

bool FireSim::SetSolids(const float* values) {
  Impl& s = *impl;
  if (!s.ready) return false;
  const int n = s.cellCount();
  // Only the bytes travel; a value of -0.0 is not below zero and so not solid. The box around the
  // solid cells (empty: lo above hi) is found on the way.
  const Dims d = s.dims();
  for (int a = 0; a < 3; ++a) {
    s.solidLo[a] = a == 0 ? d.nx : a == 1 ? d.ny : d.nz;
    s.solidHi[a] = -1;
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(n), 0);
  if (values)
    for (int k = 0, c = 0; k < d.nz; ++k)
      for (int j = 0; j < d.ny; ++j)
        for (int i = 0; i < d.nx; ++i, ++c) {
          if (!(values[c] < 0.0f)) continue;
          bytes[size_t(c)] = 1;
          const int at[3] = {i, j, k};
          for (int a = 0; a < 3; ++a) {
            s.solidLo[a] = std::min(s.solidLo[a], at[a]);
            s.solidHi[a] = std::max(s.solidHi[a], at[a]);
          }
        }
  Upload(s.exec(), s.levels[0].solid, bytes.data(), bytes.size());
  s.RestrictSolid();

  // Gas closed in on every side cannot expand: the projection must not ask it to, or its
  // equations have no solution and the pressure solve runs away.
  s.hasSealed = false;
  if (values) {
    const std::vector<uint8_t> sealed = FindSealed(bytes, s.dims(), s.openMask);
    if (std::find(sealed.begin(), sealed.end(), uint8_t(1)) != sealed.end()) {
      if (!s.sealed) {
        s.sealed = static_cast<uint8_t*>(DeviceAllocZeroed(s.exec(), sealed.size()));
        if (s.sealed) s.stats.bytesAllocated += sealed.size();
      }
      if (s.sealed) {
        Upload(s.exec(), s.sealed, sealed.data(), sealed.size());
        s.hasSealed = true;
      }
    }
  }
  return true;
}

void FireSim::SetEmission(const EmissionParams& emission) { impl->emission = emission; }

bool FireSim::SetEmitterMask(const float* values) {
  Impl& s = *impl;
  if (!s.ready) return false;
  if (values)
    Upload(s.exec(), s.emitterMask, values, s.cellBytes());
  else
    FillZero(s.exec(), s.emitterMask, s.cellBytes());
  return true;
}

static bool SetVectorInput(FireSim::Impl& s, float*& ax, float*& ay, float*& az, bool& flag,
                           const float* x, const float* y, const float* z) {
  if (!s.ready) return false;
  if (!x || !y || !z) {
    flag = false;  // the arrays keep their memory and contents but are ignored
    return true;
  }
  if (!EnsureGroup(s, {&ax, &ay, &az})) {
    flag = false;
    return false;
  }
  Upload(s.exec(), ax, x, s.cellBytes());
  Upload(s.exec(), ay, y, s.cellBytes());
  Upload(s.exec(), az, z, s.cellBytes());
  flag = true;
  return true;
}

bool FireSim::SetEmitterVelocity(const float* x, const float* y, const float* z) {
  Impl& s = *impl;
  return SetVectorInput(s, s.emitVelX, s.emitVelY, s.emitVelZ, s.hasEmitVel, x, y, z);
}

bool FireSim::SetForceField(const float* x, const float* y, const float* z) {
  Impl& s = *impl;
  return SetVectorInput(s, s.extForceX, s.extForceY, s.extForceZ, s.hasExtForce, x, y, z);
}

bool FireSim::SetFlammables(const float* mask, float flamFuel, float burnTime) {
  Impl& s = *impl;
  if (!s.ready) return false;
  s.flamFuel = flamFuel;
  s.burnTime = burnTime;
  if (!mask) {
    s.hasFlammable = false;  // burnAge stays: a cell that has burnt out does not burn again
    return true;
  }
  if (!EnsureGroup(s, {&s.flammableMask, &s.burnAge})) {
    s.hasFlammable = false;
    return false;
  }
  Upload(s.exec(), s.flammableMask, mask, s.cellBytes());
  s.hasFlammable = true;
  return true;
}

bool FireSim::SetQuench(const float* mask, float quenchStrength, float steam) {
  Impl& s = *impl;
  if (!s.ready) return false;
  s.quenchStrength = quenchStrength;
  s.steam = steam;
  if (!mask) {
    s.hasQuench = false;
    return true;
  }
  if (!EnsureGroup(s, {&s.quenchMask})) {
    s.hasQuench = false;
    return false;
  }
  Upload(s.exec(), s.quenchMask, mask, s.cellBytes());
  s.hasQuench = true;
  return true;
}

}  // namespace tf
