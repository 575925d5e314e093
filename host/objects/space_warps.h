// Space warps with a force field: wind and gravity.
//
// Both push along a direction given in the node's own space (dirX, dirY, dirZ, normalised; the
// node's rotation turns it into world space) with an acceleration `strength` in metres per second
// squared. Force() answers in scene units per tick squared, converting with the scene's metres per
// unit, and ignores the position, velocity and sample index: the fields are uniform. The
// `testOutput` setting makes a field answer NaN or infinity, so that callers can prove they cope.
#pragma once

#include "host/scene/objects.h"

namespace host {

inline constexpr ClassId kWindClassId{0x7a310201, 0x1c5e0001};
inline constexpr ClassId kGravityClassId{0x7a310202, 0x1c5e0001};

enum ForceParam : int {
  kForceStrength = 0,  // metres per second squared, animatable
  kForceDirX = 1,
  kForceDirY = 2,
  kForceDirZ = 3,
  kForceTestOutput = 4,  // 0 normal, 1 NaN, 2 infinity
};

const ClassDesc& WindClassDesc();     // "Wind": 1 m/s^2 along +x by default
const ClassDesc& GravityClassDesc();  // "Gravity": 9.81 m/s^2 along -z by default

}  // namespace host
