// Solver benchmark: steps the standard plume (a disc emitter on the closed floor of an open-sided
// box, default settings) and compares each phase of a substep, and the whole step, with the
// memory traffic it cannot avoid. Every pass is credited with the bytes it must move: each array
// it reads once, each array it writes once (a read-modify-write twice), counted per pass, with
// the pressure solve counted for the iterations it actually ran. A STREAM-style triad over as
// many bytes as the solver holds, measured in the same run on the same device, says how long
// the machine takes to move a byte; a phase's floor is its counted bytes at that speed, and its
// ratio is its time over that floor (1 = running at the memory's speed).
//
//   tfr_bench_solver [--quick] [--cpu-only | --gpu-only] [--no-graphs] [--phases] [--sizes 64,128]
//                    [--frames N] [--warmup N]
//
// --no-graphs runs every recorded launch sequence (the multigrid cycle, the pressure solve's runs
// of iterations) launch by launch, to measure what the recordings save on the GPU.
#define TFR_BODY_SOURCE
#include <algorithm>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "device/device_memory.h"
#include "solver/fire_sim.h"
#include "solver/fire_sim_impl.h"

using namespace tf;

namespace {

struct Options {
  std::vector<int> sizes{64, 128};
  int warmup = 30;
  int frames = 10;
  bool cpuOnly = false;
  bool gpuOnly = false;
  bool phases = false;
  int rounds = 5;  // substeps timed phase by phase
};

// The bytes each phase must move, counted from the grid and the phase's own passes (see the
// README's benchmark section). Faces and cells are counted with their true extents.
struct Traffic {
  const FireSim::Impl& s;
  double C, U, V, W;  // cells and u, v, w faces
  explicit Traffic(const FireSim::Impl& impl)
      : s(impl),
        C(double(impl.grid.nx) * impl.grid.ny * impl.grid.nz),
        U(double(impl.grid.nx + 1) * impl.grid.ny * impl.grid.nz),
        V(double(impl.grid.nx) * (impl.grid.ny + 1) * impl.grid.nz),
        W(double(impl.grid.nx) * impl.grid.ny * (impl.grid.nz + 1)) {}
  double faces() const { return U + V + W; }

  // Adding a cell force to the interior faces: each face read and written, each force read.
  double addToFaces() const { return 8.0 * faces() + 12.0 * C; }

