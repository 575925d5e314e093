// The bridge of the sibling fluid plug-in: the table its module "TolvarisFluid.dlo" hands out from
// its exported C function "TFL_GetBridge", and the particle record it fills. The layouts are the
// sibling's; both sides are compiled from this header.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tf {

inline constexpr const char* kFluidModuleName = "TolvarisFluid.dlo";
inline constexpr const char* kFluidBridgeExport = "TFL_GetBridge";

// The particles of one fluid object at one time. The caller zeroes the record before the call and
// reads only the named fields; the rest belongs to the sibling.
struct FluidParticleRecord {
  uint8_t reserved0[8];
  const float* particles;  // count x (x, y, z, unused), in the fluid object's space
  int32_t count;
  uint8_t reserved1[16];
  float transform[12];  // fluid object space to world: x axis, y axis, z axis, translation
  float spacing;        // particle spacing in the fluid object's space
  uint8_t reserved2[40];
  uintptr_t handle;  // given back to release
};

extern "C" {
// The node is the host's scene node, passed as an opaque pointer.
typedef int (*FluidIsFluidFn)(void* node);
typedef int (*FluidGetParticlesFn)(void* node, int32_t time, FluidParticleRecord* record);
typedef void (*FluidReleaseFn)(uintptr_t handle);
}

struct FluidBridgeTable {
  int32_t version;  // used when 1 or more
  FluidIsFluidFn isFluid;
  FluidGetParticlesFn getParticles;
  FluidReleaseFn release;
};

extern "C" typedef const FluidBridgeTable* (*FluidGetBridgeFn)();

static_assert(sizeof(FluidParticleRecord) == 136);
static_assert(offsetof(FluidParticleRecord, particles) == 8);
static_assert(offsetof(FluidParticleRecord, count) == 16);
static_assert(offsetof(FluidParticleRecord, transform) == 36);
static_assert(offsetof(FluidParticleRecord, spacing) == 84);
static_assert(offsetof(FluidParticleRecord, handle) == 128);
static_assert(offsetof(FluidBridgeTable, isFluid) == 8);
static_assert(offsetof(FluidBridgeTable, getParticles) == 16);
static_assert(offsetof(FluidBridgeTable, release) == 24);

}  // namespace tf
