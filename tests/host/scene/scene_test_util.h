// Shared by the scene tests: a scratch folder and a plug-in class with one parameter of every type
// and saved data of its own, registered the way a plug-in module registers its classes.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "host/objects/class_registry.h"
#include "host/scene/objects.h"
#include "host/scene/scene.h"
#include "tests/support/temp_folder.h"

namespace host::test {

using host::testing::TempFolder;

using host::testing::ReadText;

// Parameter ids of the test plug-in's block.
enum TestParam : int {
  kTSize = 0,     // world, anim, 0.001 to 1000
  kTRes = 1,      // int 0 to 4096
  kTFlag = 2,     // bool
  kTTint = 3,     // colour, anim
  kTPath = 4,     // filename
  kTCamera = 5,   // node
  kTSources = 6,  // node list
  kTMode = 7,     // int radio 0 to 2
  kTRate = 8,     // float, not animatable, -5 to 5
};

inline constexpr ClassId kTestPluginClassId{0xf00dfeed, 0x00c0ffee};

class TestPluginObject : public Object {
 public:
  using Object::Object;
  uint64_t cacheId = 0x0123456789abcdefull;
  std::vector<int> changes;  // ids passed to OnParamChanged, in order
  int postLoads = 0;
  int sourcesAtPostLoad = -1;  // node references are resolved before PostLoad

  void OnParamChanged(ParamBlock& block, int id) override {
    changes.push_back(id);
    Object::OnParamChanged(block, id);
  }
  void PostLoad() override {
    ++postLoads;
    sourcesAtPostLoad = GetParamBlock(0)->Count(kTSources);
  }
  bool failSave = false;  // plug-in code that throws while saving
  nlohmann::json SaveData() const override {
    if (failSave) throw std::runtime_error("disk quota of the plug-in");
    char buf[32];
    std::snprintf(buf, sizeof buf, "%016llx", (unsigned long long)cacheId);
    return {{"cacheId", buf}};
  }
  bool LoadData(const nlohmann::json& data, std::string* error) override {
    if (!data.is_object() || !data.contains("cacheId") || !data["cacheId"].is_string()) {
      *error = "/cacheId: expected 16 hexadecimal digits";
      return false;
    }
    const std::string s = data["cacheId"].get<std::string>();
    if (s.size() != 16 || s.find_first_not_of("0123456789abcdef") != std::string::npos) {
      *error = "/cacheId: expected 16 hexadecimal digits";
      return false;
    }
    cacheId = std::stoull(s, nullptr, 16);
    return true;
  }
};

class TestPluginDesc : public ClassDesc {
 public:
  TestPluginDesc() {
    block_.id = 0;
    block_.internalName = "params";
    block_.flags = kBlockAutoConstruct | kBlockAutoUI | kBlockMultiMap;
    block_.rollouts = {{0, "Test - Domain", true, 1800, 1900, {"Size"}}, {1, "Sources", false, 1801, 1901, {"Sources"}}};
    block_.params = {
        WorldParam(kTSize, "size", 200, 0.001, 1000, true, 0, "Size"),
        IntParam(kTRes, "resolution", 128, 0, 4096, 0, "Cells"),
        BoolParam(kTFlag, "closedFloor", true, 0, "Solid floor"),
        ColourParam(kTTint, "tint", {1, 0.5f, 0.25f}, true, 0, "Tint"),
        FilenameParam(kTPath, "cachePath", 1, "Cache folder"),
        NodeParam(kTCamera, "previewCamera", 1, "Camera"),
        NodeListParam(kTSources, "emitters", 1, "Sources"),
        IntParam(kTMode, "emitMode", 1, 0, 2, 1, "Emit from", {"Volume", "Surface", "Both"}),
        FloatParam(kTRate, "rate", 0.5f, -5, 5, false, 1, "Rate"),
    };
    blocks_[0] = &block_;
  }
  ClassId ClassID() const override { return kTestPluginClassId; }
  SuperClassId SuperClassID() const override { return kGeomObjectSuperClass; }
  std::string_view ClassName() const override { return "TestDomain"; }
  std::string_view Category() const override { return "Tests"; }
  std::unique_ptr<Object> Create() const override { return std::make_unique<TestPluginObject>(*this); }
  std::span<const ParamBlockDesc* const> ParamBlockDescs() const override { return blocks_; }
  const ParamBlockDesc& Block() const { return block_; }

 private:
  ParamBlockDesc block_;
  const ParamBlockDesc* blocks_[1];
};

// Registered once per test program, as a plug-in module would at load time.
inline const TestPluginDesc& TestPlugin() {
  static const TestPluginDesc desc;
  static const bool registered = [] {
    std::string error;
    const bool ok = RegisterClassDesc(desc, &error);
    EXPECT_TRUE(ok) << error;
    return ok;
  }();
  (void)registered;
  return desc;
}

inline TestPluginObject* MakeTestPlugin(Scene& scene, const std::string& name, Node** node = nullptr) {
  std::string error;
  auto obj = CreateObject(TestPlugin(), &error);
  EXPECT_NE(obj, nullptr) << error;
  auto* raw = static_cast<TestPluginObject*>(obj.get());
  Node* n = scene.CreateNode(name, std::move(obj));
  if (node) *node = n;
  return raw;
}

inline std::unique_ptr<Object> Make(std::string_view className) {
  std::string error;
  auto obj = CreateObject(className, &error);
  EXPECT_NE(obj, nullptr) << error;
  return obj;
}

// A unit cube of quads, one face with normals, as an OBJ file.
inline constexpr const char* kQuadCubeObj =
    "# unit cube of quads\n"
    "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0 0 1\nv 1 0 1\nv 1 1 1\nv 0 1 1\n"
    "vn 0 0 1\n"
    "f 1 4 3 2\nf 5 6 7 8\nf 1 2 6 5\nf 3 4 8 7\nf 1 5 8 4\nf 2//1 3//1 7//1 6//1\n";

inline void ExpectNear(const Point3& a, const Point3& b, float eps = 1e-4f) {
  EXPECT_NEAR(a.x, b.x, eps);
  EXPECT_NEAR(a.y, b.y, eps);
  EXPECT_NEAR(a.z, b.z, eps);
}

}  // namespace host::test
