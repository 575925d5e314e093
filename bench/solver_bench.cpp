// Solver benchmark: steps the standard plume (a disc emitter on the closed floor of an open-sided
// box, default settings) and compares the time of one Step with a STREAM-style triad over as many
// bytes as the solver holds, measured in the same run on the same device. The ratio says how many
// times the solver's whole memory one step costs; a substep with five pressure iterations moves
// about 15 times it, so 15 is the floor.
//
//   tfr_bench_solver [--quick] [--cpu-only] [--phases] [--sizes 64,128] [--frames N]
#define TFR_BODY_SOURCE
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "solver/device_memory.h"
#include "solver/fire_sim.h"
#include "solver/fire_sim_impl.h"

using namespace tf;

namespace {

struct Options {
  std::vector<int> sizes{64, 128};
  int warmup = 30;
  int frames = 10;
  bool cpuOnly = false;
  bool phases = false;
};

// Times each phase of one substep on the warmed-up state, in triads. The phases run in their
// usual order, so the state stays a real one.
void PhaseBreakdown(FireSim& sim, const FireParams& p, double triadMs) {
  FireSim::Impl& s = sim.Internals();
  const Exec ex = s.exec();
  const float dt = p.frameTime;
  auto time = [&](const char* name, auto&& phase) {
    WaitStream(ex);
    const auto t0 = std::chrono::steady_clock::now();
    phase();
    WaitStream(ex);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    std::printf("      %-14s %9.2f ms  %7.1f triads\n", name, ms, ms / triadMs);
  };
  time("Forces", [&] { s.Forces(p, dt); });
  time("FaceBC", [&] { s.FaceBC(); });
  time("AdvectVel", [&] { s.AdvectVel(dt); });
  s.FaceBC();
  time("Project", [&] { s.Project(p, dt); });
  std::printf("      (%d pressure iterations)\n", s.stats.iterations);
  time("VCycle", [&] { s.VCycle(0); });
  time("AdvectScalars", [&] { s.AdvectScalars(dt); });
  time("Combust", [&] { s.Combust(p, dt); });
}

// One more frame, outside the timed ones, with launch counting on: kernel launches (or CPU passes)
// per substep, and the labels that launch most. A recorded graph counts as one launch.
void LaunchesPerSubstep(FireSim& sim, FireParams p, int frame) {
  p.time = float(frame) * p.frameTime;
  ResetLaunchCounts();
  SetLaunchCounting(true);
  sim.Step(p);
  SetLaunchCounting(false);
  const int substeps = std::max(p.substeps, 1);
  std::printf("      launches per substep %.1f:", double(TotalLaunches()) / substeps);
  const std::vector<LaunchCount> counts = LaunchCounts();
  for (size_t i = 0; i < counts.size() && i < 4; ++i)
    std::printf("%s %s %.1f", i > 0 ? "," : "", counts[i].label.c_str(), double(counts[i].launches) / substeps);
  std::printf("\n");
}

std::vector<float> DiscEmitter(int n) {
  std::vector<float> mask(size_t(n) * size_t(n) * size_t(n), 0.0f);
  const float c = 0.5f * float(n), r = float(n) / 8.0f;
  for (int k = 1; k < 3; ++k)
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i) {
        const float dx = float(i) + 0.5f - c, dy = float(j) + 0.5f - c;
        if (dx * dx + dy * dy <= r * r) mask[size_t(i) + size_t(n) * (size_t(j) + size_t(n) * size_t(k))] = 1.0f;
      }
  return mask;
}

// a = b + s*c over three arrays that together hold `bytes`, on the solver's device; the best of
// several runs, in milliseconds.
double TriadMs(const Exec& ex, uint64_t bytes) {
  const int row = 1024;
  const int rows = int(std::max<uint64_t>(1, bytes / 3 / sizeof(float) / row));
  const size_t count = size_t(row) * size_t(rows);
  float* a = static_cast<float*>(DeviceAllocZeroed(ex, count * sizeof(float)));
  float* b = static_cast<float*>(DeviceAllocZeroed(ex, count * sizeof(float)));
  float* c = static_cast<float*>(DeviceAllocZeroed(ex, count * sizeof(float)));
  if (!a || !b || !c) {
    DeviceFree(ex, a);
    DeviceFree(ex, b);
    DeviceFree(ex, c);
    return -1.0;
  }
  // Every array is written before the timing: pages of a zeroed allocation that are only read stay
  // mapped to the kernel's one shared zero page, so two of the three streams would come from the
  // cache and the triad would look several times faster than the memory is.
  kFor3(ex, "triad: fill", row, 1, rows, [=] TFR_HD(int x, int, int z) {
    const size_t i = size_t(x) + size_t(row) * size_t(z);
    a[i] = 0.0f;
    b[i] = float(x & 7);
    c[i] = float(z & 3);
  });
  const float s = 3.0f;
  double best = 1e30;
  for (int rep = 0; rep < 12; ++rep) {
    WaitStream(ex);
    const auto t0 = std::chrono::steady_clock::now();
    // Rows along z: the CPU path shares z among threads, like every solver pass.
    kFor3(ex, "triad", row, 1, rows, [=] TFR_HD(int x, int, int z) {
      const size_t i = size_t(x) + size_t(row) * size_t(z);
      a[i] = b[i] + s * c[i];
    });
    WaitStream(ex);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if (rep > 1) best = std::min(best, ms);
  }
  DeviceFree(ex, a);
  DeviceFree(ex, b);
  DeviceFree(ex, c);
  return best;
}

