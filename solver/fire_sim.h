// The grid solver. One FireSim owns every array of one simulation run on one compute device (an
// NVIDIA GPU through the CUDA runtime, or the CPU with OpenMP), advances it frame by frame and
// hands its fields back to the rest of the system. Positions inside the solver are in cells,
// lengths in metres, velocities in m/s, times in seconds, z is up; temperature is normalised
// (0 at 300 K, 1 at 1300 K).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "device/gpu_memory.h"  // GpuPresent, for callers choosing a device

namespace tf {

struct GridDesc {
  int32_t nx = 128;
  int32_t ny = 128;
  int32_t nz = 128;
  float cellSize = 0.05f;  // edge of a cubic cell, metres
};

// Open sides in the order x-, x+, y-, y+, z-, z+.
using OpenSides = std::array<bool, 6>;
inline constexpr OpenSides kDefaultOpenSides = {true, true, true, true, false, true};

struct EmissionParams {
  float fuelRate = 4.0f;   // fuel per second at full coverage
  float emitTemp = 0.6f;   // normalised temperature of emitted gas
  float smokeRate = 0.0f;  // density per second
  float emitSpeedX = 0.0f;
  float emitSpeedY = 0.0f;
  float emitSpeed = 0.0f;  // emitter outflow along +z, m/s
  float emitBlend = 0.0f;  // fraction of the face velocity pulled to the emitter velocity per substep
};

// Every per-step setting of the solver; passed by constant reference and never modified by it.
struct FireParams {
  float frameTime = 1.0f / 30.0f;
  int32_t substeps = 1;
  float smokeWeight = 0.05f;
  float buoyancy = 2.0f;
  float vorticity = 4.0f;
  float ignitionTemp = 0.25f;
  float burnRate = 6.0f;
  float heat = 2.5f;
  float smokeYield = 0.6f;
  float expansion = 0.6f;
  float fuelDecay = 0.0f;
  float smokeDissipate = 0.15f;
  float cooling = 1.2f;
  float radiativeCooling = 0.6f;
  float windX = 0.0f;
  float windY = 0.0f;
  float windZ = 0.0f;
  float windDrag = 0.0f;
  float pressureTolerance = 0.0001f;
  int32_t maxPressureIterations = 60;
  float turbulence = 0.0f;
  float turbScale = 0.25f;
  float time = 0.0f;
  EmissionParams emission;
  OpenSides openSides = kDefaultOpenSides;
  int32_t emitMode = 0;
  float surfThickness = 1.0f;
  float emitNoise = 0.5f;
  bool useGpu = true;
  bool exportVelocity = false;
  int32_t startFrame = 0;
  int32_t endFrame = 100;
};

enum class FieldId : int32_t {
  Density = 0,
  Temperature = 1,
  Fuel = 2,
  Flame = 3,
  Speed = 4,
  Solid = 5,
  EmitterMask = 6,
  VelX = 7,
  VelY = 8,
  VelZ = 9,
  Dust = 10,
};

struct SolverStats {
  int32_t iterations = 0;       // pressure iterations of the last projection
  float maxDivergence = 0.0f;   // MaxDivergence() after the last step
  float stepMs = 0.0f;          // wall time of the last Step
  uint64_t bytesAllocated = 0;  // bytes of all array memory currently held
};

// One level of the pressure solver's multigrid pyramid; level 0 has the grid's extents.
struct Level {
  int32_t nx = 0, ny = 0, nz = 0;
  float* x = nullptr;        // solution
  float* b = nullptr;        // right-hand side
  float* r = nullptr;        // residual
  uint8_t* solid = nullptr;  // 1 = solid cell
  // Host memory, kept where the CPU runs the solve (empty on the GPU): per row (j, k), 1 when the
  // row and its four neighbour rows lie inside the level and hold no wall.
  std::vector<uint8_t> openRows;
};

struct Int3 {
  int32_t x = 0, y = 0, z = 0;
  friend bool operator==(const Int3&, const Int3&) = default;
};

// Extents of the multigrid pyramid a grid gets: halve (n + 1) / 2 per level until a side is 8 or
// less, at most 10 levels. Computed without allocating anything.
std::vector<Int3> PyramidExtents(const GridDesc& grid);

class FireSim {
 public:
  struct Impl;

  FireSim();
  ~FireSim();
  FireSim(const FireSim&) = delete;
  FireSim& operator=(const FireSim&) = delete;

  // Creation and state (always answer, ready or not).
  bool Create(const GridDesc& grid, const OpenSides& openSides, bool useGpu);
  void Release();
  const char* LastError() const;
  bool UsesGpu() const;
  // The grid its arrays were made for; meaningful while the solver is ready.
  GridDesc Grid() const;
  SolverStats Stats() const;

  // Moves the run onto another grid of the same cell size whose cell (0, 0, 0) is cell `offset`
  // of the current one, with new open sides: the state keeps its values where the two grids
  // overlap, new cells start empty and at rest, and the colliders and other per-frame inputs are
  // to be uploaded again. False, with the solver as it was, when the device cannot hold the new
  // grid or the grid is not one the solver accepts.
  bool Resize(const GridDesc& grid, const Int3& offset, const OpenSides& openSides);

  // One frame of simulated time, in substeps. False when the solver is not ready, or when the
  // device reports that a launch or transfer of the step failed: LastError() then says so, and
  // the solver is no longer ready (its state is not to be trusted).
  bool Step(const FireParams& params);

  // Per-frame inputs: host arrays of nx*ny*nz floats, x fastest; null means absent this frame.
  bool SetSolids(const float* values);
  void SetEmission(const EmissionParams& emission);
  bool SetEmitterMask(const float* values);
  bool SetEmitterVelocity(const float* x, const float* y, const float* z);
  bool SetForceField(const float* x, const float* y, const float* z);
  bool SetFlammables(const float* mask, float flamFuel, float burnTime);
  bool SetQuench(const float* mask, float quenchStrength, float steam);

  // Read-back and domain shift.
  bool CopyField(FieldId id, float* out);
  double Total(FieldId id);
  float MaxDivergence();
  void Shift(int dx, int dy, int dz);

  // The private state, for the solver's own phases and white-box tests.
  Impl& Internals() { return *impl; }

 private:
  std::unique_ptr<Impl> impl;
};

}  // namespace tf
