#include "capture/build_fire_params.h"

#include <algorithm>

#include "domain/fire_params_desc.h"

namespace tf {
namespace {

// Typed reads that leave the field alone when the block lacks the parameter.
class Reader {
 public:
  Reader(const host::ParamBlock& block, host::TimeValue t) : block_(block), t_(t) {}
  float Float(int id, float fallback) const { return block_.GetFloat(id, t_).value_or(fallback); }
  int Int(int id, int fallback) const { return block_.GetInt(id, t_).value_or(fallback); }
  // Bool parameters are read as integers: any non-zero value is on.
  bool Flag(int id, bool fallback) const { return Int(id, fallback ? 1 : 0) != 0; }

 private:
  const host::ParamBlock& block_;
  host::TimeValue t_;
};

}  // namespace

float KelvinToNormalised(float kelvin) { return std::max(0.0f, (kelvin - 300.0f) / 1000.0f); }

float PressureTolerance(int quality) {
  static constexpr float kTolerance[3] = {0.001f, 0.0003f, 0.0001f};
  return kTolerance[std::clamp(quality, 0, 2)];
}

FireParams BuildFireParams(const host::ParamBlock& block, host::TimeValue t,
                           const host::TimeSettings& timeSettings, float cellSizeUnits) {
  const Reader r(block, t);
  FireParams p;

  p.substeps = std::max(r.Int(kSubsteps, p.substeps), 1);
  {
    const float frameRate = std::max(float(timeSettings.frameRate), 1.0f);
    p.frameTime = r.Float(kTimeScale, 1.0f) / frameRate;
  }
  p.smokeWeight = r.Float(kSmokeWeight, p.smokeWeight);
  p.buoyancy = r.Float(kBuoyancy, p.buoyancy);
  p.vorticity = r.Float(kVorticity, p.vorticity);
  p.turbulence = r.Float(kTurbulence, p.turbulence);
  p.turbScale = r.Float(kTurbScale, p.turbScale);
  p.time = float(t) / float(host::kTicksPerSecond) * r.Float(kTimeScale, 1.0f);

  p.ignitionTemp = KelvinToNormalised(r.Float(kIgnitionK, 300.0f + 1000.0f * p.ignitionTemp));
  p.burnRate = r.Float(kBurnRate, p.burnRate);
  p.heat = r.Float(kHeat, p.heat);
  p.smokeYield = r.Float(kSmokeYield, p.smokeYield);
  p.expansion = r.Float(kExpansion, p.expansion);
  p.smokeDissipate = r.Float(kSmokeDissipate, p.smokeDissipate);
  p.cooling = r.Float(kCooling, p.cooling);
  p.windX = r.Float(kWindX, p.windX);
  p.windY = r.Float(kWindY, p.windY);
  p.windZ = r.Float(kWindZ, p.windZ);
  p.windDrag = r.Float(kWindDrag, p.windDrag);
  if (const auto quality = block.GetInt(kPressureQuality, t)) p.pressureTolerance = PressureTolerance(*quality);

  EmissionParams& e = p.emission;
  e.fuelRate = r.Float(kFuelRate, e.fuelRate);
  e.emitTemp = KelvinToNormalised(r.Float(kEmitTempK, 300.0f + 1000.0f * e.emitTemp));
  e.smokeRate = r.Float(kSmokeRate, e.smokeRate);
  e.emitSpeed = r.Float(kEmitSpeed, e.emitSpeed);
  e.emitBlend = r.Float(kEmitBlend, e.emitBlend);

  p.emitMode = r.Int(kEmitMode, p.emitMode);
  if (const auto thickness = block.GetFloat(kSurfThickness, t))
    p.surfThickness = *thickness / std::max(cellSizeUnits, 1e-6f);
  p.emitNoise = r.Float(kEmitNoise, p.emitNoise);

  // Sides in the order x-, x+, y-, y+, z- (the floor), z+ (the top).
  p.openSides[4] = !r.Flag(kClosedFloor, !p.openSides[4]);
  const bool sides = r.Flag(kOpenSides, p.openSides[0]);
  for (int i = 0; i < 4; ++i) p.openSides[i] = sides;
  p.openSides[5] = r.Flag(kOpenTop, p.openSides[5]);

  p.useGpu = r.Flag(kUseGPU, p.useGpu);
  p.exportVelocity = r.Flag(kVdbVelocity, p.exportVelocity);
  p.startFrame = r.Int(kStartFrame, p.startFrame);
  p.endFrame = std::max(p.startFrame, r.Int(kEndFrame, p.endFrame));
  return p;
}

FireParams BuildFireParams(const host::ParamBlock& block, host::TimeValue t,
                           const host::TimeSettings& timeSettings, const DomainGrid& grid) {
  return BuildFireParams(block, t, timeSettings, grid.cellSize);
}

}  // namespace tf
