#include "host/objects/class_registry.h"

#include <algorithm>
#include <cstdio>

#include "host/core/status.h"
#include "host/objects/camera.h"
#include "host/objects/hair.h"
#include "host/objects/particles.h"
#include "host/objects/primitives.h"
#include "host/objects/space_warps.h"
#include "host/scene/param_block.h"

namespace host {

namespace {

// The host's own classes (primitives, particles, space warps, cameras, hair) start the registry.
std::vector<const ClassDesc*>& Registry() {
  static std::vector<const ClassDesc*> descs = {
      &BoxClassDesc(),   &SphereClassDesc(),          &CylinderClassDesc(),        &TorusClassDesc(),
      &PlaneClassDesc(), &MeshClassDesc(),            &ParticleEmitterClassDesc(), &ParticleFileClassDesc(),
      &WindClassDesc(),  &GravityClassDesc(),         &CameraClassDesc(),          &TuftFxClassDesc()};
  return descs;
}

std::string Hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", v);
  return buf;
}

}  // namespace

bool RegisterClassDesc(const ClassDesc& desc, std::string* error) {
  const std::string name(desc.ClassName());
  const std::string what = "class \"" + name + "\" (" + Hex(desc.ClassID().a) + ", " + Hex(desc.ClassID().b) + ")";
  if (name.empty()) {
    return Fail(error, "a class without a name cannot be registered");
  }
  for (const ClassDesc* d : Registry()) {
    if (d == &desc) {
      return Fail(error, what + " is registered already");
    }
    if (d->ClassID() == desc.ClassID()) {
      return Fail(error, what + ": the class id is taken by \"" + std::string(d->ClassName()) + "\"");
    }
    if (d->ClassName() == desc.ClassName() || d->InternalName() == desc.InternalName()) {
      return Fail(error, what + ": the name is taken by another class");
    }
  }
  std::vector<int> blockIds;
  for (const ParamBlockDesc* b : desc.ParamBlockDescs()) {
    std::string why;
    if (!b) {
      return Fail(error, what + ": a parameter block description is missing");
    }
    if (!ValidateParamBlockDesc(*b, &why)) {
      return Fail(error, what + ": " + why);
    }
    if (std::find(blockIds.begin(), blockIds.end(), b->id) != blockIds.end()) {
      return Fail(error, what + ": two parameter blocks with id " + std::to_string(b->id));
    }
    blockIds.push_back(b->id);
  }
  Registry().push_back(&desc);
  return true;
}

bool UnregisterClassDesc(ClassId id) {
  auto& reg = Registry();
  auto it = std::find_if(reg.begin(), reg.end(), [&](const ClassDesc* d) { return d->ClassID() == id; });
  if (it == reg.end()) return false;
  reg.erase(it);
  return true;
}

const ClassDesc* FindClassDesc(ClassId id) {
  for (const ClassDesc* d : Registry())
    if (d->ClassID() == id) return d;
  return nullptr;
}

const ClassDesc* FindClassDesc(std::string_view name) {
  for (const ClassDesc* d : Registry())
    if (d->ClassName() == name || d->InternalName() == name) return d;
  return nullptr;
}

std::vector<const ClassDesc*> RegisteredClassDescs() { return Registry(); }


std::unique_ptr<Object> CreateObject(std::string_view className, std::string* error) {
  const ClassDesc* desc = FindClassDesc(className);
  if (!desc) {
    SetError(error, "no class is called \"" + std::string(className) + "\"");
    return nullptr;
  }
  return CreateObject(*desc, error);
}

}  // namespace host
