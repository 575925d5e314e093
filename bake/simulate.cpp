#include "bake/simulate.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bake/adaptive_run.h"
#include "bake/bake_outputs.h"
#include "bake/bake_restart.h"
#include "cache/cache_file.h"
#include "cache/frame_capture.h"
#include "cache/simulate_domain.h"
#include "capture/capture_scene.h"
#include "capture/events_file.h"
#include "capture/sim_run.h"
#include "domain/fire_params_desc.h"
#include "host/core/atomic_file.h"
#include "host/core/flag_scope.h"
#include "host/core/platform.h"
#include "host/core/text.h"
#include "host/scene/notify.h"
#include "host/scene/objects.h"

namespace tf {

using host::Format;

namespace {

bool gBakeInProgress = false;

// An export or a preview holding the folder ends by itself: a bake started meanwhile waits for it
// this long before it gives up.
constexpr double kWaitForShortWriters = 60.0;

double NowMs() { return host::HighResSeconds() * 1000.0; }

bool HasSources(const host::ParamBlock& block) {
  for (const int id : {kEmitters, kDustSources})
    for (const host::Node* n : block.GetNodes(id))
      if (n) return true;
  return false;
}

// Destruction events can stand in for burning objects: the bake runs when the events file yields
// at least one event strong enough.
bool HasEvents(const host::Object& domain, const host::ParamBlock& block) {
  const float minEnergy = block.GetFloat(kEventsMinEnergy, 0).value_or(0.0f);
  std::vector<ImpactEvent> events;
  bool inMetres = false;
  return ReadEventsFile(EventsFilePath(domain), minEnergy, events, inMetres) > 0;
}
// One bake from its opening to its summary: the run, the cache folder it holds, the outputs it
// writes, and what the summary reports.
struct Bake {
  DomainRef domain;
  host::Node* node = nullptr;
  SimRun run;
  std::string cacheFolder;
  host::FileLock lock;
  BakeOutputs outputs;
  bool withVelocity = false;
  int startFrame = 0, endFrame = 0, firstFrame = 0, restartEvery = 0;
  std::string handlerFailure;  // the first failure of a frameBaked script handler
  std::string stepWindow;      // the window the last frame was solved in, for its progress text
  double solveSum = 0.0, stepSum = 0.0, captureSum = 0.0, cacheSum = 0.0, frameSum = 0.0;
  Int3 largestWindow{};
};

// Opens the run, takes the cache folder and prepares the outputs. The outputs are prepared before
// the old frames go, so that a bake that cannot start leaves the previous one in the cache.
bool OpenBake(Bake& bake, SimulateResult& result) {
  const host::ParamBlock& block = *bake.domain.params;
  if (!HasSources(block) && !HasEvents(*bake.domain.object, block)) {
    result.message = "Add at least one burning object or particle system under Sources.";
    return false;
  }
  SimRun& run = bake.run;
  if (!OpenSimRun(run, bake.domain.object, bake.node, false, &result.message)) return false;
  const FireParams& params = run.params;
  bake.startFrame = params.startFrame;
  bake.endFrame = std::max(params.endFrame, params.startFrame);
  bake.firstFrame = bake.startFrame;
  bake.restartEvery = std::max(0, block.GetInt(kRestartEvery, 0).value_or(10));
  result.usedGpu = run.sim->UsesGpu();
  result.bytesAllocated = size_t(run.sim->Stats().bytesAllocated);

  bake.cacheFolder = bake.domain.folders->CacheFolder();
  if (!EnsureDirectory(bake.cacheFolder)) {
    result.message = "Cannot create the cache folder " + bake.cacheFolder;
    return false;
  }
  // Two writers of one folder would interleave or tear each other's frames: a second bake, an
  // export or a preview is refused while this bake holds the folder.
  if (!LockCacheFolder(bake.lock, bake.cacheFolder, kBakeHolder, &result.message, kWaitForShortWriters))
    return false;
  if (!PrepareBakeOutputs(bake.outputs, bake.domain, *bake.node, params, &result.message)) return false;
  bake.withVelocity = NeedsVelocity(bake.outputs, params);
  return true;
}

// Goes on from the newest restart point: the frames before it stay as they are, and all of them
// must be there.
bool ResumeBake(Bake& bake, SimulateResult& result) {
  int restartFrame = 0;
  if (!FindRestartPoint(bake.cacheFolder, restartFrame) || restartFrame < bake.startFrame ||
      restartFrame >= bake.endFrame) {
    result.message = "Nothing to resume in " + bake.cacheFolder + ": no restart point of a stopped bake.";
    return false;
  }
  for (int f = bake.startFrame; f <= restartFrame; ++f) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(MakeFramePath(bake.cacheFolder, "fire", f, "tfc"), ec)) {
      result.message = Format("Cannot resume: frame %d is missing from the cache; bake from the start.", f);
      return false;
    }
  }
  std::string why;
  if (!LoadRestartPoint(bake.cacheFolder, restartFrame, bake.run, &why)) {
    result.message = "Cannot resume: " + why;
    return false;
  }
  bake.firstFrame = restartFrame + 1;
  return true;
}

