// A stand-in for the sibling fluid plug-in's module: "TolvarisFluid.dlo" exporting TFL_GetBridge.
// Its fluid objects are the nodes whose names start with "Fluid"; each holds four particles around
// (0, 0, 5) of its own space, a space twice the size of the world's and lifted by 10 along z, so a
// particle spacing of 3 is 6 scene units there. It counts releases so that tests can see the
// caller give the data back.
#include <cstring>
#include <string>

#include "capture/fluid_bridge.h"
#include "host/scene/scene.h"

namespace {

const float kParticles[4][4] = {{0, 0, 5, 1}, {1, 0, 5, 1}, {0, 1, 5, 1}, {-1, 0, 5, 1}};
int releases = 0;

int IsFluid(void* node) {
  const std::string& name = static_cast<host::Node*>(node)->Name();
  return name.rfind("Fluid", 0) == 0 ? 1 : 0;
}

int GetParticles(void* node, int32_t, tf::FluidParticleRecord* record) {
  if (!IsFluid(node)) return 0;
  record->particles = &kParticles[0][0];
  record->count = 4;
  const float tm[12] = {2, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 10};
  std::memcpy(record->transform, tm, sizeof tm);
  record->spacing = 3.0f;
  record->handle = 0x5eed;
  return 1;
}

void Release(uintptr_t handle) {
  if (handle == 0x5eed) ++releases;
}

const tf::FluidBridgeTable kBridge = {1, IsFluid, GetParticles, Release};

}  // namespace

extern "C" __attribute__((visibility("default"))) const tf::FluidBridgeTable* TFL_GetBridge() { return &kBridge; }
extern "C" __attribute__((visibility("default"))) int TFL_TestReleaseCount() { return releases; }
