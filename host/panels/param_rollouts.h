// The rollouts the host builds from a parameter block's description: one panel per rollout, one
// control per parameter in it, bound to the block, so that what the user enters goes through the
// block's typed setters (clamped to the declared range, heard by the owning object).
#pragma once

#include "host/panels/panels.h"

namespace host {

class ParamBlock;

// Control ids of the generated controls: the parameter id plus this base.
inline constexpr int kParamControlBase = 100000;

// Adds the block's rollouts to the command panel. Values are read and written at the scene's
// current time; node pickers name nodes of the block owner's scene.
void AddParamRollouts(CommandPanel& panel, ParamBlock& block);

}  // namespace host