// A bake from the start clears the last bake's frames, restart points and outputs.
void ClearLastBake(Bake& bake) {
  DeleteCachedFrames(bake.cacheFolder, "fire");
  DeleteLeftoverTemporaryFiles(bake.cacheFolder, "fire");
  DeleteLeftoverTemporaryFiles(bake.cacheFolder, "restart");
  DeleteRestartPoints(bake.cacheFolder);
  DeleteOldBakeOutputs(bake.outputs);
  bake.domain.folders->ForgetFrameWindows();
  PlaceFirstWindow(bake.run, bake.startFrame);
}

// The restart point after frame f, where a stopped or killed bake can go on from.
bool KeepRestartPoint(Bake& bake, int f, SimulateResult& result) {
  std::string why;
  if (WriteRestartPoint(bake.cacheFolder, bake.run, f, &why)) return true;
  result.message = Format("Could not write the restart point after frame %d: %s", f, why.c_str());
  return false;
}

// Captures the scene at frame f and steps the solver to it, then moves the window to where the
// next frame needs it.
SolverStats StepFrame(Bake& bake, int f) {
  SimRun& run = bake.run;
  const double t0 = NowMs();
  CaptureScene(run, f);
  const SolverStats stats = run.sim->Stats();
  bake.solveSum += double(stats.stepMs);
  bake.stepWindow = WindowText(run);
  if (run.window.settings.on) bake.domain.folders->KeepFrameWindow(f, run.window.cells);
  // The window the next frame needs; the frame is read back from it, placed in the box.
  AdaptWindow(run, f < bake.endFrame ? std::optional<int>(f + 1) : std::nullopt);
  const Int3 size = run.window.cells.Size();
  const Int3& largest = bake.largestWindow;
  if (int64_t(size.x) * size.y * size.z > int64_t(largest.x) * largest.y * largest.z) bake.largestWindow = size;
  bake.stepSum += NowMs() - t0;
  return stats;
}

// Reads frame f back from the solver and writes it to the cache, then the frame's outputs.
bool StoreFrame(Bake& bake, int f, SimulateResult& result) {
  const double t1 = NowMs();
  CacheFrame frame;
  if (!CaptureFrame(*bake.run.sim, bake.run.grid, frame, f, bake.withVelocity, bake.run.window.cells.lo)) {
    // An empty frame written under the frame's name would pass for a baked one.
    const std::string why = bake.run.sim->LastError();
    result.message = why.empty() ? Format("Could not read frame %d back from the solver (out of memory?).", f)
                                 : Format("Could not read frame %d back from the solver: %s.", f, why.c_str());
    return false;
  }
  const double t2 = NowMs();
  bake.captureSum += t2 - t1;

  std::string why;
  if (!WriteCacheFrame(frame, MakeFramePath(bake.cacheFolder, "fire", f, "tfc"), &why)) {
    // A disk running out is the usual cause and gets the hint; any other names itself.
    result.message =
        "Could not write the cache to " + bake.cacheFolder + (why.empty() ? " (disk full?)." : ": " + why + ".");
    return false;
  }
  const double written = NowMs();
  const double displaceBefore = bake.outputs.displaceMs;
  if (!WriteBakeOutputs(bake.outputs, bake.run, frame, f, &result.message)) return false;
  // The cache time covers the write and the flow displacement the exporters see.
  bake.cacheSum += (written - t2) + (bake.outputs.displaceMs - displaceBefore);
  return true;
}

// Script handlers hear of every written frame. A failing handler has its own changes undone and
// its message on stderr; the bake goes on, since one broken handler must not cost the hours of a
// bake, and its first failure is added to the summary.
void TellHandlers(Bake& bake, int f) {
  if (!host::HasNotificationListeners()) return;
  host::Notification baked;
  baked.code = host::NotifyCode::kFrameBaked;
  baked.node = bake.node;
  baked.frame = f;
  std::string failure = host::BroadcastNotification(baked);
  if (bake.handlerFailure.empty()) bake.handlerFailure = std::move(failure);
}

