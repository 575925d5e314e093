// Scene files: any bytes load or are refused with a reason, and a loaded scene saves as text.
#include <cstdlib>

#include "fuzz/fuzz_file.h"
#include "host/scene/scene.h"
#include "host/scene_file/scene_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::filesystem::path path = tf::fuzz::WriteInput("scene.json", data, size);
  host::Scene scene;
  std::string error;
  if (!host::LoadScene(scene, path, &error)) {
    if (error.empty()) std::abort();
    return 0;
  }
  (void)host::SceneToText(scene);
  return 0;
}
