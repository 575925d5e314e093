// The descriptor shared by the host's own object classes: fixed ids and names, one parameter block.
#pragma once

#include <memory>
#include <span>
#include <string_view>

#include "host/scene/objects.h"

namespace host {

template <class T>
class BuiltinClassDesc final : public ClassDesc {
 public:
  BuiltinClassDesc(ClassId id, SuperClassId super, std::string_view name, std::string_view category,
                   const ParamBlockDesc& block)
      : id_(id), super_(super), name_(name), category_(category), blocks_{&block} {}
  ClassId ClassID() const override { return id_; }
  SuperClassId SuperClassID() const override { return super_; }
  std::string_view ClassName() const override { return name_; }
  std::string_view Category() const override { return category_; }
  std::unique_ptr<Object> Create() const override { return std::make_unique<T>(*this); }
  std::span<const ParamBlockDesc* const> ParamBlockDescs() const override { return blocks_; }

 private:
  ClassId id_;
  SuperClassId super_;
  std::string_view name_, category_;
  const ParamBlockDesc* blocks_[1];
};

// Block 0, "params", shown in one open rollout.
inline ParamBlockDesc SimpleBlockDesc(std::vector<ParamDef> params) {
  ParamBlockDesc d;
  d.id = 0;
  d.internalName = "params";
  d.flags = kBlockAutoConstruct | kBlockAutoUI;
  d.rollouts = {RolloutDesc{0, "Parameters", true, 0, 0, {}}};
  d.params = std::move(params);
  return d;
}

}  // namespace host
