#include "domain/fire_params_desc.h"

#include <utility>

namespace tf {
namespace {

using host::BoolParam;
using host::ColourParam;
using host::FilenameParam;
using host::FloatParam;
using host::IntParam;
using host::NodeListParam;
using host::NodeParam;
using host::Point3;
using host::WorldParam;

constexpr bool kAnim = true;

host::RolloutDesc Rollout(int map, std::string title, std::vector<std::string> groups) {
  host::RolloutDesc r;
  r.map = map;
  r.title = std::move(title);
  r.open = map <= kMapSources;  // the first two open expanded, the rest collapsed
  r.dialogId = kFireDialogBase + map;
  r.titleId = kFireTitleBase + map;
  r.groups = std::move(groups);
  return r;
}

host::ParamBlockDesc MakeDesc() {
  host::ParamBlockDesc d;
  d.id = kFireParamBlockId;
  d.internalName = "params";
  d.flags = kFireParamBlockFlags;
  d.refNo = kFireParamBlockRefNo;

  d.rollouts = {
      Rollout(kMapDomain, "Tolvaris Fire - Domain", {"Size", "Boundaries"}),
      Rollout(kMapSources, "Sources", {"Sources", "Fuel", "Motion", "Catches fire", "Cyclone events"}),
      Rollout(kMapCombustion, "Combustion", {"Burn", "Motion"}),
      Rollout(kMapSmokeAir, "Smoke & Air", {"Smoke", "Wind", "Obstacles", "Forces"}),
      Rollout(kMapLive, "Live (real time)", {"Live"}),
      Rollout(kMapLook, "Fire Look (render)", {"Fire", "Smoke", "Light", "Detail"}),
      Rollout(kMapSimCache, "Simulation & Cache", {"Range", "Quality", "Cache"}),
      Rollout(kMapOutputs, "Outputs (written by SIMULATE)", {"Outputs", "VDB layers", "Detail"}),
      Rollout(kMapWater, "Fluid & Water", {"Water puts fire out"}),
      Rollout(kMapViewport, "Viewport & Export", {"Viewport", "Export"}),
  };

  // Grouped by rollout, in the order the panels show them.
  d.params = {
      // Domain
      WorldParam(kSizeX, "sizeX", 200.0f, 0.001, 1e7, kAnim, kMapDomain, "Width (X)"),
      WorldParam(kSizeY, "sizeY", 200.0f, 0.001, 1e7, kAnim, kMapDomain, "Depth (Y)"),
      WorldParam(kSizeZ, "sizeZ", 300.0f, 0.001, 1e7, kAnim, kMapDomain, "Height (Z)"),
      IntParam(kResolution, "resolution", 128, 0, 4096, kMapDomain,
               "Cells on longest side (0 = max my GPU holds)"),
      BoolParam(kClosedFloor, "closedFloor", true, kMapDomain, "Solid floor"),
      BoolParam(kOpenSides, "openSides", true, kMapDomain, "Open sides (smoke leaves)"),
      BoolParam(kOpenTop, "openTop", true, kMapDomain, "Open top"),
      BoolParam(kUseGPU, "useGPU", true, kMapDomain, "Simulate on the GPU (CUDA)"),
      BoolParam(kWorldSpace, "worldSpace", true, kMapDomain, "Fire stays in the world when the box moves"),
      BoolParam(kAdaptive, "adaptive", false, kMapDomain, "Grid follows the fire (adaptive)"),
      FloatParam(kAdaptThreshold, "adaptThreshold", 0.0001f, 0.000001, 1.0, kAnim, kMapDomain,
                 "Content above (smoke, fuel, flame, dust, heat)"),
      IntParam(kAdaptMargin, "adaptMargin", 4, 1, 64, kMapDomain, "Free cells around the fire"),

      // Sources
      NodeListParam(kEmitters, "emitters", kMapSources, "Burning objects / particles"),
      IntParam(kEmitMode, "emitMode", 0, 0, 1, kMapSources, "Emit from",
               {"Volume (inside)", "Surface (shell)"}),
      WorldParam(kSurfThickness, "surfThickness", 2.0f, 0.0, 1e6, kAnim, kMapSources,
                 "Shell / particle radius"),
      NodeListParam(kDustSources, "dustSources", kMapSources, "Dust sources (smoke, saved as dust)"),
      FloatParam(kFuelRate, "fuelRate", 4.0f, 0.0, 1000.0, kAnim, kMapSources, "Fuel per second"),
      FloatParam(kEmitTempK, "emitTempK", 1100.0f, 300.0, 4000.0, kAnim, kMapSources,
                 "Source temperature (K)"),
      FloatParam(kSmokeRate, "smokeRate", 0.0f, 0.0, 1000.0, kAnim, kMapSources, "Cold smoke per second"),
      FloatParam(kEmitSpeed, "emitSpeed", 1.0f, -100.0, 100.0, kAnim, kMapSources, "Outflow speed up (m/s)"),
      FloatParam(kEmitBlend, "emitBlend", 0.3f, 0.0, 1.0, kAnim, kMapSources, "Outflow strength"),
      FloatParam(kEmitNoise, "emitNoise", 0.5f, 0.0, 1.0, kAnim, kMapSources, "Flicker"),
      IntParam(kEmitDirMode, "emitDirMode", 0, 0, 2, kMapSources, "Push",
               {"Straight up", "Along each source's Z (nozzle)", "Particle velocity"}),
      FloatParam(kInheritMotion, "inheritMotion", 1.0f, 0.0, 5.0, kAnim, kMapSources,
                 "Inherit object motion"),
      NodeListParam(kFlammables, "flammables", kMapSources, "Objects that catch fire"),
      FloatParam(kFlamFuel, "flamFuel", 4.0f, 0.0, 1000.0, kAnim, kMapSources, "Fuel while burning"),
      FloatParam(kBurnTime, "burnTime", 8.0f, 0.0, 10000.0, kAnim, kMapSources, "Burns for (s)"),
      FilenameParam(kEventsFile, "eventsFile", kMapSources, "Events file (empty = <scene>_cyclone)"),
      FloatParam(kEventsMinEnergy, "eventsMinEnergy", 1.0f, 0.0, 1e9, kAnim, kMapSources, "Minimum energy"),
      WorldParam(kEventsRadius, "eventsRadius", 10.0f, 0.0, 1e6, kAnim, kMapSources, "Fire radius"),
      FloatParam(kEventsBurnTime, "eventsBurnTime", 3.0f, 0.0, 10000.0, kAnim, kMapSources,
                 "Impact fire burns for (s)"),
      IntParam(kEventsUnits, "eventsUnits", 0, 0, 1, kMapSources, "Positions in", {"Scene units", "Metres"}),

      // Combustion
      FloatParam(kIgnitionK, "ignitionK", 550.0f, 300.0, 3000.0, kAnim, kMapCombustion,
                 "Ignition temperature (K)"),
      FloatParam(kBurnRate, "burnRate", 6.0f, 0.0, 100.0, kAnim, kMapCombustion, "Burn rate (1/s)"),
      FloatParam(kHeat, "heat", 2.5f, 0.0, 20.0, kAnim, kMapCombustion, "Heat release"),
      FloatParam(kSmokeYield, "smokeYield", 0.6f, 0.0, 10.0, kAnim, kMapCombustion, "Smoke from burning"),
      FloatParam(kExpansion, "expansion", 0.6f, 0.0, 10.0, kAnim, kMapCombustion, "Gas expansion"),
      FloatParam(kBuoyancy, "buoyancy", 2.0f, -20.0, 50.0, kAnim, kMapCombustion, "Buoyancy"),
      FloatParam(kCooling, "cooling", 1.2f, 0.0, 50.0, kAnim, kMapCombustion, "Cooling (1/s)"),
      FloatParam(kVorticity, "vorticity", 4.0f, 0.0, 50.0, kAnim, kMapCombustion, "Turbulence (vorticity)"),
      FloatParam(kTurbulence, "turbulence", 0.0f, 0.0, 500.0, kAnim, kMapCombustion, "Flame tongues (m/s2)"),
      FloatParam(kTurbScale, "turbScale", 0.25f, 0.01, 100.0, kAnim, kMapCombustion, "Tongue size (m)"),

      // Smoke & Air
      FloatParam(kSmokeWeight, "smokeWeight", 0.05f, -5.0, 5.0, kAnim, kMapSmokeAir, "Smoke weight"),
      FloatParam(kSmokeDissipate, "smokeDissipate", 0.15f, 0.0, 20.0, kAnim, kMapSmokeAir,
                 "Smoke fades (1/s)"),
      FloatParam(kWindX, "windX", 0.0f, -100.0, 100.0, kAnim, kMapSmokeAir, "Wind X (m/s)"),
      FloatParam(kWindY, "windY", 0.0f, -100.0, 100.0, kAnim, kMapSmokeAir, "Wind Y (m/s)"),
      FloatParam(kWindZ, "windZ", 0.0f, -100.0, 100.0, kAnim, kMapSmokeAir, "Wind Z (m/s)"),
      FloatParam(kWindDrag, "windDrag", 0.0f, 0.0, 50.0, kAnim, kMapSmokeAir, "Wind grip (1/s)"),
      NodeListParam(kColliders, "colliders", kMapSmokeAir, "Colliders"),
      NodeListParam(kForces, "forces", kMapSmokeAir, "Max force fields (Wind, Gravity...)"),

      // Live
      IntParam(kLiveMode, "liveMode", 1, 0, 2, kMapLive, "Live",
               {"Off (show cache)", "Follow the timeline", "Run continuously"}),
      IntParam(kLiveResolution, "liveResolution", 64, 16, 512, kMapLive, "Live cells on longest side"),
      IntParam(kLiveSubsteps, "liveSubsteps", 1, 1, 8, kMapLive, "Live substeps"),

      // Fire look
      FloatParam(kFireIntensity, "fireIntensity", 1.0f, 0.0, 100.0, kAnim, kMapLook, "Fire brightness"),
      ColourParam(kFireTint, "fireTint", Point3(1.0f, 1.0f, 1.0f), kAnim, kMapLook, "Fire tint"),
      FloatParam(kFireTempScale, "fireTempScale", 1.0f, 0.2, 4.0, kAnim, kMapLook, "Colour temperature x"),
      FloatParam(kGlow, "glow", 1.0f, 0.0, 20.0, kAnim, kMapLook, "Glow on smoke"),
      ColourParam(kSmokeColor, "smokeColor", Point3(0.3f, 0.3f, 0.32f), kAnim, kMapLook, "Smoke colour"),
      FloatParam(kSmokeDensityR, "smokeDensityR", 3.0f, 0.0, 200.0, kAnim, kMapLook, "Smoke density"),
      FloatParam(kLightIntensity, "lightIntensity", 1.0f, 0.0, 20.0, kAnim, kMapLook, "Key light"),
      FloatParam(kShadowAmount, "shadowAmount", 1.0f, 0.0, 1.0, kAnim, kMapLook, "Self shadow"),
      FloatParam(kSkyAmount, "skyAmount", 1.0f, 0.0, 20.0, kAnim, kMapLook, "Sky light"),
      FloatParam(kExposure, "exposure", 0.0f, -10.0, 10.0, kAnim, kMapLook, "Exposure (stops)"),
      FloatParam(kDetailAmount, "detailAmount", 0.4f, 0.0, 4.0, kAnim, kMapLook, "Fine detail (render)"),
      FloatParam(kDetailScale, "detailScale", 1.0f, 0.1, 10.0, kAnim, kMapLook, "Detail size (cells)"),

      // Simulation & Cache
      IntParam(kStartFrame, "startFrame", 0, -100000, 100000, kMapSimCache, "Start frame"),
      IntParam(kEndFrame, "endFrame", 100, -100000, 100000, kMapSimCache, "End frame"),
      IntParam(kSubsteps, "substeps", 1, 1, 16, kMapSimCache, "Substeps per frame"),
      FloatParam(kTimeScale, "timeScale", 1.0f, 0.01, 10.0, kAnim, kMapSimCache, "Time scale"),
      IntParam(kPressureQuality, "pressureQuality", kPressureBalanced, 0, 2, kMapSimCache, "Pressure",
               {"Fast", "Balanced", "Accurate"}),
      FilenameParam(kCachePath, "cachePath", kMapSimCache, "Cache folder"),
      IntParam(kRestartEvery, "restartEvery", 10, 0, 100000, kMapSimCache,
               "Restart point every (frames, 0 = never)"),

      // Outputs
      BoolParam(kOutVDB, "outVDB", true, kMapOutputs, "Write VDB while simulating"),
      BoolParam(kOutPRT, "outPRT", false, kMapOutputs, "Write PRT particles (Krakatoa / Frost)"),
      IntParam(kPrtPerCell, "prtPerCell", 1, 1, 8, kMapOutputs, "PRT particles per cell"),
      BoolParam(kOutPreview, "outPreview", false, kMapOutputs, "Render preview images (PNG)"),
      IntParam(kPreviewWidth, "previewWidth", 1280, 64, 8192, kMapOutputs, "Preview width"),
      FilenameParam(kOutPath, "outPath", kMapOutputs, "Output folder"),
      NodeParam(kPreviewCamera, "previewCamera", kMapOutputs, "Render from camera (empty = viewport)"),
      BoolParam(kVdbDensity, "vdbDensity", true, kMapOutputs, "density (smoke)"),
      BoolParam(kVdbTemp, "vdbTemp", true, kMapOutputs, "temperature (Kelvin)"),
      BoolParam(kVdbFlame, "vdbFlame", true, kMapOutputs, "flame"),
      BoolParam(kVdbFuel, "vdbFuel", false, kMapOutputs, "fuel"),
      FloatParam(kFlowDisplace, "flowDisplace", 0.0f, 0.0, 10.0, kAnim, kMapOutputs,
                 "Flow displacement (VDB + preview)"),
      FloatParam(kFlowDisplaceSize, "flowDisplaceSize", 4.0f, 1.0, 64.0, kAnim, kMapOutputs,
                 "Displacement size (cells)"),

      // Fluid & Water
      NodeListParam(kExtinguishers, "extinguishers", kMapWater, "Water (TolvarisFluid / particles / meshes)"),
      FloatParam(kQuenchStrength, "quenchStrength", 8.0f, 0.0, 100.0, kAnim, kMapWater,
                 "Quench strength (1/s)"),
      FloatParam(kSteam, "steam", 0.5f, 0.0, 10.0, kAnim, kMapWater, "Steam (smoke) from quenching"),
      WorldParam(kQuenchRadius, "quenchRadius", 2.0f, 0.0, 1e6, kAnim, kMapWater, "Particle radius"),
      BoolParam(kWaterBlocks, "waterBlocks", true, kMapWater, "Water is also an obstacle (fire flows around it)"),

      // Viewport & Export
      IntParam(kVpMode, "vpMode", 0, 0, 4, kMapViewport, "Show",
               {"Fire + smoke", "Fire only", "Smoke only", "Temperature", "Box only"}),
      IntParam(kVpPoints, "vpPoints", 300000, 1000, 5000000, kMapViewport, "Max points"),
      FloatParam(kVpDensity, "vpDensity", 1.0f, 0.01, 100.0, kAnim, kMapViewport, "Display density"),
      BoolParam(kShowDomain, "showDomain", true, kMapViewport, "Show domain box"),
      FilenameParam(kVdbPath, "vdbPath", kMapViewport, "VDB folder"),
      BoolParam(kVdbVelocity, "vdbVelocity", false, kMapViewport, "Write velocity (motion blur)"),
  };
  return d;
}

}  // namespace

const host::ParamBlockDesc& FireParamBlockDesc() {
  static const host::ParamBlockDesc desc = MakeDesc();
  return desc;
}

}  // namespace tf
