#include "capture/capture_scene.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <exception>
#include <vector>

#include "capture/build_fire_params.h"
#include "capture/scene_inputs.h"
#include "capture/voxelize.h"
#include "device/device_math.h"
#include "domain/fire_params_desc.h"
#include "host/scene/objects.h"
#include "host/scene/scene.h"

namespace tf {
namespace {

void ParallelZero(std::vector<float>& values) {
  float* v = values.data();
  const int64_t n = int64_t(values.size());
#pragma omp parallel for schedule(static)
  for (int64_t i = 0; i < n; ++i) v[i] = 0.0f;
}

std::vector<host::Node*> NodeList(const host::ParamBlock& block, int id) {
  std::vector<host::Node*> nodes = block.GetNodes(id);
  nodes.erase(std::remove(nodes.begin(), nodes.end(), nullptr), nodes.end());
  return nodes;
}

// Everything one frame of capture works with.
class SceneCapture {
 public:
  SceneCapture(SimRun& run, const host::ParamBlock& block, int frame, bool wholeBox = false)
      : run_(run),
        state_(run.capture),
        block_(block),
        ctx_(MakeCaptureContext(run, frame, wholeBox)),
        cells_(ctx_.Cells()) {}

  void Run();
  // The box of cells of the frame's fire sources, dust sources and events (empty when none).
  CellBox Sources();

 private:
  host::TimeValue T() const { return ctx_.t; }
  CoverageGrid Grid(std::vector<float>& values) const { return ctx_.Grid(values); }
  std::vector<host::Point3>& Triangles() { return state_.trianglePoints; }
  std::vector<host::Point3>& Positions() { return state_.particlePositions; }

  void FollowDomain();
  void Emitters();
  void EmitterNode(host::Node& node, std::vector<float>& source);
  void StampParticleVelocities(host::Node& node, const CoverageGrid& grid);
  bool StampParticles(host::Node& node, const CoverageGrid& grid, float radius);
  bool StampMesh(host::Node& node, const CoverageGrid& grid, bool volume, float thickness);
  void DustSources();
  void Flammables();
  void Flicker();
  void Extinguishers(const std::vector<host::Node*>& nodes, bool solidsThisFrame);

