// Live mode: a small private simulation of a domain that runs while the artist works, without
// touching the cache.
//
// With liveMode 1 ("Follow the timeline") the live run follows the time slider: moving forward
// simulates the frames in between (at most 150 steps in one update after a restart, 4 otherwise,
// so playback that outruns the solver catches up over several updates, each asking the host for
// the next while the live frame is short of the slider's); moving back restarts it.
// With liveMode 2 ("Run continuously") it takes one step per tick of the panel's timer at whatever
// frame the slider shows. Live runs use their own resolution and substeps, never read the fluid
// bridge, never capture velocity, and restart when a setting that shapes the simulation changes.
//
// The domain object owns a LiveState and calls these functions under its display mutex; they run
// on the host's main thread.
#pragma once

#include <climits>
#include <cstdint>
#include <memory>
#include <string>

#include "capture/sim_run.h"
#include "host/core/math.h"
#include "cache/cache_file.h"

namespace host {
class ParamBlock;
}  // namespace host

namespace tf {

struct LiveState {
  std::unique_ptr<SimRun> run;               // none until the first update after a restart mark
  std::shared_ptr<const CacheFrame> frame;   // the live frame; null while none is valid
  int liveFrame = INT_MIN;                   // the last frame simulated
  bool restartNeeded = true;
  uint64_t fingerprint = 0;                  // of the node lists, to tell real changes of them
  bool updating = false;                     // an update is running (guards re-entry)
  bool stepRequested = false;                // set by the timer in liveMode 2
};

// What an update did.
struct LiveUpdateResult {
  bool ran = false;        // the update was not skipped (mode 0, no node, re-entry, a bake)
  int steps = 0;           // solver steps taken
  bool newFrame = false;   // a new live frame is in state.frame
  bool behind = false;     // following the timeline, the live frame is still short of the slider
  std::string text;        // for the panel's live text; empty when there is nothing new to say
};

// Discards the live run and opens a new one (grid at max(liveResolution, 16) cells on the longest
// side). Success: the live frame number becomes startFrame - 1 and the frame invalid. Failure: no
// run, and `text` says why ("Could not allocate the domain: ...").
bool RestartLive(LiveState& state, host::Object* domain, host::Node* node, std::string* text);

// The domain evaluated at host time t while live mode is on: restarts, steps and captures the live
// frame as the domain's liveMode says. Does nothing in mode 0, without a node, while an update runs
// or while a bake runs.
LiveUpdateResult LiveUpdate(LiveState& state, host::Object* domain, host::Node* node, host::TimeValue t);

// How a change of one of the domain's parameters (a negative id: unnamed, which restarts) concerns
// live mode. A change of the cache folder, or an unnamed one, also makes the cached display frame
// stale; the domain sees to that.
enum class LiveChange {
  kLook,          // display only: redraw with new shading, no restart
  kNodeLists,     // a node list or the preview camera: restart only when the lists really changed
  kNone,          // output, cache and full-quality settings: nothing for live mode
  kRestart,       // anything that shapes the simulation
};
LiveChange ClassifyLiveChange(int paramId);

// The fingerprint of the node lists emitters, colliders, forces, extinguishers, flammables and
// dustSources (count and node of every entry) and the preview camera.
uint64_t NodeListFingerprint(const host::ParamBlock& block);

}  // namespace tf
