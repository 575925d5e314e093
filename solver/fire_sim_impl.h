// FireSim's private state and its phases. Members follow the solver's array inventory; every
// array pointer refers to device memory on the GPU path and to host memory otherwise. Back
// buffers are exchanged with their fields by swapping pointers, so always use the member, never
// a pointer kept from before a phase.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "device/exec.h"
#include "device/grid_index.h"
#include "device/launch_graph.h"
#include "solver/fire_sim.h"

namespace tf {

// Per row (j, k) of cells, two ints each: where the scalars hold data, the same spread by how far
// a step reads, and room for the spreading. Host memory; the CPU's scalar advection uses them.
struct RowSpans {
  std::vector<int32_t> data, tmp, spans;
};

// The pressure solve's scalars, in device memory. The reductions write into it and one-thread
// launches read and update it, so that the iterations need nothing from the host: the host queues
// several at once and reads the state back once they have run. `stopped` is the flag every launch
// of the solve is skipped on (Exec::skip).
struct SolveState {
  double tau;                  // the residual to reach
  double rho, rhoNext, sigma;  // r.z, the next r.z, d.Ad
  uint32_t residual;           // float bits of the largest |r|
  int32_t stopped;
  int32_t iteration;           // the iteration under way, from 1
  int32_t maxIterations;
  int32_t iterations;          // the count to report, once stopped
  float alpha, beta;
};

// The extents of a solver array: one of the three face arrays' or the cells'.
enum class ArrayShape : uint8_t { FaceX, FaceY, FaceZ, Cells };


// One float array of the solver. Every array is listed once, in kArrays (fire_sim_impl.cpp), and
// creation, release, resize, shift and saved states all walk that list, so an array added there is
// allocated, freed, moved and saved without anything else to change.
using ArrayMember = float* FireSim::Impl::*;

struct ArraySlot {
  ArrayMember member;
  ArrayShape shape;
  // 0: allocated at creation on its own. 1 or 2: a member of that block of four (which hold
  // nothing from one phase to the next), at position `inBlock`. 3: an optional input, allocated
  // on its first upload.
  uint8_t block;
  uint8_t inBlock;
  // Its tag in a saved state, 0 when it is not part of the state carried from frame to frame.
  // The state's arrays are also the ones a domain shift moves.
  uint32_t tag;
  // The back buffer a shift of this array may use as its temporary (null: `scratch`).
  ArrayMember backBuffer;
};
inline constexpr uint8_t kOptionalArray = 3;

struct FireSim::Impl {
  bool useGpu = false;
  void* stream = nullptr;  // cudaStream_t
  double* devSum = nullptr;
  uint32_t* devMax = nullptr;
  double* hostSum = nullptr;
  uint32_t* hostMax = nullptr;
  GridDesc grid;
  OpenSides openSides = kDefaultOpenSides;
  int32_t openMask = 0;
  bool ready = false;
  char error[256] = {};
  SolverStats stats;
  EmissionParams emission;

  // Face velocities and their back buffers.
  float* u = nullptr;
  float* uNext = nullptr;
  float* v = nullptr;
  float* vNext = nullptr;
  float* w = nullptr;
  float* wNext = nullptr;
  // The twenty cell arrays.
  float* density = nullptr;
  float* temperature = nullptr;
  float* fuel = nullptr;
  float* densityNext = nullptr;
  float* temperatureNext = nullptr;
  float* fuelNext = nullptr;
  float* dust = nullptr;
  float* dustNext = nullptr;
  float* flame = nullptr;
  float* emitterMask = nullptr;
  float* targetDivergence = nullptr;
  float* pressure = nullptr;
  // Two blocks of four arrays that hold nothing from one phase to the next, each one allocation
  // of four cell arrays end to end (the first member points at its start). A pass that has all
  // four free may use a block as one array of four floats per cell, as the scalar advection does.
  float* scratch = nullptr;
  float* scratch2 = nullptr;
  float* cellForceX = nullptr;
  float* cellForceY = nullptr;
  float* cellForceZ = nullptr;
  float* divergence = nullptr;
  float* pcgSearch = nullptr;
  float* pcgProduct = nullptr;
  // Optional inputs, allocated on their first upload and kept until Release.
  float* extForceX = nullptr;
  float* extForceY = nullptr;
  float* extForceZ = nullptr;
  float* quenchMask = nullptr;
  float* emitVelX = nullptr;
  float* emitVelY = nullptr;
  float* emitVelZ = nullptr;
  float* flammableMask = nullptr;
  float* burnAge = nullptr;
  // Fluid cells that no open side can be reached from (closed in by colliders and closed sides),
  // derived from the collider mask by SetSolids; allocated the first time such a pocket exists.
  uint8_t* sealed = nullptr;
  bool hasSealed = false;
  // The smallest box of cells holding every solid cell (lo > hi on an axis when there is none),
  // set with the mask by SetSolids: FaceBC looks for solid neighbours only there.
  int solidLo[3] = {0, 0, 0};
  int solidHi[3] = {-1, -1, -1};
  bool hasExtForce = false;
  bool hasQuench = false;
  bool hasEmitVel = false;
  bool hasFlammable = false;
  float flamFuel = 4.0f;
  float burnTime = 8.0f;
  float quenchStrength = 8.0f;
  float steam = 0.5f;

