// OBJ meshes: any bytes load or are refused with a reason; a loaded mesh only has indices of its
// own vertices and finite coordinates.
#include <cmath>
#include <cstdlib>

#include "fuzz/fuzz_file.h"
#include "host/scene/trimesh.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::filesystem::path path = tf::fuzz::WriteInput("mesh.obj", data, size);
  host::TriMesh mesh;
  std::string error;
  if (!host::LoadObjFile(path, mesh, &error)) {
    if (error.empty()) std::abort();
    return 0;
  }
  for (const host::Point3& p : mesh.verts)
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) std::abort();
  for (const auto& face : mesh.faces)
    for (const auto index : face)
      if (index < 0 || size_t(index) >= mesh.verts.size()) std::abort();
  (void)host::SignedVolume(mesh);
  return 0;
}
