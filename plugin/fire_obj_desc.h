// The class of the TolvarisFire domain: how the host names, lists and creates domains.
//
// Every other part of the plug-in recognises a domain by its class id, so the id never changes.
// The module entry points hand this descriptor to the host; a program or test that links the
// plug-in code directly registers it with RegisterFireClass instead.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "domain/fire_params_desc.h"
#include "host/scene/class_desc.h"

namespace tf {

inline constexpr std::string_view kFireClassName = "TolvarisFire";
inline constexpr std::string_view kFireCategory = "TolvarisFX";

class FireObjDesc final : public host::ClassDesc {
 public:
  host::ClassId ClassID() const override { return kFireClassId; }
  host::SuperClassId SuperClassID() const override { return host::kGeomObjectSuperClass; }
  std::string_view ClassName() const override { return kFireClassName; }
  std::string_view InternalName() const override { return kFireClassName; }
  std::string_view Category() const override { return kFireCategory; }
  bool IsPublic() const override { return true; }
  // A FireObject without its block: host::CreateObject adds the block from ParamBlockDescs.
  std::unique_ptr<host::Object> Create() const override;
  std::span<const host::ParamBlockDesc* const> ParamBlockDescs() const override;
  host::CreateMouseCallBack* GetCreateMouseCallBack() const override;
};

// The one descriptor of the process.
const FireObjDesc& GetFireObjDesc();

// Registers the domain class with the host. Registering it again is harmless; false, with the
// reason, when another class already holds the id or the name.
bool RegisterFireClass(std::string* error = nullptr);

}  // namespace tf