  SimRun& run_;
  RunCaptureState& state_;
  const host::ParamBlock& block_;
  CaptureContext ctx_;
  size_t cells_;
  FireParams params_;
  int emitDirMode_ = 0;
  float inheritMotion_ = 0.0f;
  bool velocitiesActive_ = false;
  std::vector<float> emitter_;
  VelocityGrids velocity_;
};

void SceneCapture::Run() {
  // 1. Settings at the frame's time; a live run has substeps of its own.
  const host::TimeSettings timeSettings = ctx_.scene ? ctx_.scene->time : host::TimeSettings{};
  params_ = BuildFireParams(block_, T(), timeSettings, run_.grid);
  if (run_.live) params_.substeps = std::max(block_.GetInt(kLiveSubsteps, T()).value_or(1), 1);
  run_.sim->SetEmission(params_.emission);

  // 2. The node lists, without deleted entries. 3. W and R are in the context.
  const std::vector<host::Node*> colliders = NodeList(block_, kColliders);
  const std::vector<host::Node*> forces = NodeList(block_, kForces);
  const std::vector<host::Node*> extinguishers = NodeList(block_, kExtinguishers);

  // 4. A domain that moved.
  FollowDomain();

  // 5. Emitter velocities.
  emitDirMode_ = block_.GetInt(kEmitDirMode, T()).value_or(0);
  inheritMotion_ = block_.GetFloat(kInheritMotion, T()).value_or(0.0f);
  velocitiesActive_ = emitDirMode_ != 0 || inheritMotion_ > 0.0f;
  if (velocitiesActive_)
    for (std::vector<float>& v : velocity_) v.assign(cells_, 0.0f);

  // 6 to 8. Fire sources, dust sources and events into the emitter grid.
  emitter_.assign(cells_, 0.0f);
  Emitters();
  DustSources();
  StampEvents(ctx_, emitter_, velocitiesActive_ ? &velocity_ : nullptr, params_.emission.emitSpeed);

  // 9. Emitter velocities, or their removal once.
  if (velocitiesActive_) {
    run_.sim->SetEmitterVelocity(velocity_[0].data(), velocity_[1].data(), velocity_[2].data());
    state_.velocityUploaded = true;
  } else if (state_.velocityUploaded) {
    run_.sim->SetEmitterVelocity(nullptr, nullptr, nullptr);
    state_.velocityUploaded = false;
  }

  // 10 to 12.
  Flammables();
  if (params_.emitNoise > 0.0f) Flicker();
  run_.sim->SetEmitterMask(emitter_.data());

  // 13. Obstacles, water and force fields.
  const bool solidsThisFrame = CaptureColliders(ctx_, colliders);
  Extinguishers(extinguishers, solidsThisFrame);
  CaptureForceFields(ctx_, forces);

  // 14.
  run_.sim->Step(params_);
}

CellBox SceneCapture::Sources() {
  const host::TimeSettings timeSettings = ctx_.scene ? ctx_.scene->time : host::TimeSettings{};
  params_ = BuildFireParams(block_, T(), timeSettings, ctx_.grid);
  emitter_.assign(cells_, 0.0f);
  Emitters();
  DustSources();
  StampEvents(ctx_, emitter_, nullptr, params_.emission.emitSpeed);
  // Fire sources are positive, dust negative.
  return BoundsWhere(emitter_.data(), ctx_.grid.nx, ctx_.grid.ny, ctx_.grid.nz, [](float e) { return e != 0.0f; });
}

void SceneCapture::FollowDomain() {
  const bool worldSpace = block_.GetBool(kWorldSpace, T()).value_or(true);
  if (worldSpace && state_.hasPreviousTM) {
    // Where the grid's origin of this frame lay in the previous frame's grid, in cells.
    const host::Point3 origin(run_.grid.originX, run_.grid.originY, run_.grid.originZ);
    const host::Point3 before = state_.previousTM.Inverse().PointTransform(ctx_.domainTM.PointTransform(origin));
    const host::Point3 moved = (before - origin) / ctx_.cellSize;
    int shift[3] = {0, 0, 0};
    for (int a = 0; a < 3; ++a) {
      const float cells = moved[a] + state_.motionRemainder[size_t(a)];
      if (!std::isfinite(cells)) {
        state_.motionRemainder[size_t(a)] = 0.0f;
        continue;
      }
      // Halves round away from zero; far beyond the grid every shift empties it alike.
      const float whole = std::round(std::clamp(cells, -1.0e7f, 1.0e7f));
      shift[a] = int(whole);
      state_.motionRemainder[size_t(a)] = cells - whole;
    }
    if (shift[0] != 0 || shift[1] != 0 || shift[2] != 0) run_.sim->Shift(shift[0], shift[1], shift[2]);
  }
  state_.previousTM = ctx_.domainTM;
  state_.hasPreviousTM = true;
}

bool SceneCapture::StampParticles(host::Node& node, const CoverageGrid& grid, float radius) {
  if (!ReadParticles(node, T(), ctx_.W, ctx_.R, ctx_.metresPerUnit, Positions(), nullptr, &state_)) return false;
  for (const host::Point3& p : Positions()) StampSphere(grid, p, radius);
  return true;
}

bool SceneCapture::StampMesh(host::Node& node, const CoverageGrid& grid, bool volume, float thickness) {
  if (!ReadMeshTriangles(node, T(), ctx_.W, Triangles(), &state_)) return false;
  if (volume) FillClosedMesh(grid, Triangles());
  StampTriangleShell(grid, Triangles(), thickness);
  return true;
}

void SceneCapture::Emitters() {
  std::vector<float> source(cells_, 0.0f);
  const std::vector<host::Node*> nodes = NodeList(block_, kEmitters);
  for (host::Node* node : nodes) EmitterNode(*node, source);
}

// A particle system whose particles push the gas their own way: each particle stamps its sphere
// into the coverage grid, and its velocity goes straight into the velocity grids around it.
void SceneCapture::StampParticleVelocities(host::Node& node, const CoverageGrid& grid) {
  ReadParticles(node, T(), ctx_.W, ctx_.R, ctx_.metresPerUnit, Positions(), &state_.particleVelocities, &state_);
  const float radius = params_.surfThickness;
  const double reach = std::min(std::ceil(double(std::max(radius, 0.0f))), 1.0e7);
  const int nx = ctx_.grid.nx, ny = ctx_.grid.ny, nz = ctx_.grid.nz;
  for (size_t k = 0; k < Positions().size(); ++k) {
    const host::Point3 p = Positions()[k];
    StampSphere(grid, p, radius);
    const host::Point3 pv = state_.particleVelocities[k];
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) continue;
    int x0, x1, y0, y1, z0, z1;
    const double cx = std::trunc(double(p.x)), cy = std::trunc(double(p.y)), cz = std::trunc(double(p.z));
    if (!detail::ClipRange(cx - reach, cx + reach, nx, x0, x1) ||
        !detail::ClipRange(cy - reach, cy + reach, ny, y0, y1) ||
        !detail::ClipRange(cz - reach, cz + reach, nz, z0, z1))
      continue;
    for (int z = z0; z <= z1; ++z)
      for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) {
          const size_t i = grid.Index(x, y, z);
          velocity_[0][i] = pv.x;
          velocity_[1][i] = pv.y;
          velocity_[2][i] = pv.z;
        }
  }
}