  std::vector<Level> levels;  // finest first
  RowSpans scalarRows;
  // The multigrid preconditioner's launches, recorded on first use for the life of the arrays.
  LaunchGraph preconditioner;
  // The pressure solve's state (device memory) and the host's copy of it (the same memory on
  // the CPU path); runs of 1, 2, 4 and 8 iterations, recorded like the preconditioner; how many
  // iterations the last solve took, which the next one queues before it first looks.
  SolveState* solve = nullptr;
  SolveState* solveHost = nullptr;
  LaunchGraph iterationRuns[4];
  int lastIterations = 0;

  Exec exec() const { return Exec{useGpu, stream, devSum, devMax, hostSum, hostMax}; }
  // exec(), every launch skipped once the pressure solve has stopped.
  Exec solveExec() const {
    Exec ex = exec();
    ex.skip = &solve->stopped;
    return ex;
  }
  Dims dims() const { return Dims{grid.nx, grid.ny, grid.nz}; }
  int cellCount() const { return grid.nx * grid.ny * grid.nz; }
  size_t cellBytes() const { return size_t(cellCount()) * sizeof(float); }

  bool create(const GridDesc& g, const OpenSides& sides, bool wantGpu);
  // Moves the solver onto grid `g`, whose cell (0, 0, 0) is cell `offset` of the current grid:
  // every array is reallocated and every array that is not scratch keeps its values where the two
  // grids overlap; new cells are empty and at rest. False, with everything as it was, when the
  // new arrays cannot be allocated.
  bool resize(const GridDesc& g, const Int3& offset, const OpenSides& sides);
  void setOpenSides(const OpenSides& sides);
  // Elements of an array of `shape` on grid `g`.
  static size_t ElementCount(const GridDesc& g, ArrayShape shape);
  static Dims ShapeDims(const GridDesc& g, ArrayShape shape);
  // Builds the multigrid pyramid for the grid; false when some level could not be allocated.
  bool buildPyramid(std::vector<Level>& out);
  void freePyramid(std::vector<Level>& pyramid);
  void release();
  // Allocates one zero-filled array and counts it; false when the memory is not there.
  bool allocate(float*& p, size_t count);
  void freeArray(void*& p);

  // Step phases, in the order the substep runs them.
  void Forces(const FireParams& p, float dt);
  void FaceBC();
  void AdvectVel(float dt);
  void Project(const FireParams& p, float dt);
  void AdvectScalar(float*& f, float*& fNext, float dt);
  // density, temperature, fuel and dust in one go: the same result as AdvectScalar on each in
  // turn, with every trace computed once for all four.
  void AdvectScalars(float dt);
  void Combust(const FireParams& p, float dt);

  // Pressure solve internals and the solid pyramid.
  void Precondition(const Exec& ex);  // VCycle(0), replayed from its recording on the GPU
  void VCycle(const Exec& ex, int depth);
  void VCycle(int depth) { VCycle(exec(), depth); }
  // `forward` red-black sweeps in colour order 0, 1, then `backward` in order 1, 0.
  void Sweeps(const Exec& ex, Level& level, int forward, int backward);
  void Smooth(const Exec& ex, Level& level, int parity);
  // One conjugate gradient iteration, every launch under the solve's flag.
  void SolveIteration();
  // The solve's state as the device has it now (waits for the device).
  const SolveState& ReadSolve();
  void RestrictSolid();  // and FindOpenRows
  // Level::openRows of every level, from the walls the levels hold now.
  void FindOpenRows();
};

// Every float array of the solver, in the order they are allocated.
std::span<const ArraySlot> SolverArrays();

}  // namespace tf
