// Adaptive domain benchmark: the campfire example in a box three times as wide and twice as tall
// (its breeze blows the smoke across it), at one cell size, baked once on every cell of the box
// and once with the adaptive window, on the same device in one run. It prints the solve time per
// frame, the cells worked per frame, and how the two results compare: the smoke total and the top
// of the smoke on every frame, and the largest difference of density between the cached frames.
//
//   tfr_bench_adaptive [--resolution N] [--frames N]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "domain/fire_params_desc.h"
#include "host/core/platform.h"
#include "host/scene/objects.h"
#include "host/scene/param_block.h"
#include "host/scene/scene.h"
#include "host/scene_file/scene_file.h"
#include "bench/bench_folder.h"
#include "plugin/fire_obj_desc.h"
#include "plugin/fire_object.h"
#include "cache/cache_file.h"
#include "bake/simulate.h"

namespace {

namespace fs = std::filesystem;

struct Bake {
  tf::SimulateResult result;
  std::vector<double> cellsPerFrame;
  std::string cacheFolder;
};

// Bakes the example's domain with `adaptive` on or off; false with the reason printed.
bool RunBake(const fs::path& scenePath, int resolution, int frames, bool adaptive, Bake& bake) {
  std::string why;
  host::Scene scene;
  if (!host::LoadScene(scene, scenePath, &why)) {
    std::fprintf(stderr, "cannot load %s: %s\n", scenePath.c_str(), why.c_str());
    return false;
  }
  host::Node* node = scene.FindNode("Fire");
  tf::FireObject* domain = node ? tf::AsFireObject(node->GetObject()) : nullptr;
  if (!domain) {
    std::fprintf(stderr, "the example has no domain named Fire\n");
    return false;
  }
  host::ParamBlock& p = *domain->Params();
  p.SetFloat(tf::kSizeX, 0, 600.0f);
  p.SetFloat(tf::kSizeY, 0, 600.0f);
  p.SetFloat(tf::kSizeZ, 0, 520.0f);
  p.SetInt(tf::kResolution, 0, resolution);
  p.SetInt(tf::kEndFrame, 0, frames - 1);
  p.SetBool(tf::kOutVDB, 0, false);
  p.SetBool(tf::kOutPreview, 0, false);
  p.SetBool(tf::kAdaptive, 0, adaptive);
  p.SetString(tf::kCachePath, 0, (fs::path(host::DocumentsFolder()) / (adaptive ? "adaptive" : "dense")).string());
  bake.result = tf::Simulate(domain, node, [&](int, int, const std::string& text) {
    int x = 0, y = 0, z = 0;
    const size_t at = text.find("window ");
    if (at != std::string::npos && std::sscanf(text.c_str() + at, "window %dx%dx%d", &x, &y, &z) == 3)
      bake.cellsPerFrame.push_back(double(x) * y * z);
    return true;
  });
  bake.cacheFolder = domain->CacheFolder();
  if (!bake.result.ok) std::fprintf(stderr, "%s\n", bake.result.message.c_str());
  return bake.result.ok;
}

// The density of a cached frame over the whole grid.
std::vector<float> Density(const tf::CacheFrame& f) {
  const tf::CacheFrameHeader& h = f.header;
  std::vector<float> out(size_t(h.nx) * size_t(h.ny) * size_t(h.nz), 0.0f);
  const auto& o = h.cropOrigin;
  const auto& s = h.cropSize;
  if (f.channels[0].empty()) return out;
  for (int z = 0; z < s[2]; ++z)
    for (int y = 0; y < s[1]; ++y)
      for (int x = 0; x < s[0]; ++x)
        out[size_t(x + o[0]) + size_t(h.nx) * (size_t(y + o[1]) + size_t(h.ny) * size_t(z + o[2]))] =
            f.channels[0][size_t(x) + size_t(s[0]) * (size_t(y) + size_t(s[1]) * size_t(z))];
  return out;
}

double Sum(const std::vector<float>& v) {
  double s = 0.0;
  for (float x : v) s += x;
  return s;
}

// The highest layer holding smoke above 0.01, -1 when none does.
int Top(const std::vector<float>& v, int nx, int ny) {
  const size_t layer = size_t(nx) * size_t(ny);
  for (size_t i = v.size(); i-- > 0;)
    if (v[i] > 0.01f) return int(i / layer);
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  int resolution = 92, frames = 60;
  for (int i = 1; i < argc; i += 2) {
    int* value = !std::strcmp(argv[i], "--resolution") ? &resolution : !std::strcmp(argv[i], "--frames") ? &frames : nullptr;
    if (value == nullptr || i + 1 >= argc || std::atoi(argv[i + 1]) < 1) {
      std::fprintf(stderr, "usage: tfr_bench_adaptive [--resolution N] [--frames N]\n");
      return 2;
    }
    *value = std::atoi(argv[i + 1]);
  }
  fs::path work;
  if (!tf::bench::PrepareBakeBench("tfr_bench_adaptive", work)) return 1;
  const fs::path scenePath = fs::path(TFR_EXAMPLES_DIR) / "campfire.json";
  Bake dense, adaptive;
  if (!RunBake(scenePath, resolution, frames, false, dense) || !RunBake(scenePath, resolution, frames, true, adaptive))
    return 1;

  std::printf("campfire in a 600 x 600 x 520 box, resolution %d, %d frames (%s)\n", resolution, frames,
              dense.result.usedGpu ? "GPU" : "CPU");
  std::printf("%5s %12s %12s %8s %6s %6s %10s\n", "frame", "smoke dense", "adaptive", "ratio", "top d", "top a",
              "max |diff|");
  double worstRatio = 0.0, worstDiff = 0.0, boxCells = 0.0;
  for (int f = 0; f < frames; ++f) {
    tf::CacheFrame a, b;
    if (!tf::ReadCacheFrame(tf::MakeFramePath(dense.cacheFolder, "fire", f, "tfc"), a) ||
        !tf::ReadCacheFrame(tf::MakeFramePath(adaptive.cacheFolder, "fire", f, "tfc"), b)) {
      std::fprintf(stderr, "frame %d is missing from a cache\n", f);
      return 1;
    }
    const std::vector<float> da = Density(a), db = Density(b);
    boxCells = double(da.size());
    double diff = 0.0;
    for (size_t i = 0; i < da.size(); ++i) diff = std::max(diff, double(std::fabs(da[i] - db[i])));
    const double sa = Sum(da), sb = Sum(db), ratio = sa > 0.0 ? sb / sa : 1.0;
    worstRatio = std::max(worstRatio, std::fabs(ratio - 1.0));
    worstDiff = std::max(worstDiff, diff);
    std::printf("%5d %12.2f %12.2f %8.4f %6d %6d %10.4f\n", f, sa, sb, ratio, Top(da, a.header.nx, a.header.ny),
                Top(db, b.header.nx, b.header.ny), diff);
  }
  double cells = 0.0;
  for (double c : adaptive.cellsPerFrame) cells += c;
  cells /= double(std::max<size_t>(adaptive.cellsPerFrame.size(), 1));
  std::printf("%-10s %12s %14s\n", "bake", "solve ms/f", "cells/frame");
  std::printf("%-10s %12.1f %14.0f\n", "dense", dense.result.avgSolveMs, boxCells);
  std::printf("%-10s %12.1f %14.0f\n", "adaptive", adaptive.result.avgSolveMs, cells);
  std::printf("speed-up %.2f x, window %.1f %% of the box on average, smoke totals within %.2f %%, "
              "largest density difference %.4f\n",
              dense.result.avgSolveMs / std::max(adaptive.result.avgSolveMs, 1e-9), 100.0 * cells / boxCells,
              100.0 * worstRatio, worstDiff);
  std::error_code ec;
  fs::remove_all(work, ec);
  return 0;
}
