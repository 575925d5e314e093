// The built-in presets: typical fires that a new domain turns into in one step.
//
// The presets drop-down and the scripting interface address presets by their index in one
// combined list: index 0 is a placeholder that cannot be applied, 1 to 8 the built-in rows below,
// then the user's preset files (presets/preset_files.h).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace host {
class Object;
}

namespace tf {

struct BuiltInPreset {
  std::string name;
  std::array<float, 3> size{};  // box width, depth and height in metres
  int resolution = 0;           // cells on the longest side, 0 for automatic
  std::vector<std::pair<uint16_t, float>> values;  // parameter id and value, applied in this order
  const char* script = nullptr;  // scene-building Lua with one %u for the domain node's handle
};

// The placeholder "(choose a preset)" and the eight built-in rows, made on first use.
const std::vector<BuiltInPreset>& BuiltInPresets();

// Applies a built-in row to the domain at the scene's current time, as one undo step "Tolvaris
// Fire preset": the box size, resolution, shell thickness and the row's values, lengths converted
// from metres to scene units. "Ground explosion" then builds its source objects by script when
// the domain has no emitters. False, with nothing changed, for an object that is not a
// TolvarisFire domain.
bool ApplyBuiltInPreset(host::Object* domain, const BuiltInPreset& row);

}  // namespace tf
