// A small scene for the bake tests: a box that burns and a TolvarisFire domain of 40 x 40 x 60
// scene units at 16 cells on its longest side (11 x 11 x 16 cells), on the CPU, with its cache in
// a folder of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "domain/fire_params_desc.h"
#include "host/objects/class_registry.h"
#include "host/scene/objects.h"
#include "host/scene/scene.h"
#include "plugin/fire_obj_desc.h"
#include "plugin/fire_object.h"
#include "tests/cache/cache_test_util.h"

namespace tf::testing {

struct BakeScene {
  BakeScene() {
    std::string why;
    EXPECT_TRUE(RegisterFireClass(&why)) << why;
    source = scene.CreateNode("Log", host::CreateObject("Box", &why));
    EXPECT_TRUE(source) << why;
    domain = AddDomain("Fire");
    SetSources(domain, true);
  }

  FireObject* AddDomain(const std::string& name) {
    std::string why;
    auto object = host::CreateObject(kFireClassName, &why);
    EXPECT_TRUE(object) << why;
    FireObject* d = AsFireObject(object.get());
    host::ParamBlock& p = *d->Params();
    p.SetFloat(kSizeX, 0, 40.0f);
    p.SetFloat(kSizeY, 0, 40.0f);
    p.SetFloat(kSizeZ, 0, 60.0f);
    p.SetInt(kResolution, 0, 16);
    p.SetBool(kUseGPU, 0, false);
    p.SetInt(kLiveMode, 0, 0);
    p.SetBool(kOutVDB, 0, false);  // the cache alone unless a test asks for outputs
    p.SetString(kCachePath, 0, cache.str() + "/" + name);
    SetRange(d, 0, 3);
    scene.CreateNode(name, std::move(object));
    return d;
  }

  void SetSources(FireObject* d, bool on) { d->Params()->SetNodes(kEmitters, on ? std::vector<host::Node*>{source} : std::vector<host::Node*>{}); }
  static void SetRange(FireObject* d, int start, int end) {
    d->Params()->SetInt(kStartFrame, 0, start);
    d->Params()->SetInt(kEndFrame, 0, end);
  }
  host::Node* NodeOf(const FireObject* d) const { return scene.FindNodeOf(d); }

  TempFolder cache;
  host::Scene scene;
  host::Node* source = nullptr;
  FireObject* domain = nullptr;
};

}  // namespace tf::testing
