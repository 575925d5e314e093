// Loading a scene file before a command runs (`tolvaris run --scene`).
#pragma once

#include <filesystem>
#include <string>

namespace app {

// Loads the scene file into the host's scene. False with the reason in `message` when nothing
// was loaded.
bool LoadSceneFile(const std::filesystem::path& file, std::string* message);

}  // namespace app
