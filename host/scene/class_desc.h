// Class descriptors: how the host and its plug-in modules describe the classes of objects they
// add. Every object belongs to a class, named by a class id (two 32-bit words), of a super class
// (what kind of object it is), with a name, a category and the parameter block descriptions of
// the class. The host's own classes are registered from the start; a plug-in module hands its
// descriptors out from LibClassDesc (host/plugins/plugin_abi.h) and the plug-in loader registers them.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace host {

class CreateMouseCallBack;
class Object;
struct ParamBlockDesc;

struct ClassId {
  uint32_t a = 0, b = 0;
  friend bool operator==(const ClassId&, const ClassId&) = default;
};

using SuperClassId = uint32_t;
inline constexpr SuperClassId kGeomObjectSuperClass = 0x10;  // meshes, particle systems, hair, domains
inline constexpr SuperClassId kCameraSuperClass = 0x20;
inline constexpr SuperClassId kWsModifierSuperClass = 0x830;  // space warps with a force field

class ClassDesc {
 public:
  virtual ~ClassDesc() = default;
  virtual ClassId ClassID() const = 0;
  virtual SuperClassId SuperClassID() const = 0;
  virtual std::string_view ClassName() const = 0;
  virtual std::string_view InternalName() const { return ClassName(); }
  virtual std::string_view Category() const = 0;
  // Listed where users create objects.
  virtual bool IsPublic() const { return true; }
  // A new object of the class, without parameter blocks: CreateObject adds those. Null on failure.
  virtual std::unique_ptr<Object> Create() const = 0;
  virtual std::span<const ParamBlockDesc* const> ParamBlockDescs() const { return {}; }
  // The mouse procedure that creates an object of the class by dragging (host/scene/creation.h);
  // null for classes made only from files and scripts.
  virtual CreateMouseCallBack* GetCreateMouseCallBack() const { return nullptr; }
};

// The registry of classes, which starts with the host's own, is host/objects/class_registry.h.

}  // namespace host
