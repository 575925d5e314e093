#include "host/class_desc.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

namespace host {

namespace {

struct ClassRegistry {
  std::mutex mutex;
  std::vector<ClassDesc*> descs;
};

// Never destroyed: modules unregister from their static destructors, which may run after this
// file's statics would have been.
ClassRegistry& Registry() {
  static auto* registry = new ClassRegistry;
  return *registry;
}

std::string IdText(ClassId id) {
  char text[32];
  std::snprintf(text, sizeof text, "(0x%08x, 0x%08x)", id.a, id.b);
  return text;
}

}  // namespace

bool RegisterClassDesc(ClassDesc* desc, std::string* message) {
  if (!desc) {
    if (message) *message = "no class descriptor given";
    return false;
  }
  ClassRegistry& r = Registry();
  std::lock_guard lock(r.mutex);
  if (std::find(r.descs.begin(), r.descs.end(), desc) != r.descs.end()) return true;
  const ClassId id = desc->Id();
  for (const ClassDesc* other : r.descs) {
    if (other->Id() == id) {
      if (message) {
        *message = std::string("class \"") + desc->ClassName() + "\" has the class id " + IdText(id) +
                   " of the registered class \"" + other->ClassName() + "\"";
      }
      return false;
    }
  }
  r.descs.push_back(desc);
  return true;
}

void UnregisterClassDesc(const ClassDesc* desc) {
  ClassRegistry& r = Registry();
  std::lock_guard lock(r.mutex);
  std::erase(r.descs, desc);
}

ClassDesc* FindClassDesc(ClassId id) {
  ClassRegistry& r = Registry();
  std::lock_guard lock(r.mutex);
  for (ClassDesc* d : r.descs)
    if (d->Id() == id) return d;
  return nullptr;
}

ClassDesc* FindClassDescByName(std::string_view internalName) {
  ClassRegistry& r = Registry();
  std::lock_guard lock(r.mutex);
  for (ClassDesc* d : r.descs)
    if (internalName == d->InternalName()) return d;
  return nullptr;
}

std::vector<ClassDesc*> ClassDescs() {
  ClassRegistry& r = Registry();
  std::lock_guard lock(r.mutex);
  return r.descs;
}

}  // namespace host