  double forces(const FireParams& p, float dt) const {
    const double target = s.hasEmitVel ? 4.0 * C : 0.0;
    double b = 8.0 * W + 12.0 * C + target;  // w: buoyancy, smoke weight, wind, emitter pull
    const float drag = 1.0f - std::exp(-p.windDrag * dt);
    const bool sideways = s.emission.emitSpeedX != 0.0f || s.emission.emitSpeedY != 0.0f || s.hasEmitVel;
    if (drag > 0.0f || (s.emission.emitBlend > 0.0f && sideways))
      b += 8.0 * U + 4.0 * C + target + 8.0 * V + 4.0 * C + target;
    if (s.hasExtForce) b += addToFaces();
    if (p.vorticity > 0.0f) b += 4.0 * faces() + 16.0 * C + 36.0 * C;
    if (p.turbulence > 0.0f) b += (p.vorticity > 0.0f ? 32.0 : 20.0) * C;  // adds to the confinement
    if (p.vorticity > 0.0f || p.turbulence > 0.0f) b += addToFaces();
    return b;
  }
  // The faces of closed sides written; three passes over the solid cells' box reading the mask.
  double faceBC() const {
    const int m = s.openMask;
    const double nx = s.grid.nx, ny = s.grid.ny, nz = s.grid.nz;
    double closed = 0.0;
    for (int side = 0; side < 6; ++side)
      if (!(m & (1 << side))) closed += side < 2 ? ny * nz : side < 4 ? nx * nz : nx * ny;
    double box = 1.0;
    for (int a = 0; a < 3; ++a) box *= std::max(0, s.solidHi[a] - s.solidLo[a] + 1);
    return 3.0 * box + 4.0 * closed;
  }
  // Three passes, each reading u, v and w and writing one of them.
  double advectVel() const { return 3.0 * 4.0 * faces() + 4.0 * faces(); }
  // Prediction: u, v, w and four scalars read, four predictions written; correction: u, v, w,
  // the four scalars and their predictions read, four results written.
  double advectScalars() const { return (4.0 * faces() + 32.0 * C) + (4.0 * faces() + 48.0 * C); }
  // One V-cycle from `depth` down: clearing x, 2 pre- and 2 post-sweeps of two half-sweeps each
  // (24 and 24 on the coarsest level), each reading x, b and the solid mask and writing x;
  // residual, restriction and prolongation.
  double vCycle(size_t depth) const {
    const Level& L = s.levels[depth];
    const double n = double(L.nx) * L.ny * L.nz;
    const bool coarsest = depth + 1 == s.levels.size();
    const double halfSweeps = 4.0 * (coarsest ? 24 : 2);
    double b = 4.0 * n + halfSweeps * 13.0 * n;
    if (!coarsest) {
      const Level& c = s.levels[depth + 1];
      const double nc = double(c.nx) * c.ny * c.nz;
      b += 13.0 * n + (4.0 * n + 5.0 * nc) + (13.0 * n + 4.0 * nc) + vCycle(depth + 1);
    }
    return b;
  }
  // The solve with `iterations` iterations (converged in the last): divergence, initial
  // residual; the first V-cycle, copy and r.z; per iteration q = A d with d.q and the update of
  // pressure and residual, and, but for the last, a V-cycle, r.z and the new direction; the
  // gradient subtraction.
  double project(int iterations) const {
    double b = 4.0 * faces() + (s.hasSealed ? 14.0 : 13.0) * C;  // divergence
    b += 13.0 * C;                                                // initial residual
    if (iterations > 0) {
      b += vCycle(0) + 8.0 * C + 8.0 * C;
      b += double(iterations) * (9.0 * C + 24.0 * C);
      b += double(iterations - 1) * (vCycle(0) + 8.0 * C + 12.0 * C);
    }
    b += 12.0 * C + 8.0 * faces();  // gradient
    return b;
  }
  double combust() const {
    double b = 41.0 * C;  // solid and emitter read, four scalars read and written, flame written
    if (s.hasQuench) b += 4.0 * C;
    if (s.hasFlammable) b += 12.0 * C;
    return b;
  }
  // One substep, Step's order.
  double substep(const FireParams& p, float dt, int iterations) const {
    return forces(p, dt) + 3.0 * faceBC() + advectVel() + project(iterations) + advectScalars() + combust();
  }
};

// Runs `rounds` substeps phase by phase, in their usual order (so the state stays a real one),
// and prints each phase's median time, counted bytes per cell, floor and ratio to it.
// msPerByte is the triad's time per counted byte.
void PhaseBreakdown(FireSim& sim, const FireParams& p, double msPerByte, int rounds) {
  FireSim::Impl& s = sim.Internals();
  const Exec ex = s.exec();
  const float dt = p.frameTime / float(p.substeps < 1 ? 1 : p.substeps);
  const Traffic t(s);
  struct Phase {
    const char* name;
    std::function<void()> run;
    std::function<double()> bytes;  // asked after the run
    std::vector<double> ms;
    double lastBytes = 0.0;
  };
  std::vector<Phase> phases;
  phases.push_back({"Forces", [&] { s.Forces(p, dt); }, [&] { return t.forces(p, dt); }, {}});
  phases.push_back({"FaceBC", [&] { s.FaceBC(); }, [&] { return t.faceBC(); }, {}});
  phases.push_back({"AdvectVel", [&] { s.AdvectVel(dt); }, [&] { return t.advectVel(); }, {}});
  phases.push_back({"FaceBC", [&] { s.FaceBC(); }, [&] { return t.faceBC(); }, {}});
  phases.push_back({"Project", [&] { s.Project(p, dt); }, [&] { return t.project(s.stats.iterations); }, {}});
  phases.push_back({"FaceBC", [&] { s.FaceBC(); }, [&] { return t.faceBC(); }, {}});
  phases.push_back({"AdvectScalars", [&] { s.AdvectScalars(dt); }, [&] { return t.advectScalars(); }, {}});
  phases.push_back({"Combust", [&] { s.Combust(p, dt); }, [&] { return t.combust(); }, {}});
  // One V-cycle on the finest level, on its own, after the substeps (it leaves only scratch).
  Phase vcycle{"  VCycle", [&] { s.VCycle(0); }, [&] { return t.vCycle(0); }, {}};
  std::vector<int> iterations;
  auto time = [&](Phase& ph) {
    WaitStream(ex);
    const auto t0 = std::chrono::steady_clock::now();
    ph.run();
    WaitStream(ex);
    ph.ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    ph.lastBytes = ph.bytes();
  };
  for (int r = 0; r < rounds; ++r) {
    for (Phase& ph : phases) time(ph);
    iterations.push_back(s.stats.iterations);
  }
  for (int r = 0; r < rounds; ++r) time(vcycle);
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  std::printf("      phase              ms    bytes/cell   floor ms   ratio"
              "   (median of %d substeps, pressure iterations",
              rounds);
  for (int it : iterations) std::printf(" %d", it);
  std::printf(")\n");
  auto line = [&](const Phase& ph) {
    const double ms = median(ph.ms), floorMs = ph.lastBytes * msPerByte;
    std::printf("      %-14s %9.2f  %10.1f  %9.3f  %6.1f\n", ph.name, ms, ph.lastBytes / t.C, floorMs,
                ms / floorMs);
  };
  for (const Phase& ph : phases) {
    if (&ph == &phases[3]) continue;  // the second FaceBC: the same pass as the first
    line(ph);
    if (&ph == &phases[4]) line(vcycle);
  }
}

// One more frame, outside the timed ones, with launch counting on: kernel launches (or CPU passes)
// per substep, and the labels that launch most; and how often the host waits for the device's
// results. A recorded graph counts as one launch. The counts are where the GPU path would launch
// and wait, on either device.
void LaunchesPerSubstep(FireSim& sim, FireParams p, int frame) {
  p.time = float(frame) * p.frameTime;
  ResetLaunchCounts();
  SetLaunchCounting(true);
  sim.Step(p);
  SetLaunchCounting(false);
  const int substeps = std::max(p.substeps, 1);
  std::printf("      waits per substep %.1f, launches per substep %.1f:", double(TotalWaits()) / substeps,
              double(TotalLaunches()) / substeps);
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
// several runs, in milliseconds. `moved` receives the bytes it counts: 12 per element (two reads
// and one write, STREAM's convention, which leaves out the write-allocate read as the phases'
// counts do).
double TriadMs(const Exec& ex, uint64_t bytes, double& moved) {
  const int row = 1024;
  const int rows = int(std::max<uint64_t>(1, bytes / 3 / sizeof(float) / row));
  const size_t count = size_t(row) * size_t(rows);
  moved = 12.0 * double(count);
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
  // Each frame's time against its own floor: the floor counts the pressure iterations that frame
  // ran (the last substep's count stands for every substep).
  std::vector<double> times, ratios;
  std::vector<int> iterations;
  const int substeps = p.substeps < 1 ? 1 : p.substeps;
  const float dt = p.frameTime / float(substeps);
  const Traffic traffic(sim.Internals());
  for (int i = 0; i < o.frames; ++i, ++frame) {
    p.time = float(frame) * p.frameTime;
    sim.Step(p);
    times.push_back(sim.Stats().stepMs);
    iterations.push_back(sim.Stats().iterations);
  }
  const uint64_t bytes = sim.Stats().bytesAllocated;
  const double cells = double(n) * n * n;
  double moved = 0.0;
  const double triad = TriadMs(sim.Internals().exec(), bytes, moved);
  const double msPerByte = triad > 0.0 ? triad / moved : 0.0;
  double floorBytes = 0.0;
  for (size_t f = 0; f < times.size(); ++f) {
    const double b = substeps * traffic.substep(p, dt, iterations[f]);
    floorBytes += b / double(times.size());
    ratios.push_back(triad > 0.0 ? times[f] / (b * msPerByte) : 0.0);
  }
  std::vector<double> sortedTimes = times;
  std::sort(sortedTimes.begin(), sortedTimes.end());
  std::sort(ratios.begin(), ratios.end());
  const double stepMs = sortedTimes[sortedTimes.size() / 2];
  std::sort(iterations.begin(), iterations.end());
  std::printf("%-4s %4d^3  step %9.2f ms  iterations %d..%d  counted %6.0f bytes/cell  floor %8.2f ms  ratio %5.2f"
              "   (triad %.3f ms over %.1f bytes/cell held, %.1f GB/s)\n",
              gpu ? "GPU" : "CPU", n, stepMs, iterations.front(), iterations.back(), floorBytes / cells,
              floorBytes * msPerByte, ratios[ratios.size() / 2], triad, double(bytes) / cells,
              triad > 0.0 ? moved / triad * 1e-6 : 0.0);
  LaunchesPerSubstep(sim, p, frame);
  if (o.phases && triad > 0.0) PhaseBreakdown(sim, p, msPerByte, o.rounds);
  std::fflush(stdout);
}

[[noreturn]] void Usage(const char* msg) {
  std::fprintf(stderr, "tfr_bench_solver: %s\nusage: tfr_bench_solver [--quick] [--cpu-only | --gpu-only] [--no-graphs] [--phases] [--sizes 64,128] [--frames N] [--warmup N]\n", msg);
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
      o.rounds = 3;
    } else if (a == "--phases") {
      o.phases = true;
    } else if (a == "--cpu-only") {
      o.cpuOnly = true;
    } else if (a == "--gpu-only") {
      o.gpuOnly = true;
    } else if (a == "--no-graphs") {
      SetLaunchGraphs(false);
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
  if (o.cpuOnly && o.gpuOnly) Usage("--cpu-only and --gpu-only exclude each other");
  std::printf("standard plume, %d warm-up frames, median of %d frames; ratio = time / (counted bytes at the triad's speed)%s\n",
              o.warmup, o.frames, LaunchGraphsOn() ? "" : "; recordings off");
  if (!o.gpuOnly)
    for (int n : o.sizes) Run(n, false, o);
  if (!o.cpuOnly) {
    if (GpuPresent())
      for (int n : o.sizes) Run(n, true, o);
    else
      std::printf("GPU: none present\n");
  }
  return 0;
}
