#include "cache/simulate_domain.h"

#include "domain/fire_params_desc.h"
#include "host/scene/objects.h"

namespace tf {

std::optional<DomainRef> DomainRefOf(host::Object* object) {
  if (object == nullptr) return std::nullopt;
  DomainRef d{object, object->GetParamBlockById(kFireParamBlockId), dynamic_cast<SimulateDomain*>(object)};
  if (d.params == nullptr || d.folders == nullptr) return std::nullopt;
  return d;
}

}  // namespace tf
