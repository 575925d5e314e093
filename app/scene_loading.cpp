#include "app/scene_loading.h"

namespace app {

// The host's scene layer has no scene-file reader in this build; when it has one, this calls it.
bool LoadSceneFile(const std::filesystem::path& file, std::string* message) {
  *message = "cannot load the scene \"" + file.string() + "\": this build of tolvaris cannot read scene files yet";
  return false;
}

}  // namespace app
