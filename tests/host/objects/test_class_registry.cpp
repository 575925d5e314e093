// The class registry: plug-in descriptors, their blocks and the objects they make.
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "host/objects/class_registry.h"
#include "tests/host/scene/scene_test_util.h"

namespace host {
namespace {

class BrokenDesc : public ClassDesc {
 public:
  BrokenDesc(ClassId id, std::string name, int mode) : id_(id), name_(std::move(name)), mode_(mode) {
    block_.params = {BoolParam(1, "a", true, 0, "A")};
    if (mode == 2) block_.params.push_back(BoolParam(1, "b", true, 0, "B"));  // id used twice
    blocks_[0] = &block_;
  }
  ClassId ClassID() const override { return id_; }
  SuperClassId SuperClassID() const override { return kGeomObjectSuperClass; }
  std::string_view ClassName() const override { return name_; }
  std::string_view Category() const override { return "Tests"; }
  std::unique_ptr<Object> Create() const override {
    if (mode_ == 0) return nullptr;
    if (mode_ == 1) throw std::runtime_error("out of memory");
    return std::make_unique<test::TestPluginObject>(*this);
  }
  std::span<const ParamBlockDesc* const> ParamBlockDescs() const override { return blocks_; }

 private:
  ClassId id_;
  std::string name_;
  int mode_;
  ParamBlockDesc block_;
  const ParamBlockDesc* blocks_[1];
};

TEST(Classes, PluginDescriptorsRegisterOnceAndReportFailures) {
  const auto& plugin = test::TestPlugin();
  std::string error;
  EXPECT_FALSE(RegisterClassDesc(plugin, &error));
  EXPECT_NE(error.find("registered already"), std::string::npos) << error;
  BrokenDesc sameId(test::kTestPluginClassId, "Other", 3);
  EXPECT_FALSE(RegisterClassDesc(sameId, &error));
  EXPECT_NE(error.find("class id is taken"), std::string::npos) << error;
  BrokenDesc badBlock({1, 2}, "BadBlock", 2);
  EXPECT_FALSE(RegisterClassDesc(badBlock, &error));
  EXPECT_NE(error.find("id used twice"), std::string::npos) << error;

  BrokenDesc none({1, 3}, "MakesNothing", 0), throws({1, 4}, "Throws", 1);
  EXPECT_EQ(CreateObject(none, &error), nullptr);
  EXPECT_NE(error.find("made no object"), std::string::npos) << error;
  EXPECT_EQ(CreateObject(throws, &error), nullptr);
  EXPECT_NE(error.find("out of memory"), std::string::npos) << error;

  BrokenDesc fine({1, 5}, "Fine", 3);
  ASSERT_TRUE(RegisterClassDesc(fine, &error)) << error;
  auto obj = CreateObject("Fine", &error);
  ASSERT_NE(obj, nullptr) << error;
  EXPECT_EQ(obj->GetParamBlockById(0)->GetBool(1, 0), true);  // auto-constructed
  EXPECT_TRUE(UnregisterClassDesc({1, 5}));
  EXPECT_EQ(FindClassDesc("Fine"), nullptr);
  EXPECT_FALSE(UnregisterClassDesc({1, 5}));
}

}  // namespace
}  // namespace host
