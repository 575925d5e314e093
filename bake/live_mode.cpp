#include "bake/live_mode.h"

#include "bake/adaptive_run.h"

#include <algorithm>
#include <cstdio>

#include "capture/capture_scene.h"
#include "domain/fire_params_desc.h"
#include "host/core/flag_scope.h"
#include "host/scene/param_block.h"
#include "host/core/platform.h"
#include "host/scene/scene.h"
#include "cache/frame_capture.h"
#include "bake/simulate.h"

namespace tf {

namespace {

// Steps one update may take: many right after a restart, so that the slider's frame shows at once,
// and a few otherwise, so that playback stays responsive and catches up over several updates.
constexpr int kStepsAfterRestart = 150;
constexpr int kStepsPerUpdate = 4;

const host::ParamBlock* BlockOf(const host::Object* domain) {
  return domain ? domain->GetParamBlockById(kFireParamBlockId) : nullptr;
}

int StartFrame(const host::ParamBlock& block) { return block.GetInt(kStartFrame, 0).value_or(0); }

int TicksPerFrame(const host::Object* domain, const host::Node* node) {
  const host::Scene* scene = node && node->GetScene() ? node->GetScene() : domain->GetScene();
  return scene ? scene->time.TicksPerFrame() : host::TimeSettings().TicksPerFrame();
}

}  // namespace

bool RestartLive(LiveState& state, host::Object* domain, host::Node* node, std::string* text) {
  // The old run (and its solver's memory) goes before the new one is allocated.
  state.run = std::make_unique<SimRun>();
  state.frame.reset();
  if (!OpenSimRun(*state.run, domain, node, true, text)) {
    state.run.reset();
    return false;
  }
  const host::ParamBlock* block = BlockOf(domain);
  state.liveFrame = (block ? StartFrame(*block) : 0) - 1;
  PlaceFirstWindow(*state.run, state.liveFrame + 1);
  state.restartNeeded = false;
  // The lists this run was opened with: picking the same nodes again must not restart it.
  if (block) state.fingerprint = NodeListFingerprint(*block);
  return true;
}

LiveUpdateResult LiveUpdate(LiveState& state, host::Object* domain, host::Node* node, host::TimeValue t) {
  LiveUpdateResult result;
  const host::ParamBlock* block = BlockOf(domain);
  const int mode = block ? block->GetInt(kLiveMode, t).value_or(0) : 0;
  if (mode == 0 || !node || state.updating || BakeInProgress()) return result;
  host::FlagScope updating(state.updating);
  result.ran = true;

  const double startSeconds = host::HighResSeconds();
  const int s = StartFrame(*block);
  const int f = t / TicksPerFrame(domain, node);

  if (state.restartNeeded || !state.run) {
    if (!RestartLive(state, domain, node, &result.text)) {
      state.stepRequested = false;
      return result;
    }
  }

  if (mode == 1) {
    state.stepRequested = false;
    if (f < s) {
      state.frame.reset();
      if (state.liveFrame >= s) RestartLive(state, domain, node, &result.text);
      return result;
    }
    if (f < state.liveFrame && !RestartLive(state, domain, node, &result.text)) return result;
    const int cap = state.liveFrame < s ? kStepsAfterRestart : kStepsPerUpdate;
    while (state.liveFrame < f && result.steps < cap) {
      ++state.liveFrame;
      CaptureScene(*state.run, state.liveFrame);
      AdaptWindow(*state.run, state.liveFrame + 1);
      ++result.steps;
    }
    result.behind = result.steps > 0 && state.liveFrame < f;
  } else if (state.stepRequested || !state.frame) {
    // Run continuously: the scene is evaluated at the slider's frame, the live frame count grows.
    CaptureScene(*state.run, std::max(f, s));
    AdaptWindow(*state.run, std::max(f, s));
    ++state.liveFrame;
    state.stepRequested = false;
    result.steps = 1;
  }

  if (result.steps == 0) return result;
  FireSim& sim = *state.run->sim;
  auto frame = std::make_shared<CacheFrame>();
  const int headerFrame = mode == 1 ? state.liveFrame : f;
  if (!CaptureFrame(sim, state.run->grid, *frame, headerFrame, false, state.run->window.cells.lo)) {
    state.frame.reset();
    result.text = "Live: could not read the frame back from the solver (out of memory?).";
    return result;
  }
  state.frame = std::move(frame);
  result.newFrame = true;

  const DomainGrid& g = state.run->grid;
  char text[160];
  std::snprintf(text, sizeof text, "LIVE %dx%dx%d on the %s: frame %d, %d step%s in %.0f ms (%.1f ms solve)", g.nx, g.ny,
                g.nz, sim.UsesGpu() ? "GPU" : "CPU", state.liveFrame, result.steps, result.steps == 1 ? "" : "s",
                (host::HighResSeconds() - startSeconds) * 1000.0, double(sim.Stats().stepMs));
  result.text = text;
  if (state.run->window.settings.on) result.text += ", " + WindowText(*state.run);
  return result;
}

LiveChange ClassifyLiveChange(int paramId) {
  switch (paramId) {
    case kVpMode: case kVpPoints: case kVpDensity: case kShowDomain: case kFireIntensity: case kFireTint:
    case kFireTempScale: case kGlow: case kSmokeColor: case kSmokeDensityR: case kLightIntensity:
    case kShadowAmount: case kSkyAmount: case kExposure:
      return LiveChange::kLook;
    case kEmitters: case kColliders: case kForces: case kExtinguishers: case kFlammables: case kDustSources:
    case kPreviewCamera:
      return LiveChange::kNodeLists;
    case kResolution: case kEndFrame: case kSubsteps: case kPressureQuality: case kCachePath: case kVdbPath:
    case kVdbVelocity: case kOutVDB: case kVdbDensity: case kVdbTemp: case kVdbFlame: case kVdbFuel: case kOutPRT:
    case kPrtPerCell: case kOutPreview: case kPreviewWidth: case kOutPath: case kRestartEvery:
      return LiveChange::kNone;
    default:
      return LiveChange::kRestart;
  }
}

uint64_t NodeListFingerprint(const host::ParamBlock& block) {
  constexpr uint64_t kPrime = 0x100000001B3ull;
  uint64_t h = 0x14650FB0739D0383ull;
  auto identity = [](const host::Node* node) { return node ? uint64_t(node->Handle()) : 0u; };
  for (int id : {int(kEmitters), int(kColliders), int(kForces), int(kExtinguishers), int(kFlammables),
                 int(kDustSources)}) {
    const int count = block.Count(id);
    h = (h ^ uint64_t(int64_t(count) + int64_t(id) * 131)) * kPrime;
    for (int i = 0; i < count; ++i) h = (h ^ identity(block.GetNodeAt(id, i))) * kPrime;
  }
  h = (h ^ identity(block.GetNode(kPreviewCamera, 0).value_or(nullptr))) * kPrime;
  return h;
}

}  // namespace tf