void Run(int n, bool gpu, const Options& o) {
  FireSim sim;
  const GridDesc g{n, n, n, 2.0f / float(n)};
  if (!sim.Create(g, kDefaultOpenSides, gpu)) {
    std::printf("%-4s %4d^3  could not create: %s\n", gpu ? "GPU" : "CPU", n, sim.LastError());
    return;
  }
  if (sim.UsesGpu() != gpu) return;
  FireParams p;
  sim.SetEmission(p.emission);
  const std::vector<float> mask = DiscEmitter(n);
  sim.SetEmitterMask(mask.data());
  int frame = 0;
  for (; frame < o.warmup; ++frame) {
    p.time = float(frame) * p.frameTime;
    sim.Step(p);
  }
  std::vector<double> times;
  double iterations = 0.0;
  for (int i = 0; i < o.frames; ++i, ++frame) {
    p.time = float(frame) * p.frameTime;
    sim.Step(p);
    times.push_back(sim.Stats().stepMs);
    iterations += sim.Stats().iterations;
  }
  std::sort(times.begin(), times.end());
  const double stepMs = times[times.size() / 2];
  const uint64_t bytes = sim.Stats().bytesAllocated;
  const double cells = double(n) * n * n;
  const double triad = TriadMs(sim.Internals().exec(), bytes);
  std::printf("%-4s %4d^3  step %9.2f ms  iterations %5.1f  bytes/cell %6.1f  triad %7.3f ms  ratio %6.1f\n",
              gpu ? "GPU" : "CPU", n, stepMs, iterations / o.frames, double(bytes) / cells, triad,
              triad > 0.0 ? stepMs / triad : 0.0);
  LaunchesPerSubstep(sim, p, frame);
  if (o.phases && triad > 0.0) PhaseBreakdown(sim, p, triad);
  std::fflush(stdout);
}

[[noreturn]] void Usage(const char* msg) {
  std::fprintf(stderr, "tfr_bench_solver: %s\nusage: tfr_bench_solver [--quick] [--cpu-only] [--phases] [--sizes 64,128] [--frames N] [--warmup N]\n", msg);
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--quick") {
      o.warmup = 10;
      o.frames = 5;
    } else if (a == "--phases") {
      o.phases = true;
    } else if (a == "--cpu-only") {
      o.cpuOnly = true;
    } else if ((a == "--sizes" || a == "--frames" || a == "--warmup") && i + 1 < argc) {
      const std::string v = argv[++i];
      if (a == "--sizes") {
        o.sizes.clear();
        for (size_t pos = 0; pos < v.size();) {
          const size_t end = v.find(',', pos);
          const int s = std::atoi(v.substr(pos, end - pos).c_str());
          if (s < 4 || s > 1024) Usage("sizes must be between 4 and 1024");
          o.sizes.push_back(s);
          pos = end == std::string::npos ? v.size() : end + 1;
        }
      } else {
        const int x = std::atoi(v.c_str());
        if (x < (a == "--frames" ? 1 : 0) || x > 10000) Usage("frame counts must be between 1 and 10000");
        (a == "--frames" ? o.frames : o.warmup) = x;
      }
    } else {
      Usage(("unknown argument " + a).c_str());
    }
  }
  std::printf("standard plume, %d warm-up frames, median of %d frames; ratio = step / triad over the solver's bytes\n",
              o.warmup, o.frames);
  for (int n : o.sizes) Run(n, false, o);
  if (!o.cpuOnly) {
    if (GpuPresent())
      for (int n : o.sizes) Run(n, true, o);
    else
      std::printf("GPU: none present\n");
  }
  return 0;
}
