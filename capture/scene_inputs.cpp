#include "capture/scene_inputs.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <mutex>

#include "capture/events_file.h"
#include "capture/fluid_bridge.h"
#include "domain/fire_params_desc.h"
#include "host/scene/class_desc.h"
#include "host/scene/objects.h"
#include "host/core/platform.h"
#include "host/scene/scene.h"

namespace tf {

CaptureContext MakeCaptureContext(SimRun& run, int frame, bool wholeBox) {
  CaptureContext c;
  c.run = &run;
  c.scene = run.node && run.node->GetScene() ? run.node->GetScene() : (run.domain ? run.domain->GetScene() : nullptr);
  const host::TimeSettings ts = c.scene ? c.scene->time : host::TimeSettings{};
  c.frame = frame;
  c.frameRate = ts.frameRate;
  c.metresPerUnit = ts.metresPerUnit;
  c.t = ts.FrameToTicks(frame);
  c.domainTM = run.node ? run.node->GetNodeTM(c.t) : host::Matrix3();
  c.grid = wholeBox ? run.grid : SolverGrid(run);
  if (!wholeBox && run.window.settings.on) c.gridOffset = run.window.cells.lo;
  c.cellSize = std::max(c.grid.cellSize, 1e-6f);
  const float inv = 1.0f / c.cellSize;
  c.W = c.domainTM.Inverse() *
        host::Matrix3::Translation({-c.grid.originX, -c.grid.originY, -c.grid.originZ}) *
        host::Matrix3::Scale({inv, inv, inv});
  c.R = c.domainTM.Inverse().RotationPart();
  return c;
}

// ---- Geometry of a node ----

namespace {
// Said once per run: the same input fails the same way on every frame.
void NoteProblem(RunCaptureState* state, const std::string& problem) {
  if (state && std::find(state->meshProblems.begin(), state->meshProblems.end(), problem) == state->meshProblems.end())
    state->meshProblems.push_back(problem);
}
}  // namespace

bool ReadMeshTriangles(const host::Node& node, host::TimeValue t, const host::Matrix3& W,
                       std::vector<host::Point3>& triangles, RunCaptureState* state) {
  triangles.clear();
  const host::Object* object = node.GetObject();
  if (!object || !object->CanConvertToTriMesh()) {
    // A light or a camera picked as a source or a collider stamps nothing; the bake says so.
    NoteProblem(state, "\"" + node.Name() + "\" gives no geometry (" +
                           (object ? "a " + std::string(object->ClassName()) + " has no mesh" : std::string("no object")) + ")");
    return false;
  }
  host::TriMesh mesh;
  std::string why;
  if (!object->GetTriMesh(t, mesh, &why) || !mesh.CheckIndices(&why) || mesh.faces.empty()) {
    // Said once per run: the same mesh fails the same way on every frame.
    const std::string problem = "the mesh of \"" + node.Name() + "\" cannot be used (" +
                                (why.empty() ? std::string("no triangles") : why) + ")";
    NoteProblem(state, problem);
    return false;
  }
  const host::Matrix3 toGrid = node.GetObjectTM(t) * W;
  triangles.reserve(mesh.faces.size() * 3);
  for (const auto& face : mesh.faces)
    for (int corner : face) triangles.push_back(toGrid.PointTransform(mesh.verts[size_t(corner)]));
  return true;
}

bool IsParticleSystem(const host::Node& node) {
  host::Object* object = node.GetObject();
  return object && object->GetParticleInterface();
}

bool ReadParticles(const host::Node& node, host::TimeValue t, const host::Matrix3& W, const host::Matrix3& R,
                   double metresPerUnit, std::vector<host::Point3>& positions,
                   std::vector<host::Point3>* velocities, RunCaptureState* state) {
  positions.clear();
  if (velocities) velocities->clear();
  host::Object* object = node.GetObject();
  host::ParticleObject* particles = object ? object->GetParticleInterface() : nullptr;
  if (!particles) return false;
  // A system whose source cannot be read this frame simply has no particles; the bake says why.
  std::string why;
  if (!particles->Update(t, &why)) {
    NoteProblem(state, "the particles of \"" + node.Name() + "\" cannot be used (" +
                           (why.empty() ? std::string("unreadable") : why) + ")");
    return true;
  }
  const host::Matrix3 nodeTM = node.GetNodeTM(t);
  const host::Matrix3 toGrid = nodeTM * W;
  const host::Matrix3 turn = nodeTM.RotationPart();
  const float perSecond = float(double(host::kTicksPerSecond) * metresPerUnit);
  const int count = std::max(particles->Count(), 0);
  if (state) {
    bool& gaveAny = state->particleSourcesGaveAny[node.Name()];
    gaveAny = gaveAny || count > 0;
  }
  positions.reserve(size_t(count));
  if (velocities) velocities->reserve(size_t(count));
  for (int i = 0; i < count; ++i) {
    positions.push_back(toGrid.PointTransform(particles->Position(i)));
    if (velocities)
      velocities->push_back(R.VectorTransform(turn.VectorTransform(particles->Velocity(i) * perSecond)));
  }
  return true;
}

// ---- Hair ----

bool ReadHairObject(const host::Node& node, host::TimeValue t, host::Node*& surface, float& length) {
  surface = nullptr;
  length = 0.0f;
  const host::Object* object = node.GetObject();
  if (!object || object->ClassName() != "TuftFx") return false;
  const host::ParamBlock* block = object->GetParamBlock(0);
  if (!block) return false;
  for (const host::ParamDef& def : block->Desc().params) {
    if (def.name == "surface") {
      surface = block->GetNode(def.id, t).value_or(nullptr);
    } else if (def.name == "length") {
      length = block->GetFloat(def.id, t).value_or(0.0f);
    }
  }
  return surface != nullptr;
}

// ---- The sibling fluid plug-in ----

namespace {

struct FluidBridgeCache {
  std::mutex mutex;
  const FluidBridgeTable* table = nullptr;
  bool moduleFound = false;
};

FluidBridgeCache& BridgeCache() {
  static FluidBridgeCache cache;
  return cache;
}

// The bridge, looked up once the sibling's module is loaded. Until then every call looks again,
// since loading the module is the sibling's business; once the module was found, its answer stands
// for the rest of the process.
const FluidBridgeTable* FluidBridge() {
  FluidBridgeCache& cache = BridgeCache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  if (cache.table || cache.moduleFound) return cache.table;
  host::ModuleHandle module = host::FindLoadedModule(kFluidModuleName);
  if (!module) return nullptr;
  cache.moduleFound = true;
  if (auto getBridge = host::FindModuleFunction<FluidGetBridgeFn>(module, kFluidBridgeExport)) {
    const FluidBridgeTable* table = getBridge();
    if (table && table->version >= 1 && table->isFluid && table->getParticles) cache.table = table;
  }
  return cache.table;
}

}  // namespace

bool ReadFluidParticles(host::Node& node, host::TimeValue t, const host::Matrix3& W, float invCellSize,
                        std::vector<host::Point3>& points, float& radiusCells) {
  points.clear();
  radiusCells = 0.0f;
  const FluidBridgeTable* bridge = FluidBridge();
  if (!bridge || !bridge->isFluid(&node)) return false;
  FluidParticleRecord record;
  std::memset(&record, 0, sizeof record);
  if (!bridge->getParticles(&node, t, &record)) return true;
  const float* m = record.transform;
  const host::Matrix3 M({m[0], m[1], m[2]}, {m[3], m[4], m[5]}, {m[6], m[7], m[8]}, {m[9], m[10], m[11]});
  const host::Matrix3 toGrid = M * W;
  if (record.particles && record.count > 0) {
    points.reserve(size_t(record.count));
    for (int32_t i = 0; i < record.count; ++i) {
      const float* p = record.particles + size_t(i) * 4;
      points.push_back(toGrid.PointTransform({p[0], p[1], p[2]}));
    }
  }
  radiusCells = record.spacing * 0.5f * host::Length(M.GetRow(0)) * invCellSize;
  if (!std::isfinite(radiusCells)) radiusCells = 0.0f;
  if (bridge->release) bridge->release(record.handle);
  return true;
}

// ---- Colliders ----

bool CaptureColliders(CaptureContext& frame, const std::vector<host::Node*>& nodes) {
  SimRun& run = *frame.run;
  RunCaptureState& state = run.capture;
  if (nodes.empty()) {
    if (state.solidsUploaded) {
      run.sim->SetSolids(nullptr);
      state.solidsUploaded = false;
    }
    return false;
  }
  const size_t cells = frame.Cells();
  std::vector<float> mask(cells, 0.0f);
  const CoverageGrid grid = frame.Grid(mask);
  for (host::Node* node : nodes) {
    // Only meshes make obstacles; a particle system is never one.
    if (IsParticleSystem(*node) || !ReadMeshTriangles(*node, frame.t, frame.W, state.trianglePoints, &state)) continue;
    FillClosedMesh(grid, state.trianglePoints);
    StampTriangleShell(grid, state.trianglePoints, 0.6f);
  }
  state.solids.resize(cells);
  float* solids = state.solids.data();
  const float* m = mask.data();
  const int64_t n = int64_t(cells);
#pragma omp parallel for schedule(static)
  for (int64_t i = 0; i < n; ++i) solids[i] = m[i] > 0.5f ? -1.0f : 1.0f;
  run.sim->SetSolids(solids);
  state.solidsUploaded = true;
  return true;
}

// ---- Force fields ----

void CaptureForceFields(CaptureContext& frame, const std::vector<host::Node*>& nodes) {
  SimRun& run = *frame.run;
  RunCaptureState& state = run.capture;
  if (nodes.empty()) {
    run.sim->SetForceField(nullptr, nullptr, nullptr);
    return;
  }
  const size_t cells = frame.Cells();
  state.forceX.assign(cells, 0.0f);
  state.forceY.assign(cells, 0.0f);
  state.forceZ.assign(cells, 0.0f);
  const int nx = frame.grid.nx, ny = frame.grid.ny, nz = frame.grid.nz;
  const host::Matrix3 G = frame.W.Inverse();
  const host::Matrix3 D = frame.domainTM.Inverse();
  // Scene units per tick squared to metres per second squared: 4800^2 = 2.304e7.
  const float toMetres = float(frame.metresPerUnit) * 2.304e7f;
  const CoverageGrid layout{nullptr, nx, ny, nz};
  for (host::Node* node : nodes) {
    const host::Object* object = node->GetObject();
    if (!object || object->GetSuperClassId() != host::kWsModifierSuperClass) continue;
    std::unique_ptr<host::ForceField> field = object->GetForceField(*node);
    if (!field) continue;
    int index = 0;
    for (int z0 = 0; z0 < nz; z0 += 4)
      for (int y0 = 0; y0 < ny; y0 += 4)
        for (int x0 = 0; x0 < nx; x0 += 4) {
          const host::Point3 p = G.PointTransform({float(x0 + 2), float(y0 + 2), float(z0 + 2)});
          host::Point3 a = field->Force(frame.t, p, {0.0f, 0.0f, 0.0f}, index++) * toMetres;
          if (!std::isfinite(a.x) || !std::isfinite(a.y) || !std::isfinite(a.z)) {
            a = {0.0f, 0.0f, 0.0f};
            // A long bake of a large grid could count past the int; the count stops at its top.
            if (state.invalidForceSamples < std::numeric_limits<int>::max()) ++state.invalidForceSamples;
          } else if (const float len = host::Length(a); len > 2000.0f) {
            a = a * (2000.0f / len);
          }
          a = D.VectorTransform(a);
          for (int z = z0; z < std::min(z0 + 4, nz); ++z)
            for (int y = y0; y < std::min(y0 + 4, ny); ++y)
              for (int x = x0; x < std::min(x0 + 4, nx); ++x) {
                const size_t i = layout.Index(x, y, z);
                state.forceX[i] += a.x;
                state.forceY[i] += a.y;
                state.forceZ[i] += a.z;
              }
        }
    // The field reads its node and object, so it goes before the frame ends.
    field.reset();
  }
  run.sim->SetForceField(state.forceX.data(), state.forceY.data(), state.forceZ.data());
}

// ---- Events ----

namespace {

// path|minimum energy|low and high 32 bits of the file's modification time; empty without a file.
std::string EventsKey(const std::string& path, float minEnergy) {
  if (path.empty()) return {};
  std::error_code ec;
  const auto stamp = std::filesystem::last_write_time(path, ec);
  if (ec) return {};
  const uint64_t ticks = uint64_t(stamp.time_since_epoch().count());
  char tail[96];
  std::snprintf(tail, sizeof tail, "|%g|%lu|%lu", double(minEnergy), static_cast<unsigned long>(ticks & 0xffffffffu),
                static_cast<unsigned long>(ticks >> 32));
  return path + tail;
}

}  // namespace

void StampEvents(CaptureContext& frame, std::vector<float>& emitter, VelocityGrids* velocities, float emitSpeed) {
  SimRun& run = *frame.run;
  RunCaptureState& state = run.capture;
  const host::ParamBlock* block = run.domain ? run.domain->GetParamBlockById(kFireParamBlockId) : nullptr;
  if (!block) return;
  const float minEnergy = block->GetFloat(kEventsMinEnergy, frame.t).value_or(1.0f);
  const float radiusUnits = block->GetFloat(kEventsRadius, frame.t).value_or(10.0f);
  const float burnTime = block->GetFloat(kEventsBurnTime, frame.t).value_or(3.0f);
  const bool unitsMetres = block->GetInt(kEventsUnits, frame.t).value_or(0) == 1;

  const std::string key = EventsKey(EventsFilePath(*run.domain), minEnergy);
  if (key != state.eventsKey) {
    state.eventsKey = key;
    if (key.empty()) {
      state.events.clear();
      state.eventsInMetres = false;
    } else {
      ReadEventsFile(EventsFilePath(*run.domain), minEnergy, state.events, state.eventsInMetres);
    }
  }
  if (state.events.empty()) return;

  const float toUnits = (unitsMetres || state.eventsInMetres) ? float(1.0 / frame.metresPerUnit) : 1.0f;
  const float R = radiusUnits / frame.cellSize;
  const int rate = frame.frameRate;
  const int dustFrames = std::max(rate / 2, 1);
  const double burnFrames = std::clamp(std::round(double(rate) * double(burnTime)), 1.0, 1e9);
  const int64_t V = int64_t(burnFrames);
  const CoverageGrid grid = frame.Grid(emitter);
  float* e = emitter.data();

  for (const ImpactEvent& ev : state.events) {
    const int64_t d = int64_t(frame.frame) - int64_t(ev.frame);
    const host::Point3 p = frame.W.PointTransform(host::Point3(ev.x, ev.y, ev.z) * toUnits);
    if (ev.kind == 2) {
      if (d < 0 || d > dustFrames) continue;
      ForEachSphereCell(grid, p, std::max(R, 0.75f), [e](size_t i, float coverage) {
        if (e[i] <= 0.0f) e[i] = std::min(-std::min(coverage, 1.0f), e[i]);
      });
      continue;
    }
    float strength = 0.0f, radius = 0.0f;
    if (ev.kind == 1) {
      if (d < 0 || d > V) continue;
      strength = (1.0f - float(d) / float(V + 1)) * 1.2f;
      const float relative = ev.energy / std::max(minEnergy, 1e-6f);
      radius = std::min(0.5f + 0.5f * std::sqrt(std::max(relative, 1.0f)), 2.0f) * R;
    } else {
      if (d < 0 || d > 1) continue;
      strength = 1.5f;
      radius = R * 0.5f;
    }
    if (!(radius > 0.0f)) continue;
    ForEachSphereCell(grid, p, std::max(radius, 0.75f), [&](size_t i, float coverage) {
      const float value = std::min(coverage, 1.0f) * strength;
      if (e[i] <= 0.0f || e[i] <= value) {
        e[i] = value;
        if (velocities) {
          (*velocities)[0][i] = 0.0f;
          (*velocities)[1][i] = 0.0f;
          (*velocities)[2][i] = emitSpeed;
        }
      }
    });
  }
}

}  // namespace tf
