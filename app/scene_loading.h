// Loading a scene file before a command runs (`tolvaris scene`, `tolvaris run --scene`).
#pragma once

#include <filesystem>
#include <string>

#include "host/scene/scene.h"

namespace app {

// Loads the scene file into `scene`. False, with one line saying why in `message` (the file, and
// for a malformed file the place in it), when nothing was loaded; the scene is then unchanged.
bool LoadSceneFile(const std::filesystem::path& file, host::Scene& scene, std::string* message);

}  // namespace app