// Bakes the frames from the first to the last, or until the progress callback stops the bake.
bool BakeFrames(Bake& bake, const ProgressFn& progress, SimulateResult& result) {
  const int total = bake.endFrame - bake.firstFrame + 1;
  bake.largestWindow = bake.run.window.cells.Size();
  for (int f = bake.firstFrame; f <= bake.endFrame; ++f) {
    const double t0 = NowMs();
    const SolverStats stats = StepFrame(bake, f);
    if (!StoreFrame(bake, f, result)) return false;
    ++result.framesDone;
    TellHandlers(bake, f);
    const bool restartDue =
        f < bake.endFrame && bake.restartEvery > 0 && (f - bake.startFrame + 1) % bake.restartEvery == 0;
    if (restartDue && !KeepRestartPoint(bake, f, result)) return false;
    bake.frameSum += NowMs() - t0;
    if (!progress) continue;
    std::string text = Format("Frame %d (%d/%d): %.1f ms solve, %d pressure it, %s", f, result.framesDone, total,
                              double(stats.stepMs), int(stats.iterations), bake.run.sim->UsesGpu() ? "GPU" : "CPU");
    if (bake.run.window.settings.on) text += ", " + bake.stepWindow;
    if (!progress(result.framesDone, total, text)) {
      result.cancelled = true;
      return f == bake.endFrame || restartDue || KeepRestartPoint(bake, f, result);
    }
  }
  return true;
}

// The summary: frames, grid and device, times per frame and per stage, outputs, and warnings.
std::string BakeSummary(const Bake& bake, const SimulateResult& result) {
  const SimRun& run = bake.run;
  const BakeOutputs& outputs = bake.outputs;
  const int n = result.framesDone;
  std::string message = Format(
      "%s %d frame%s, %dx%dx%d on the %s: %.1f ms/frame solve, %.1f ms with outputs.%s%s%s%s%s",
      result.cancelled ? "Stopped after" : "Simulated", n, n == 1 ? "" : "s", run.grid.nx, run.grid.ny, run.grid.nz,
      result.usedGpu ? "GPU" : "CPU", result.avgSolveMs, result.avgFrameMs, "", VdbPart(outputs).c_str(),
      PrtPart(outputs).c_str(), PngPart(outputs).c_str(), WherePart(outputs).c_str());
  if (n > 0) {
    message += Format(" Per frame: step %.0f, capture %.0f, cache %.0f, VDB %.0f, preview %.0f ms.", bake.stepSum / n,
                      bake.captureSum / n, bake.cacheSum / n, outputs.vdbMs / n, outputs.previewMs / n);
  }
  if (bake.firstFrame != bake.startFrame) message += Format(" Resumed after frame %d.", bake.firstFrame - 1);
  const Int3& w = bake.largestWindow;
  if (run.window.settings.on) {
    message += Format(" Adaptive: largest window %dx%dx%d of %dx%dx%d.", w.x, w.y, w.z, run.grid.nx, run.grid.ny,
                      run.grid.nz);
  }
  if (run.window.cannotGrow)
    message += " WARNING: the device could not hold a larger window; the fire may be cut where it stopped growing.";
  if (!bake.handlerFailure.empty()) message += " WARNING: " + bake.handlerFailure;
  for (const std::string& problem : run.capture.meshProblems)
    message += " WARNING: " + problem + "; it was left out of the bake.";
  for (const auto& [name, gaveAny] : run.capture.particleSourcesGaveAny)
    if (!gaveAny && n > 0) message += " WARNING: the particle system \"" + name + "\" gave no particles in the baked frames.";
  if (run.capture.invalidForceSamples > 0) {
    message += " WARNING: a force field returned invalid values " + std::to_string(run.capture.invalidForceSamples) +
               " times (ignored).";
  }
  return message;
}

}  // namespace

bool BakeInProgress() { return gBakeInProgress; }

SimulateResult Simulate(host::Object* domain, host::Node* node, const ProgressFn& progress,
                        const SimulateOptions& options) {
  host::FlagScope baking(gBakeInProgress);  // for the whole command
  SimulateResult result;
  Bake bake;
  const std::optional<DomainRef> found = DomainRefOf(domain);
  if (!found || !node) {
    result.message = "Select the TolvarisFire domain first.";
    return result;
  }
  bake.domain = *found;
  bake.node = node;
  if (!OpenBake(bake, result)) return result;
  if (options.resume) {
    if (!ResumeBake(bake, result)) return result;
  } else {
    ClearLastBake(bake);
  }
  // The viewport and the previews follow the bake: the display frame is dropped at its start, at
  // its end, and when it stops on a failure.
  bake.domain.folders->InvalidateDisplayFrame();
  const bool baked = BakeFrames(bake, progress, result);
  bake.domain.folders->InvalidateDisplayFrame();
  if (!baked) return result;

  if (!result.cancelled) DeleteRestartPoints(bake.cacheFolder);
  result.ok = true;
  if (result.framesDone > 0) {
    result.avgSolveMs = bake.solveSum / result.framesDone;
    result.avgFrameMs = bake.frameSum / result.framesDone;
  }
  result.message = BakeSummary(bake, result);
  return result;
}

}  // namespace tf
