#include "app/scene_loading.h"

#include "host/scene/scene_file.h"

namespace app {

bool LoadSceneFile(const std::filesystem::path& file, host::Scene& scene, std::string* message) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec)) {
    *message = "cannot open the scene \"" + file.string() + "\": " +
               (std::filesystem::exists(file, ec) ? "not a file" : "no such file");
    return false;
  }
  std::string error;
  if (!host::LoadScene(scene, file, &error)) {
    *message = "cannot load the scene: " + error;
    return false;
  }
  return true;
}

}  // namespace app