void SceneCapture::EmitterNode(host::Node& node, std::vector<float>& source) {
  ParallelZero(source);
  const CoverageGrid grid = Grid(source);
  const float emitSpeed = params_.emission.emitSpeed;
  host::Point3 v(0.0f, 0.0f, emitSpeed);
  if (emitDirMode_ == 1) v = host::Normalize(ctx_.R.VectorTransform(node.GetNodeTM(T()).GetRow(2))) * emitSpeed;
  if (inheritMotion_ > 0.0f) {
    const host::TimeValue previous = T() - (ctx_.scene ? ctx_.scene->time.TicksPerFrame() : host::TimeSettings().TicksPerFrame());
    const host::Point3 moved = node.GetNodeTM(T()).GetTrans() - node.GetNodeTM(previous).GetTrans();
    const host::Point3 world = moved * float(double(ctx_.frameRate) * ctx_.metresPerUnit);
    v += ctx_.R.VectorTransform(world) * inheritMotion_;
  }
  float* e = emitter_.data();
  const float* s = source.data();
  const int64_t n = int64_t(cells_);

  // Particles that push the gas their own way: their velocities go straight into the grids.
  if (emitDirMode_ == 2 && IsParticleSystem(node)) {
    StampParticleVelocities(node, grid);
#pragma omp parallel for schedule(static)
    for (int64_t i = 0; i < n; ++i) e[i] = std::max(e[i], s[i]);
    return;
  }

  host::Node* surface = nullptr;
  float hairLength = 0.0f;
  float fluidRadius = 0.0f;
  if (ReadHairObject(node, T(), surface, hairLength)) {
    StampMesh(*surface, grid, false, std::max(hairLength / ctx_.cellSize, 0.75f));
  } else if (!run_.live && ReadFluidParticles(node, T(), ctx_.W, 1.0f / ctx_.cellSize, Positions(), fluidRadius)) {
    // Fluid particles are a bake's business: live mode does not wait for the sibling.
    const float radius = std::max(params_.surfThickness, fluidRadius);
    for (const host::Point3& p : Positions()) StampSphere(grid, p, radius);
  } else if (!StampParticles(node, grid, params_.surfThickness)) {
    if (params_.emitMode == 1) {
      StampMesh(node, grid, false, params_.surfThickness);
    } else {
      StampMesh(node, grid, true, 0.5f);
    }
  }

  // Ties go to the later source, so that the list order decides between equal coverages.
  const bool withVelocity = velocitiesActive_;
  float* vx = withVelocity ? velocity_[0].data() : nullptr;
  float* vy = withVelocity ? velocity_[1].data() : nullptr;
  float* vz = withVelocity ? velocity_[2].data() : nullptr;
#pragma omp parallel for schedule(static)
  for (int64_t i = 0; i < n; ++i) {
    const float x = s[i];
    if (x > 0.0f && x >= e[i]) {
      e[i] = x;
      if (withVelocity) {
        vx[i] = v.x;
        vy[i] = v.y;
        vz[i] = v.z;
      }
    }
  }
}

void SceneCapture::DustSources() {
  const std::vector<host::Node*> nodes = NodeList(block_, kDustSources);
  if (nodes.empty()) return;
  const float amount = std::max(params_.emission.smokeRate, 0.0f) * 0.25f;
  std::vector<float> source(cells_, 0.0f);
  const CoverageGrid grid = Grid(source);
  float* e = emitter_.data();
  const float* s = source.data();
  const int64_t n = int64_t(cells_);
  for (host::Node* node : nodes) {
    ParallelZero(source);
    if (!StampParticles(*node, grid, params_.surfThickness)) {
      if (params_.emitMode == 1) {
        StampMesh(*node, grid, false, params_.surfThickness);
      } else {
        StampMesh(*node, grid, true, 0.5f);
      }
    }
    // Fire wins over dust: only cells without fire take it.
#pragma omp parallel for schedule(static)
    for (int64_t i = 0; i < n; ++i) {
      const float b = s[i];
      if (b > 0.0f && e[i] <= 0.0f) e[i] = std::min(-b * amount, e[i]);
    }
  }
}

