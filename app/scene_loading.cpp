#include "app/scene_loading.h"

#include "host/core/status.h"
#include "host/scene_file/scene_file.h"

namespace app {

bool LoadSceneFile(const std::filesystem::path& file, host::Scene& scene, std::string* message) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec))
    return host::Fail(message, "cannot open the scene \"" + file.string() + "\": " +
                                   (std::filesystem::exists(file, ec) ? "not a file" : "no such file"));
  std::string error;
  return host::LoadScene(scene, file, &error) || host::Fail(message, "cannot load the scene: " + error);
}

}  // namespace app
