// The hair object of the sibling grooming tool, class "TuftFx". This host only keeps its settings:
// block 0 holds the node the hair grows on, "surface", and the hair length, "length" (scene units).
// It has no geometry of its own; whoever burns hair reads the surface mesh.
#pragma once

#include "host/scene/objects.h"

namespace host {

inline constexpr ClassId kTuftFxClassId{0x7a310401, 0x1c5e0001};

enum TuftFxParam : int { kTuftSurface = 0, kTuftLength = 1 };

const ClassDesc& TuftFxClassDesc();  // "TuftFx"

}  // namespace host