void SceneCapture::Flammables() {
  const std::vector<host::Node*> nodes = NodeList(block_, kFlammables);
  const float fuel = block_.GetFloat(kFlamFuel, T()).value_or(4.0f);
  const float burnTime = block_.GetFloat(kBurnTime, T()).value_or(8.0f);
  if (nodes.empty()) {
    if (state_.flammablesUploaded) {
      run_.sim->SetFlammables(nullptr, fuel, burnTime);
      state_.flammablesUploaded = false;
    }
    return;
  }
  std::vector<float> mask(cells_, 0.0f);
  const CoverageGrid grid = Grid(mask);
  for (host::Node* node : nodes) {
    host::Node* surface = nullptr;
    float hairLength = 0.0f;
    if (ReadHairObject(*node, T(), surface, hairLength)) {
      StampMesh(*surface, grid, false, std::max(hairLength / ctx_.cellSize, 0.75f));
    } else if (!StampParticles(*node, grid, params_.surfThickness)) {
      StampMesh(*node, grid, false, std::max(params_.surfThickness, 0.75f));
    }
  }
  run_.sim->SetFlammables(mask.data(), fuel, burnTime);
  state_.flammablesUploaded = true;
}

void SceneCapture::Flicker() {
  const float tau = 3.0f * float(ctx_.frame) / float(std::max(ctx_.frameRate, 1));
  const float f = run_.grid.cellSizeM / 0.0156f * 0.07f;
  const float amount = params_.emitNoise;
  const int nx = ctx_.grid.nx, ny = ctx_.grid.ny, nz = ctx_.grid.nz;
  // The flicker is a pattern of the box's cells, so that it stays in place when a window moves.
  const Int3 o = ctx_.gridOffset;
  float* e = emitter_.data();
#pragma omp parallel for schedule(dynamic, 4)
  for (int z = 0; z < nz; ++z)
    for (int y = 0; y < ny; ++y)
      for (int x = 0; x < nx; ++x) {
        float& c = e[size_t(x) + size_t(nx) * (size_t(y) + size_t(ny) * size_t(z))];
        if (c <= 0.0f) continue;
        const float noise =
            DetailNoise(float(x + o.x) * f, float(y + o.y) * f, float(z + o.z) * f - 1.2f * tau);
        c = std::min(c * (1.0f - amount + 2.0f * amount * noise), 1.5f);
      }
}

void SceneCapture::Extinguishers(const std::vector<host::Node*>& nodes, bool solidsThisFrame) {
  const float quenchRadius = block_.GetFloat(kQuenchRadius, T()).value_or(2.0f);
  const float strength = block_.GetFloat(kQuenchStrength, T()).value_or(8.0f);
  const float steam = block_.GetFloat(kSteam, T()).value_or(0.5f);
  if (nodes.empty()) {
    if (state_.quenchUploaded) {
      run_.sim->SetQuench(nullptr, strength, steam);
      state_.quenchUploaded = false;
    }
    return;
  }
  std::vector<float> quench(cells_, 0.0f);
  const CoverageGrid grid = Grid(quench);
  const float radius = quenchRadius / ctx_.cellSize;
  for (host::Node* node : nodes) {
    float fluidRadius = 0.0f;
    if (!run_.live && ReadFluidParticles(*node, T(), ctx_.W, 1.0f / ctx_.cellSize, Positions(), fluidRadius)) {
      for (const host::Point3& p : Positions()) StampSphere(grid, p, std::max(radius, fluidRadius));
    } else if (!StampParticles(*node, grid, radius)) {
      StampMesh(*node, grid, true, 0.6f);
    }
  }
  run_.sim->SetQuench(quench.data(), strength, steam);
  state_.quenchUploaded = true;

  if (!block_.GetBool(kWaterBlocks, T()).value_or(true)) return;
  // Water is an obstacle too: its dense cells join the colliders of this frame.
  if (!solidsThisFrame) state_.solids.assign(cells_, 1.0f);
  float* solids = state_.solids.data();
  const float* q = quench.data();
  const int64_t n = int64_t(cells_);
#pragma omp parallel for schedule(static)
  for (int64_t i = 0; i < n; ++i)
    if (q[i] > 0.6f) solids[i] = -1.0f;
  run_.sim->SetSolids(solids);
  state_.solidsUploaded = true;
}

}  // namespace

CellBox CaptureSourceBox(SimRun& run, int frame) {
  const host::ParamBlock* block = run.domain ? run.domain->GetParamBlockById(kFireParamBlockId) : nullptr;
  if (!block) return {};
  try {
    SceneCapture capture(run, *block, frame, true);
    return capture.Sources();
  } catch (const std::exception&) {
    return {};  // only allocation can fail: the window then follows the content alone
  }
}

void CaptureScene(SimRun& run, int frame) {
  if (!run.sim || !run.domain) return;
  const host::ParamBlock* block = run.domain->GetParamBlockById(kFireParamBlockId);
  if (!block) return;
  try {
    SceneCapture capture(run, *block, frame);
    capture.Run();
  } catch (const std::exception&) {
    // Only allocation can fail here (grids of a frame); the frame is left out and the run goes on.
  }
}

}  // namespace tf
