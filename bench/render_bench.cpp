// Preview render benchmark: a synthetic 128^3 plume (a hot, narrowing core under a widening,
// swirling smoke column) ray-marched at 1280 x 720 on the CPU and, when present, on the GPU, by
// the reference march (every half-cell sample, every voxel's shadow traced) and by the
// accelerated one (occupancy bricks), side by side in one run.
//
//   tfr_bench_render [--quick] [--png <file>] [--detail <amount>]
//
// Prints, per device and march, the best render in milliseconds (the reference renders once, the
// accelerated march three times), the marched samples, the speed-up, and how far the two images
// lie apart against the tolerance the renderer's tests hold devices to: every value within
// 2e-3 + 1e-3 x value, the mean difference below 1e-4. Then the time of ShadeVoxels on the same
// volume. --quick renders 640 x 360 once each; --png saves the accelerated CPU image (and the
// reference next to it as <file>.reference.png).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "io/png_writer.h"
#include "render/occupancy.h"
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

using RenderFn = bool (*)(const tf::RenderVolume&, const tf::RenderCamera&, const tf::RenderSettings&, float*, bool&,
                          char*, size_t, float*, int64_t*);

struct Timed {
  float ms = 1e30f;     // wall time of the best render
  double cpuMs = 1e30;  // processor time of the whole process during that render (all threads)
  int64_t samples = 0;
  bool gpu = false;
};

double ProcessCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) * 1e-6;
}

bool TimeRenders(RenderFn render, int runs, const tf::RenderVolume& v, const tf::RenderCamera& cam,
                 const tf::RenderSettings& s, std::vector<float>& image, Timed& out) {
  for (int r = 0; r < runs; ++r) {
    float ms = 0.0f;
    char message[200] = {};
    const double cpu0 = ProcessCpuMs();
    if (!render(v, cam, s, image.data(), out.gpu, message, sizeof message, &ms, &out.samples)) {
      std::fprintf(stderr, "render failed: %s\n", message);
      return false;
    }
    out.ms = std::min(out.ms, ms);
    out.cpuMs = std::min(out.cpuMs, ProcessCpuMs() - cpu0);
  }
  return true;
}

bool SavePng(const std::string& path, const std::vector<float>& image, const tf::RenderCamera& cam) {
  std::vector<uint8_t> bytes(image.size());
  tf::ToneMapToBytes(image.data(), cam.width, cam.height, bytes.data());
  if (tf::WritePng(path, bytes.data(), cam.width, cam.height)) return true;
  std::fprintf(stderr, "cannot write %s\n", path.c_str());
  return false;
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
  const size_t values = size_t(cam.width) * size_t(cam.height) * 3;
  std::vector<float> reference(values), accelerated(values);
  std::printf("preview render, %dx%dx%d plume, %d x %d, detail %.2f\n", v.nx, v.ny, v.nz, cam.width, cam.height,
              double(detail));
  // Other work on the machine stretches wall times; the processor time the renders used is printed
  // beside them, with its ratio.
  std::printf("  %-4s %14s %10s %10s %14s %10s %10s %8s %8s %10s %10s %s\n", "", "reference ms", "cpu ms", "M samples",
              "accelerated ms", "cpu ms", "M samples", "speed-up", "cpu", "max diff", "mean diff", "image");
  for (const bool gpu : {false, true}) {
    if (gpu && !tf::RenderGpuAvailable()) {
      std::printf("  GPU: no CUDA device, skipped\n");
      continue;
    }
    s.useGpu = gpu;
    Timed ref, acc;
    if (!TimeRenders(tf::RenderPreviewReference, 1, v, cam, s, reference, ref)) return 1;
    if (!TimeRenders(tf::RenderPreview, quick ? 1 : 3, v, cam, s, accelerated, acc)) return 1;
    double maxDiff = 0.0, meanDiff = 0.0;
    bool within = true;
    for (size_t i = 0; i < values; ++i) {
      const double d = std::fabs(double(accelerated[i]) - double(reference[i]));
      maxDiff = std::max(maxDiff, d);
      meanDiff += d;
      within = within && d <= 2e-3 + 1e-3 * std::fabs(double(reference[i]));
    }
    meanDiff /= double(values);
    within = within && meanDiff < 1e-4;
    std::printf("  %-4s %14.1f %10.1f %10.2f %14.1f %10.1f %10.2f %7.2fx %7.2fx %10.2e %10.2e %s\n",
                acc.gpu ? "GPU" : "CPU", double(ref.ms), ref.cpuMs, double(ref.samples) / 1e6, double(acc.ms),
                acc.cpuMs, double(acc.samples) / 1e6, double(ref.ms) / double(acc.ms), ref.cpuMs / acc.cpuMs, maxDiff,
                meanDiff, within ? "same within tolerance" : "DIFFERS");
    // The shadow pass alone dominates ShadeVoxels (its colour pass is one lookup per voxel).
    std::vector<float> voxels(plume.density.size() * 4);
    bool used = false;
    const auto t0 = std::chrono::steady_clock::now();
    tf::ShadeVoxels(v, s, voxels.data(), used);
    const double shadeMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    std::printf("  %-4s ShadeVoxels (shadow pass on this device) %.1f ms\n", used ? "GPU" : "CPU", shadeMs);
    if (!gpu && !png.empty() && !(SavePng(png, accelerated, cam) && SavePng(png + ".reference.png", reference, cam)))
      return 1;
  }
  return 0;
}
