// Cameras: field of view, orthographic projection and target distance, evaluated at a time. The
// render output size they render at is the scene's (Scene::render).
#pragma once

#include "host/scene/objects.h"

namespace host {

inline constexpr ClassId kCameraClassId{0x7a310301, 0x1c5e0001};

enum CameraParam : int {
  kCameraFov = 0,             // horizontal, degrees, animatable
  kCameraOrtho = 1,           // bool
  kCameraTargetDistance = 2,  // world, animatable
};

const ClassDesc& CameraClassDesc();  // "Camera"; looks down its node's -z axis

}  // namespace host
