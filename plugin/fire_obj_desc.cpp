#include "plugin/fire_obj_desc.h"

#include <array>

#include "domain/fire_params_desc.h"
#include "host/objects/class_registry.h"
#include "plugin/fire_create_cb.h"
#include "plugin/fire_object.h"
#include "plugin/simulate_panel.h"

namespace tf {

std::unique_ptr<host::Object> FireObjDesc::Create() const { return std::make_unique<FireObject>(*this); }

std::span<const host::ParamBlockDesc* const> FireObjDesc::ParamBlockDescs() const {
  static const std::array<const host::ParamBlockDesc*, 1> blocks{&FireParamBlockDesc()};
  return blocks;
}

host::CreateMouseCallBack* FireObjDesc::GetCreateMouseCallBack() const { return &GetFireCreateCB(); }

const FireObjDesc& GetFireObjDesc() {
  static const FireObjDesc desc = [] {
    SetDomainPanelHooks({BeginEditDomain, EndEditDomain, ForgetEditedDomain, ShowLiveText, DomainSettingsChanged});
    return FireObjDesc{};
  }();
  return desc;
}

bool RegisterFireClass(std::string* error) {
  const FireObjDesc& desc = GetFireObjDesc();
  if (host::FindClassDesc(kFireClassId) == &desc) return true;
  return host::RegisterClassDesc(desc, error);
}

}  // namespace tf
