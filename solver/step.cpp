#define TFR_BODY_SOURCE
#include <chrono>
#include <cstdio>
#include <utility>

#include "device/device_memory.h"
#include "solver/fire_sim_impl.h"

namespace tf {

bool FireSim::Step(const FireParams& p) {
  Impl& s = *impl;
  if (!s.ready) return false;
  const auto t0 = std::chrono::steady_clock::now();
  const int n = p.substeps < 1 ? 1 : p.substeps;
  const float dt = p.frameTime / float(n);
  for (int i = 0; i < n; ++i) {
    // Force, make consistent with the walls, carry the velocity along itself, make consistent
    // again, project (the gradient also moves the faces of closed sides) and make consistent a
    // third time; the scalars then ride the projected velocity and combustion acts last.
    s.Forces(p, dt);
    s.FaceBC();
    s.AdvectVel(dt);
    s.FaceBC();
    s.Project(p, dt);
    s.FaceBC();
    s.AdvectScalars(dt);  // density, temperature, fuel, dust
    s.Combust(p, dt);
  }
  // Launches are asynchronous on the GPU: a failed one is seen only here, where the step waits.
  if (!DeviceOk(s.exec())) {
    std::snprintf(s.error, sizeof s.error, "CUDA: a launch or transfer of the step failed");
    s.ready = false;
    return false;
  }
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0);
  s.stats.stepMs = float(ns.count()) / 1000000.0f;
  s.stats.maxDivergence = MaxDivergence();
  return true;
}

}  // namespace tf
