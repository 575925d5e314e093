// Class descriptors: how a plug-in module tells the host which classes it adds. The host lists them
// and, through them, creates the plug-in's objects. Modules hand them out from LibClassDesc
// (host/plugin_abi.h); the host keeps them in one registry for the whole process.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// A class is named by two 32-bit words.
struct ClassId {
  uint32_t a = 0, b = 0;
  friend bool operator==(const ClassId&, const ClassId&) = default;
};

// The family a class belongs to (geometric object, camera, space warp, ...).
using SuperClassId = uint32_t;

// Kept small on purpose: the scene layer adds object creation to it.
class ClassDesc {
 public:
  virtual ~ClassDesc() = default;
  // Listed in the host's create panel.
  virtual bool IsPublic() const = 0;
  virtual const char* ClassName() const = 0;
  // The name scripts and scene files use; stable across languages.
  virtual const char* InternalName() const = 0;
  virtual const char* Category() const = 0;
  virtual SuperClassId SuperClass() const = 0;
  virtual ClassId Id() const = 0;
};

// The registry does not own the descriptors: they are static objects of their modules, and the
// plug-in loader removes a module's descriptors before it unloads the module.
// Refuses a null descriptor and a class id that is already registered (message says which).
bool RegisterClassDesc(ClassDesc* desc, std::string* message = nullptr);
void UnregisterClassDesc(const ClassDesc* desc);
ClassDesc* FindClassDesc(ClassId id);
ClassDesc* FindClassDescByName(std::string_view internalName);
std::vector<ClassDesc*> ClassDescs();

}  // namespace host
