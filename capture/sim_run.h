// One simulation run: the domain it belongs to, its grid, its solver and the state that source
// gathering keeps from frame to frame. A SIMULATE bake and live mode each open one.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "domain/adaptive_window.h"
#include "domain/domain_grid.h"
#include "host/core/math.h"
#include "solver/fire_sim.h"

namespace host {
class Node;
class Object;
}  // namespace host

namespace tf {

// An impact event of an events file: frame, world position, kind (0 spark or glass, 1 impact,
// 2 dust) and energy.
struct ImpactEvent {
  int32_t frame = 0;
  float x = 0.0f, y = 0.0f, z = 0.0f;
  int32_t kind = 0;
  float energy = 0.0f;
};

// What source gathering keeps between the frames of one run. It starts empty with the run (no
// previous transform, nothing uploaded, no events) and is filled by source gathering; opening a
// run only clears the solids and quench marks.
struct RunCaptureState {
  // The domain's transform on the previous frame, for following a moving domain.
  host::Matrix3 previousTM;
  bool hasPreviousTM = false;
  std::array<float, 3> motionRemainder{};  // fractional cells of domain motion not yet shifted
  // Optional solver inputs currently uploaded, so that a removed one is cleared exactly once.
  bool velocityUploaded = false;
  bool flammablesUploaded = false;
  bool solidsUploaded = false;
  bool quenchUploaded = false;
  // Reusable grids: solids (1 fluid, -1 solid) and the three force components.
  std::vector<float> solids;
  std::vector<float> forceX, forceY, forceZ;
  // Reusable point lists: mesh triangles, particle positions and particle velocities.
  std::vector<host::Point3> trianglePoints, particlePositions, particleVelocities;
  // The events file: the key that decides when to read it again, its events, and whether the file
  // declared metres.
  std::string eventsKey;
  std::vector<ImpactEvent> events;
  bool eventsInMetres = false;
  int invalidForceSamples = 0;
  // Meshes of sources or colliders and particle sources that could not be read (a missing or
  // damaged file, a pipe or a device named as a file), each said once: "the mesh of "NODE" cannot
  // be used (WHY)", "the particles of "NODE" cannot be used (WHY)", and nodes with nothing to
// stamp: ""NODE" gives no geometry (WHY)".
  std::vector<std::string> meshProblems;
  // Particle sources by node name, and whether any frame gave them a particle: the bake names the
  // ones that never did.
  std::map<std::string, bool> particleSourcesGaveAny;
};

// Where the solver works inside the box: the whole box, or, for an adaptive domain, the window
// that follows the fire.
struct RunWindow {
  AdaptiveSettings settings;
  CellBox cells;       // in cells of the box's grid
  OpenSides boxSides;  // the box's own open sides, which the window's sides on them take
  // The device could not hold a larger window: it stopped growing there (said once, in the summary).
  bool cannotGrow = false;
};

struct SimRun {
  host::Object* domain = nullptr;  // not owned
  host::Node* node = nullptr;      // not owned
  DomainGrid grid;                 // the box's grid; everything stored is placed against it
  RunWindow window;
  FireParams params;               // the settings at time 0, which the run was opened with
  std::unique_ptr<FireSim> sim;
  RunCaptureState capture;
  bool live = false;  // live mode, as opposed to a SIMULATE bake
};

// The grid the solver works on: the window's (the box's when the run is not adaptive).
DomainGrid SolverGrid(const SimRun& run);

// Opens a run for `domain` on `node`: sizes the grid at time 0 (a live run at `liveResolution`,
// at least 16 cells on the longest side) and creates the solver for it, on the GPU when the domain
// asks for it and one is usable, otherwise (or when the GPU allocation fails) on the CPU. An
// adaptive run starts on the smallest window at the centre of the box's floor, until the first
// frame's sources place it. False,
// with `message` set, when there is no domain or the solver cannot be allocated.
bool OpenSimRun(SimRun& run, host::Object* domain, host::Node* node, bool live, std::string* message);

}  // namespace tf
