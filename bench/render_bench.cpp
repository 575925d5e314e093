// Preview render benchmark: a synthetic 128^3 plume (a hot, narrowing core under a widening,
// swirling smoke column) ray-marched at 1280 x 720 on the CPU and, when present, on the GPU.
//
//   tfr_bench_render [--quick] [--png <file>] [--detail <amount>]
//
// Prints, per device, the best of three renders in milliseconds and the milliseconds per million
// marched samples, and the time of ShadeVoxels on the same volume. --quick renders 640 x 360 once;
// --png saves the (last) CPU image.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "io/png_writer.h"
#include "render/render.h"

namespace {

struct Plume {
  int32_t n = 128;
  std::vector<float> density, temperature;
};

Plume MakePlume() {
  Plume p;
  const int32_t n = p.n;
  p.density.resize(size_t(n) * n * n);
  p.temperature.resize(p.density.size());
  for (int32_t z = 0; z < n; ++z) {
    const float h = (float(z) + 0.5f) / float(n);  // 0 at the floor, 1 at the top
    const float radius = 6.0f + 30.0f * h;
    const float swirl = 6.0f * h;
    for (int32_t y = 0; y < n; ++y)
      for (int32_t x = 0; x < n; ++x) {
        const float dx = float(x) + 0.5f - 64.0f - swirl * std::sin(float(z) * 0.11f);
        const float dy = float(y) + 0.5f - 64.0f - swirl * std::cos(float(z) * 0.09f);
        const float r = std::sqrt(dx * dx + dy * dy);
        const float wobble = 0.75f + 0.25f * std::sin(float(x) * 0.31f + float(z) * 0.17f) *
                                         std::cos(float(y) * 0.27f - float(z) * 0.13f);
        const float shape = std::exp(-(r * r) / (radius * radius)) * wobble;
        const size_t i = size_t(x) + size_t(n) * (size_t(y) + size_t(n) * size_t(z));
        p.density[i] = shape * (0.2f + 1.6f * h) * (h < 0.9f ? 1.0f : (1.0f - h) * 10.0f);
        const float coreR = std::max(1.0f, 10.0f * (1.0f - h));
        p.temperature[i] = 1.6f * std::exp(-(r * r) / (coreR * coreR)) * std::max(0.0f, 1.0f - 1.4f * h);
      }
  }
  return p;
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  std::string png;
  float detail = 0.4f;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--quick")) quick = true;
    else if (!std::strcmp(argv[i], "--png") && i + 1 < argc) png = argv[++i];
    else if (!std::strcmp(argv[i], "--detail") && i + 1 < argc) detail = float(std::atof(argv[++i]));
    else {
      std::fprintf(stderr, "usage: tfr_bench_render [--quick] [--png <file>] [--detail <amount>]\n");
      return 2;
    }
  }
  const Plume plume = MakePlume();
  tf::RenderVolume v;
  v.density = plume.density.data();
  v.temperature = plume.temperature.data();
  v.nx = v.ny = v.nz = plume.n;
  v.cellSize = 1.0f;
  v.origin = tf::Vec3f{-64.0f, -64.0f, 0.0f};

  tf::RenderCamera cam;
  cam.position = tf::Vec3f{0.0f, -300.0f, 66.0f};
  cam.right = tf::Vec3f{1, 0, 0};
  cam.up = tf::Vec3f{0, 0, 1};
  cam.forward = tf::Vec3f{0, 1, 0};
  cam.tanHalfFov = 0.5f;
  cam.width = quick ? 640 : 1280;
  cam.height = quick ? 360 : 720;

  tf::RenderSettings s;
  s.detailAmount = detail;
  s.lightDir = tf::Vec3f{-0.4f, -0.45f, 0.8f};
  std::vector<float> image(size_t(cam.width) * size_t(cam.height) * 3);
  const int runs = quick ? 1 : 3;
  std::printf("preview render, %dx%dx%d plume, %d x %d, detail %.2f\n", v.nx, v.ny, v.nz, cam.width, cam.height,
              double(detail));
  for (const bool gpu : {false, true}) {
    if (gpu && !tf::RenderGpuAvailable()) {
      std::printf("  GPU: no CUDA device, skipped\n");
      continue;
    }
    s.useGpu = gpu;
    float best = 1e30f;
    int64_t samples = 0;
    bool used = false;
    for (int r = 0; r < runs; ++r) {
      float ms = 0.0f;
      char message[200] = {};
      if (!tf::RenderPreview(v, cam, s, image.data(), used, message, sizeof message, &ms, &samples)) {
        std::fprintf(stderr, "render failed: %s\n", message);
        return 1;
      }
      best = std::min(best, ms);
    }
    std::printf("  %s: %.1f ms, %.2f M samples, %.2f ms per million samples\n", used ? "GPU" : "CPU", double(best),
                double(samples) / 1e6, double(best) / (double(samples) / 1e6));
    // The shadow pass alone dominates ShadeVoxels (its colour pass is one lookup per voxel).
    std::vector<float> voxels(plume.density.size() * 4);
    const auto t0 = std::chrono::steady_clock::now();
    tf::ShadeVoxels(v, s, voxels.data(), used);
    const double shadeMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    std::printf("  %s: ShadeVoxels (shadow pass on this device) %.1f ms\n", used ? "GPU" : "CPU", shadeMs);
    if (!gpu && !png.empty()) {
      std::vector<uint8_t> bytes(image.size());
      tf::ToneMapToBytes(image.data(), cam.width, cam.height, bytes.data());
      if (!tf::WritePng(png, bytes.data(), cam.width, cam.height))
        std::fprintf(stderr, "cannot write %s\n", png.c_str());
    }
  }
  return 0;
}
