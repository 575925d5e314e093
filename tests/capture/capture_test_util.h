// Helpers of the capture tests: a scene with a TolvarisFire domain, objects placed in it, a run
// opened on it, fields read back and a temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "domain/fire_params_desc.h"
#include "capture/sim_run.h"
#include "host/objects/class_registry.h"
#include "host/objects/primitives.h"
#include "host/scene/objects.h"
#include "host/scene/param_block.h"
#include "host/scene/scene.h"
#include "plugin/fire_obj_desc.h"
#include "tests/support/temp_folder.h"

namespace tf::testing {

using host::testing::TempFolder;

using host::testing::WriteText;

// A scene in centimetres holding one domain of 64 x 64 x 64 units on 16 cells (cells of 4 units),
// standing on the origin, without flicker.
class DomainScene {
 public:
  DomainScene() {
    RegisterFireClass();
    scene.time.metresPerUnit = 0.01;
    std::string error;
    auto object = host::CreateObject(GetFireObjDesc(), &error);
    domain = object.get();
    block = domain->GetParamBlockById(kFireParamBlockId);
    node = scene.CreateNode("Fire001", std::move(object));
    block->SetFloat(kSizeX, 0, 64.0f);
    block->SetFloat(kSizeY, 0, 64.0f);
    block->SetFloat(kSizeZ, 0, 64.0f);
    block->SetInt(kResolution, 0, 16);
    block->SetFloat(kEmitNoise, 0, 0.0f);
  }

  // A box of the given size standing on `base` (its pivot is at the bottom centre).
  host::Node* AddBox(const std::string& name, host::Point3 base, float width, float length, float height) {
    auto object = host::CreateObject(host::BoxClassDesc(), nullptr);
    host::ParamBlock* pb = object->GetParamBlock(0);
    pb->SetFloat(host::kBoxWidth, 0, width);
    pb->SetFloat(host::kBoxLength, 0, length);
    pb->SetFloat(host::kBoxHeight, 0, height);
    host::Node* n = scene.CreateNode(name, std::move(object));
    n->transform.position.SetConstant(base);
    return n;
  }
  host::Node* AddObject(const std::string& name, const host::ClassDesc& desc) {
    return scene.CreateNode(name, host::CreateObject(desc, nullptr));
  }

  bool Open(bool live = false) {
    std::string message;
    const bool ok = OpenSimRun(run, domain, node, live, &message);
    EXPECT_TRUE(ok) << message;
    return ok;
  }

  std::vector<float> Field(FieldId id) {
    std::vector<float> out(size_t(run.grid.nx) * size_t(run.grid.ny) * size_t(run.grid.nz));
    EXPECT_TRUE(run.sim->CopyField(id, out.data()));
    return out;
  }
  size_t Index(int x, int y, int z) const {
    return size_t(x) + size_t(run.grid.nx) * (size_t(y) + size_t(run.grid.ny) * size_t(z));
  }

  host::Scene scene;
  host::Object* domain = nullptr;
  host::ParamBlock* block = nullptr;
  host::Node* node = nullptr;
  SimRun run;
};

}  // namespace tf::testing
