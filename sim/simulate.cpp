#include "sim/simulate.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

#include "capture/build_fire_params.h"
#include "capture/capture_scene.h"
#include "capture/events_file.h"
#include "domain/fire_params_desc.h"
#include "domain/sim_run.h"
#include "host/core/atomic_file.h"
#include "host/core/flag_scope.h"
#include "host/scene/notify.h"
#include "host/scene/objects.h"
#include "host/core/platform.h"
#include "host/core/text.h"
#include "host/scene/scene.h"
#include "sim/adaptive_run.h"
#include "sim/bake_outputs.h"
#include "sim/bake_restart.h"
#include "sim/cache_file.h"
#include "sim/frame_capture.h"
#include "sim/simulate_domain.h"

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

}  // namespace

bool BakeInProgress() { return gBakeInProgress; }

SimulateResult Simulate(host::Object* domain, host::Node* node, const ProgressFn& progress,
                        const SimulateOptions& options) {
  host::FlagScope baking(gBakeInProgress);  // for the whole command
  SimulateResult result;

  SimulateDomain* cached = dynamic_cast<SimulateDomain*>(domain);
  const host::ParamBlock* block = domain ? domain->GetParamBlockById(kFireParamBlockId) : nullptr;
  if (!cached || !block || !node) {
    result.message = "Select the TolvarisFire domain first.";
    return result;
  }
  if (!HasSources(*block) && !HasEvents(*domain, *block)) {
    result.message = "Add at least one burning object or particle system under Sources.";
    return result;
  }

  SimRun run;
  if (!OpenSimRun(run, domain, node, false, &result.message)) return result;

  const host::Scene* scene = node->GetScene() ? node->GetScene() : domain->GetScene();
  const host::TimeSettings timeSettings = scene ? scene->time : host::TimeSettings{};
  const FireParams params = BuildFireParams(*block, 0, timeSettings, run.grid);
  const int startFrame = params.startFrame;
  const int endFrame = std::max(params.endFrame, params.startFrame);
  result.usedGpu = run.sim->UsesGpu();
  result.bytesAllocated = size_t(run.sim->Stats().bytesAllocated);

  const std::string cacheFolder = cached->CacheFolder();
  if (!EnsureDirectory(cacheFolder)) {
    result.message = "Cannot create the cache folder " + cacheFolder;
    return result;
  }
  // Two writers of one folder would interleave or tear each other's frames: a second bake, an
  // export or a preview is refused while this bake holds the folder.
  host::FileLock lock;
  if (!LockCacheFolder(lock, cacheFolder, kBakeHolder, &result.message, kWaitForShortWriters)) return result;
  // The outputs are prepared before the old frames go, so that a bake that cannot start leaves
  // the previous one in the cache.
  BakeOutputs outputs;
  if (!PrepareBakeOutputs(outputs, domain, node, params, &result.message)) return result;
  const bool withVelocity = NeedsVelocity(outputs, params);

  const int restartEvery = std::max(0, block->GetInt(kRestartEvery, 0).value_or(10));
  int firstFrame = startFrame;
  if (options.resume) {
    int restartFrame = 0;
    if (!FindRestartPoint(cacheFolder, restartFrame) || restartFrame < startFrame || restartFrame >= endFrame) {
      result.message = "Nothing to resume in " + cacheFolder + ": no restart point of a stopped bake.";
      return result;
    }
    // The frames before the restart point stay as they are; all of them must be there.
    for (int f = startFrame; f <= restartFrame; ++f) {
      std::error_code ec;
      if (!std::filesystem::is_regular_file(MakeFramePath(cacheFolder, "fire", f, "tfc"), ec)) {
        result.message = Format("Cannot resume: frame %d is missing from the cache; bake from the start.", f);
        return result;
      }
    }
    std::string why;
    if (!LoadRestartPoint(cacheFolder, restartFrame, run, &why)) {
      result.message = "Cannot resume: " + why;
      return result;
    }
    firstFrame = restartFrame + 1;
  } else {
    DeleteCachedFrames(cacheFolder, "fire");
    DeleteLeftoverTemporaryFiles(cacheFolder, "fire");
    DeleteLeftoverTemporaryFiles(cacheFolder, "restart");
    DeleteRestartPoints(cacheFolder);
    DeleteOldBakeOutputs(outputs);
    cached->ForgetFrameWindows();
    PlaceFirstWindow(run, startFrame);
  }
  cached->InvalidateDisplayFrame();
  // The restart point after frame f, where a stopped or killed bake can go on from.
  const auto keepRestartPoint = [&](int f) {
    std::string why;
    if (WriteRestartPoint(cacheFolder, run, f, &why)) return true;
    result.message = Format("Could not write the restart point after frame %d: %s", f, why.c_str());
    cached->InvalidateDisplayFrame();
    return false;
  };

  const int total = endFrame - firstFrame + 1;
  std::string handlerFailure;  // the first failure of a frameBaked script handler
  double solveSum = 0.0, stepSum = 0.0, captureSum = 0.0, cacheSum = 0.0, frameSum = 0.0;
  Int3 largestWindow = run.window.cells.Size();
  for (int f = firstFrame; f <= endFrame; ++f) {
    const double t0 = NowMs();
    CaptureScene(run, f);
    const SolverStats stats = run.sim->Stats();
    solveSum += double(stats.stepMs);
    const std::string stepWindow = WindowText(run);
    if (run.window.settings.on) cached->KeepFrameWindow(f, run.window.cells);
    // The window the next frame needs; the frame is read back from it, placed in the box.
    AdaptWindow(run, f < endFrame ? std::optional<int>(f + 1) : std::nullopt);
    const Int3 size = run.window.cells.Size();
    if (int64_t(size.x) * size.y * size.z > int64_t(largestWindow.x) * largestWindow.y * largestWindow.z)
      largestWindow = size;
    const double t1 = NowMs();
    stepSum += t1 - t0;

    CacheFrame frame;
    if (!CaptureFrame(*run.sim, run.grid, frame, f, withVelocity, run.window.cells.lo)) {
      // An empty frame written under the frame's name would pass for a baked one.
      const std::string why = run.sim->LastError();
      result.message = why.empty() ? Format("Could not read frame %d back from the solver (out of memory?).", f)
                                   : Format("Could not read frame %d back from the solver: %s.", f, why.c_str());
      cached->InvalidateDisplayFrame();
      return result;
    }
    const double t2 = NowMs();
    captureSum += t2 - t1;

    std::string why;
    if (!WriteCacheFrame(frame, MakeFramePath(cacheFolder, "fire", f, "tfc"), &why)) {
      // A disk running out is the usual cause and gets the hint; any other names itself.
      result.message = "Could not write the cache to " + cacheFolder + (why.empty() ? " (disk full?)." : ": " + why + ".");
      cached->InvalidateDisplayFrame();
      return result;
    }
    const double written = NowMs();
    const double displaceBefore = outputs.displaceMs;
    if (!WriteBakeOutputs(outputs, run, frame, f, &result.message)) {
      cached->InvalidateDisplayFrame();
      return result;
    }
    // The cache time covers the write and the flow displacement the exporters see.
    cacheSum += (written - t2) + (outputs.displaceMs - displaceBefore);

    ++result.framesDone;
    // Script handlers hear of every written frame. A failing handler has its own changes undone
    // and its message on stderr; the bake goes on, since one broken handler must not cost the
    // hours of a bake, and its first failure is added to the summary.
    if (host::HasNotificationListeners()) {
      host::Notification baked;
      baked.code = host::NotifyCode::kFrameBaked;
      baked.node = node;
      baked.frame = f;
      std::string failure = host::BroadcastNotification(baked);
      if (handlerFailure.empty()) handlerFailure = std::move(failure);
    }
    const bool restartDue = f < endFrame && restartEvery > 0 && (f - startFrame + 1) % restartEvery == 0;
    if (restartDue && !keepRestartPoint(f)) return result;
    frameSum += NowMs() - t0;

    if (progress) {
      std::string text = Format("Frame %d (%d/%d): %.1f ms solve, %d pressure it, %s", f, result.framesDone, total,
                                double(stats.stepMs), int(stats.iterations), run.sim->UsesGpu() ? "GPU" : "CPU");
      if (run.window.settings.on) text += ", " + stepWindow;
      if (!progress(result.framesDone, total, text)) {
        result.cancelled = true;
        if (f < endFrame && !restartDue && !keepRestartPoint(f)) return result;
        break;
      }
    }
  }

  if (!result.cancelled) DeleteRestartPoints(cacheFolder);
  cached->InvalidateDisplayFrame();
  result.ok = true;
  const int n = result.framesDone;
  if (n > 0) {
    result.avgSolveMs = solveSum / n;
    result.avgFrameMs = frameSum / n;
  }
  result.message = Format("%s %d frame%s, %dx%dx%d on the %s: %.1f ms/frame solve, %.1f ms with outputs.%s%s%s%s%s",
                          result.cancelled ? "Stopped after" : "Simulated", n, n == 1 ? "" : "s", run.grid.nx,
                          run.grid.ny, run.grid.nz, result.usedGpu ? "GPU" : "CPU", result.avgSolveMs,
                          result.avgFrameMs, "", VdbPart(outputs).c_str(), PrtPart(outputs).c_str(),
                          PngPart(outputs).c_str(), WherePart(outputs).c_str());
  if (n > 0) {
    result.message += Format(" Per frame: step %.0f, capture %.0f, cache %.0f, VDB %.0f, preview %.0f ms.",
                             stepSum / n, captureSum / n, cacheSum / n, outputs.vdbMs / n, outputs.previewMs / n);
  }
  if (firstFrame != startFrame) result.message += Format(" Resumed after frame %d.", firstFrame - 1);
  if (run.window.settings.on) {
    result.message += Format(" Adaptive: largest window %dx%dx%d of %dx%dx%d.", largestWindow.x, largestWindow.y,
                             largestWindow.z, run.grid.nx, run.grid.ny, run.grid.nz);
  }
  if (run.window.cannotGrow)
    result.message += " WARNING: the device could not hold a larger window; the fire may be cut where it stopped growing.";
  if (!handlerFailure.empty()) result.message += " WARNING: " + handlerFailure;
  for (const std::string& problem : run.capture.meshProblems)
    result.message += " WARNING: " + problem + "; it was left out of the bake.";
  for (const auto& [name, gaveAny] : run.capture.particleSourcesGaveAny)
    if (!gaveAny && n > 0) result.message += " WARNING: the particle system \"" + name + "\" gave no particles in the baked frames.";
  if (run.capture.invalidForceSamples > 0) {
    result.message += " WARNING: a force field returned invalid values " +
                      std::to_string(run.capture.invalidForceSamples) + " times (ignored).";
  }
  return result;
}

}  // namespace tf
