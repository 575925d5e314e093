// The parameter block of a TolvarisFire domain: every user setting of a domain, by id.
//
// Other parts of the plug-in, saved scenes and preset files refer to the settings by these ids, so
// an id never changes meaning once shipped; new settings take the next free id.
#pragma once

#include "host/scene/class_desc.h"
#include "host/scene/param_block.h"

namespace tf {

// The class of a domain (plugin/fire_obj_desc.h). Every part of the plug-in, and the bridge that
// sibling plug-ins call, recognises a domain by it, so it never changes.
inline constexpr host::ClassId kFireClassId{0xf71871a0u, 0xfd02a001u};

// The block's id, reference number and flags.
inline constexpr int kFireParamBlockId = 0;
inline constexpr int kFireParamBlockRefNo = 0;
inline constexpr uint32_t kFireParamBlockFlags =
    host::kBlockAutoConstruct | host::kBlockAutoUI | host::kBlockMultiMap;  // 0x26

// Rollouts (maps). Layout n is dialog 1800 + n, its title string 1900 + n.
enum FireMap : int {
  kMapDomain = 0,
  kMapSources = 1,
  kMapCombustion = 2,
  kMapSmokeAir = 3,
  kMapLive = 4,
  kMapLook = 5,
  kMapSimCache = 6,
  kMapOutputs = 7,
  kMapWater = 8,
  kMapViewport = 9,
  kFireMapCount = 10,
};
inline constexpr int kFireDialogBase = 1800;
inline constexpr int kFireTitleBase = 1900;

// Parameter ids.
enum FireParamId : int {
  kSizeX = 0,
  kSizeY = 1,
  kSizeZ = 2,
  kResolution = 3,
  kClosedFloor = 4,
  kOpenSides = 5,
  kOpenTop = 6,
  kUseGPU = 7,
  kEmitters = 8,
  kEmitMode = 9,
  kSurfThickness = 10,
  kFuelRate = 11,
  kEmitTempK = 12,
  kSmokeRate = 13,
  kEmitSpeed = 14,
  kEmitBlend = 15,
  kEmitNoise = 16,
  kIgnitionK = 17,
  kBurnRate = 18,
  kHeat = 19,
  kSmokeYield = 20,
  kExpansion = 21,
  kBuoyancy = 22,
  kCooling = 23,
  kVorticity = 24,
  kSmokeWeight = 25,
  kSmokeDissipate = 26,
  kWindX = 27,
  kWindY = 28,
  kWindZ = 29,
  kWindDrag = 30,
  kColliders = 31,
  kForces = 32,
  kStartFrame = 33,
  kEndFrame = 34,
  kSubsteps = 35,
  kTimeScale = 36,
  kPressureQuality = 37,
  kCachePath = 38,
  kVpMode = 39,
  kVpPoints = 40,
  kVpDensity = 41,
  kVdbPath = 42,
  kVdbVelocity = 43,
  kShowDomain = 44,
  kLiveMode = 45,
  kLiveResolution = 46,
  kLiveSubsteps = 47,
  kFireIntensity = 48,
  kFireTint = 49,
  kFireTempScale = 50,
  kGlow = 51,
  kSmokeColor = 52,
  kSmokeDensityR = 53,
  kLightIntensity = 54,
  kShadowAmount = 55,
  kSkyAmount = 56,
  kExposure = 57,
  kOutVDB = 58,
  kVdbDensity = 59,
  kVdbTemp = 60,
  kVdbFlame = 61,
  kVdbFuel = 62,
  kOutPRT = 63,
  kPrtPerCell = 64,
  kOutPreview = 65,
  kPreviewWidth = 66,
  kOutPath = 67,
  kExtinguishers = 68,
  kQuenchStrength = 69,
  kSteam = 70,
  kQuenchRadius = 71,
  kDetailAmount = 72,
  kDetailScale = 73,
  kFlammables = 74,
  kFlamFuel = 75,
  kBurnTime = 76,
  kEmitDirMode = 77,
  kInheritMotion = 78,
  kWorldSpace = 79,
  kPreviewCamera = 80,
  kWaterBlocks = 81,
  kEventsFile = 82,
  kEventsMinEnergy = 83,
  kEventsRadius = 84,
  kEventsBurnTime = 85,
  kTurbulence = 86,
  kTurbScale = 87,
  kEventsUnits = 88,
  kDustSources = 89,
  kFlowDisplace = 90,
  kFlowDisplaceSize = 91,
  kRestartEvery = 92,
  kAdaptive = 93,
  kAdaptThreshold = 94,
  kAdaptMargin = 95,
  kFireParamCount = 96,
};

// Radio choices of the pressure quality setting.
enum PressureQuality : int { kPressureFast = 0, kPressureBalanced = 1, kPressureAccurate = 2 };

// The description, built once on first use. The host checks it with host::ValidateParamBlockDesc
// when the domain's class registers.
const host::ParamBlockDesc& FireParamBlockDesc();

}  // namespace tf
