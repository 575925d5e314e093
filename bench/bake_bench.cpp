// Bake benchmark: the campfire example baked twice in one run at the same resolution, once writing
// the cache alone and once with the cache and a VDB file per frame (and once more with preview
// images too), all on the same device. It prints the mean solve time and the mean time per frame
// with everything written, and the ratio of the two: what the outputs cost on top of the solve.
// Last, what the preview images alone cost per frame (the outputs of the third bake beyond those
// of the second) against the third bake's solve.
//
//   tfr_bench_bake [--resolution N] [--frames N] [--preview-width N]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "domain/fire_params_desc.h"
#include "host/scene/objects.h"
#include "host/scene/param_block.h"
#include "host/core/platform.h"
#include "host/scene/scene.h"
#include "host/scene_file/scene_file.h"
#include "bench/bench_folder.h"
#include "plugin/fire_obj_desc.h"
#include "plugin/fire_object.h"
#include "bake/simulate.h"

namespace {

struct Run {
  const char* name;
  bool vdb, preview;
};

}  // namespace

int main(int argc, char** argv) {
  int resolution = 64, frames = 40, previewWidth = 640;
  for (int i = 1; i < argc; i += 2) {
    int* value = !std::strcmp(argv[i], "--resolution")      ? &resolution
                 : !std::strcmp(argv[i], "--frames")        ? &frames
                 : !std::strcmp(argv[i], "--preview-width") ? &previewWidth
                                                            : nullptr;
    if (value == nullptr || i + 1 >= argc || std::atoi(argv[i + 1]) < 1) {
      std::fprintf(stderr, "usage: tfr_bench_bake [--resolution N] [--frames N] [--preview-width N]\n");
      return 2;
    }
    *value = std::atoi(argv[i + 1]);
  }
  namespace fs = std::filesystem;
  fs::path work;
  if (!tf::bench::PrepareBakeBench("tfr_bench_bake", work)) return 1;
  std::string why;
  const fs::path scenePath = fs::path(TFR_EXAMPLES_DIR) / "campfire.json";
  std::printf("campfire example, resolution %d, %d frames, preview %d px wide\n", resolution, frames, previewWidth);
  std::printf("%-22s %12s %12s %8s\n", "outputs", "solve ms/f", "total ms/f", "ratio");
  const Run runs[] = {{"cache", false, false}, {"cache + VDB", true, false}, {"cache + VDB + preview", true, true}};
  double outputsMs[3] = {}, solveMs[3] = {};
  for (int i = 0; i < 3; ++i) {
    const Run& run = runs[i];
    host::Scene scene;
    if (!host::LoadScene(scene, scenePath, &why)) {
      std::fprintf(stderr, "cannot load %s: %s\n", scenePath.c_str(), why.c_str());
      return 1;
    }
    host::Node* node = scene.FindNode("Fire");
    tf::FireObject* domain = node ? tf::AsFireObject(node->GetObject()) : nullptr;
    if (!domain) {
      std::fprintf(stderr, "the example has no domain named Fire\n");
      return 1;
    }
    host::ParamBlock& p = *domain->Params();
    p.SetInt(tf::kResolution, 0, resolution);
    p.SetInt(tf::kEndFrame, 0, frames - 1);
    p.SetBool(tf::kOutVDB, 0, run.vdb);
    p.SetBool(tf::kOutPreview, 0, run.preview);
    p.SetInt(tf::kPreviewWidth, 0, previewWidth);
    const tf::SimulateResult r = tf::Simulate(domain, node);
    if (!r.ok) {
      std::fprintf(stderr, "%s\n", r.message.c_str());
      return 1;
    }
    std::printf("%-22s %12.1f %12.1f %8.2f   (%s)\n", run.name, r.avgSolveMs, r.avgFrameMs,
                r.avgFrameMs / std::max(r.avgSolveMs, 1e-9), r.usedGpu ? "GPU" : "CPU");
    outputsMs[i] = r.avgFrameMs - r.avgSolveMs;
    solveMs[i] = r.avgSolveMs;
  }
  const double previewMs = outputsMs[2] - outputsMs[1];
  std::printf("previews: %.1f ms/frame, %.2f x the solve (%s than the solve)\n", previewMs,
              previewMs / std::max(solveMs[2], 1e-9), previewMs < solveMs[2] ? "less" : "more");
  std::error_code ec;
  fs::remove_all(work, ec);
  return 0;
}
