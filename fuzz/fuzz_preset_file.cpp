// Preset files: any bytes load onto a domain without harm; every setting stays within its range.
#include <cmath>
#include <cstdlib>

#include "domain/fire_params_desc.h"
#include "fuzz/fuzz_file.h"
#include "host/core/platform.h"
#include "host/objects/class_registry.h"
#include "host/scene/scene.h"
#include "plugin/fire_obj_desc.h"
#include "presets/preset_files.h"

namespace {

struct Domain {
  Domain() {
    host::SetDocumentsFolder(tf::fuzz::InputFile("documents"));
    std::filesystem::create_directories(tf::PresetsFolder());
    if (!tf::RegisterFireClass()) std::abort();
    node = scene.CreateNode("Fire", host::CreateObject(tf::kFireClassName, nullptr));
    domain = node->GetObject();
  }
  host::Scene scene;
  host::Node* node = nullptr;
  host::Object* domain = nullptr;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Domain d;
  const std::filesystem::path file = tf::PresetsFolder() / "fuzzed.tfp";
  std::FILE* f = std::fopen(file.c_str(), "wb");
  if (!f) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
  if (!tf::LoadPreset(d.domain, "fuzzed")) std::abort();
  const host::ParamBlock& block = *d.domain->GetParamBlock(0);
  for (int id = 0; id < tf::kFireParamCount; ++id)
    if (const std::optional<float> v = block.GetFloat(id, 0); v && !std::isfinite(*v)) std::abort();
  d.scene.Undo().Clear();
  return 0;
}
