// What a frame of capture reads from the scene besides the domain's settings: node geometry in
// grid coordinates, hair objects, the sibling fluid plug-in's particles, colliders, force fields and
// the events of the destruction tool. CaptureScene calls these once per frame; tests call them
// directly.
#pragma once

#include <array>
#include <vector>

#include "capture/voxelize.h"
#include "capture/sim_run.h"
#include "host/core/math.h"

namespace host {
class Node;
class Scene;
}  // namespace host

namespace tf {

// The emitter velocity grids, x, y and z, in m/s in the domain's frame.
using VelocityGrids = std::array<std::vector<float>, 3>;

// One frame's view of the run: its time, the grid mapping and the scene's time settings.
struct CaptureContext {
  SimRun* run = nullptr;
  const host::Scene* scene = nullptr;  // the domain's scene; null leaves the default settings
  host::TimeValue t = 0;
  int frame = 0;
  int frameRate = 30;
  double metresPerUnit = 0.0254;
  host::Matrix3 domainTM;  // the domain node's world transform at t
  host::Matrix3 W;         // world point -> grid coordinates
  host::Matrix3 R;         // world direction -> domain frame, rows normalised
  float cellSize = 1.0f;   // scene units
  // The grid captured into: the solver's (an adaptive run's window) unless asked otherwise, and
  // where its first cell lies in the box's grid.
  DomainGrid grid;
  Int3 gridOffset;

  CoverageGrid Grid(std::vector<float>& values) const { return {values.data(), grid.nx, grid.ny, grid.nz}; }
  size_t Cells() const { return size_t(grid.nx) * size_t(grid.ny) * size_t(grid.nz); }
};

// The frame's mapping for a run at frame `frame`: W = inverse(domain transform) x translate(-grid
// origin) x scale(1 / cellSize), R = the rotation of the inverse domain transform. The grid is the
// solver's; with `wholeBox`, the box's.
CaptureContext MakeCaptureContext(SimRun& run, int frame, bool wholeBox = false);

// ---- Geometry of a node, in grid coordinates ----

// The node's triangles (three points each) through its object transform and `W`; false when its
// object does not convert to a triangle mesh or its mesh cannot be read; the latter is noted in
// `state`'s meshProblems when given.
bool ReadMeshTriangles(const host::Node& node, host::TimeValue t, const host::Matrix3& W,
                       std::vector<host::Point3>& triangles, RunCaptureState* state = nullptr);
// True when the node's object is a particle system.
bool IsParticleSystem(const host::Node& node);
// The particles at t through the node's transform and `W`; with `velocities`, their velocities in
// metres per second turned by the node's rotation and then `R`. False when the node is not a
// particle system. A source that cannot be read (a particle file that is a pipe or a device, a
// damaged line) gives no particles and is noted in `state`'s meshProblems when given.
bool ReadParticles(const host::Node& node, host::TimeValue t, const host::Matrix3& W, const host::Matrix3& R,
                   double metresPerUnit, std::vector<host::Point3>& positions,
                   std::vector<host::Point3>* velocities, RunCaptureState* state = nullptr);

// ---- Sibling tools ----

// A hair object ("TuftFx"): the node it grows on and the hair length (scene units) at t. False
// when the node's object is not a hair object or has no surface.
bool ReadHairObject(const host::Node& node, host::TimeValue t, host::Node*& surface, float& length);

// The particles of a fluid object of the sibling fluid plug-in, in grid coordinates, and their
// radius in cells. False when the plug-in's module is not loaded or has no usable bridge, or the
// node is not one of its fluid objects; true without points when it has no particles at t.
bool ReadFluidParticles(host::Node& node, host::TimeValue t, const host::Matrix3& W, float invCellSize,
                        std::vector<host::Point3>& points, float& radiusCells);

// ---- Inputs uploaded to the solver ----

// Colliders: the solid grid from the meshes of `nodes` (filled, with a shell of 0.6 cells), or,
// for an empty list, the solids cleared once. True when solids were uploaded.
bool CaptureColliders(CaptureContext& frame, const std::vector<host::Node*>& nodes);

// Force fields: the acceleration of every space warp in `nodes`, sampled at the centre of each
// 4 x 4 x 4 block of cells, in m/s^2 in the domain's frame, at most 2000; samples that are not
// finite count in the run's invalidForceSamples and contribute nothing. An empty list uploads no
// field.
void CaptureForceFields(CaptureContext& frame, const std::vector<host::Node*>& nodes);

// The events of the domain's events file at the frame, stamped into the emitter grid: dust as
// negative coverage where there is no fire, sparks and impacts as fire of up to 1.5. With
// `velocities` (x, y, z grids) a cell taking fire from an event gets the velocity (0, 0, emitSpeed).
// Re-reads the file when its path, modification time or the minimum energy changed.
void StampEvents(CaptureContext& frame, std::vector<float>& emitter, VelocityGrids* velocities, float emitSpeed);

}  // namespace tf
