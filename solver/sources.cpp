#define TFR_BODY_SOURCE
// Per-frame inputs. The solver never looks at the scene: emitters, colliders, forces, flammable
// objects and extinguishers arrive as dense per-cell arrays before each Step and are used, as
// uploaded, by every substep of it.
#include <vector>

#include "solver/device_memory.h"
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

}  // namespace

bool FireSim::SetSolids(const float* values) {
  Impl& s = *impl;
  if (!s.ready) return false;
  const int n = s.cellCount();
  // Only the bytes travel; a value of -0.0 is not below zero and so not solid.
  std::vector<uint8_t> bytes(static_cast<size_t>(n), 0);
  if (values)
    for (int i = 0; i < n; ++i) bytes[size_t(i)] = values[i] < 0.0f ? 1 : 0;
  Upload(s.exec(), s.levels[0].solid, bytes.data(), bytes.size());
  s.RestrictSolid();
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
