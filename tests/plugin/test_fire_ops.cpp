// TolvarisFireOps: the functions scripts bind to by id and name, the commands on a domain and on
// what is not one, the shared status text, and the host's exception for a short argument list.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bake_scene.h"
#include "domain/fire_params_desc.h"
#include "host/view/bitmap.h"
#include "host/view/viewport.h"
#include "io/png_writer.h"
#include "plugin/fire_ops.h"
#include "bake/simulate.h"

namespace tf {
namespace {

namespace fs = std::filesystem;
using host::Value;
using testing::BakeScene;

class FireOpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host::ParamBlock& p = *s.domain->Params();
    p.SetBool(kOutVDB, 0, false);
    p.SetBool(kOutPRT, 0, false);
    p.SetBool(kOutPreview, 0, false);
    p.SetString(kVdbPath, 0, (work.path() / "vdb").string());
    host::View v;
    v.width = 160, v.height = 90;
    v.affineTM = host::LookAt({0, -200, 60}, {0, 0, 20}).Inverse();
    host::TheViewports().SetActiveView(v);
  }
  void TearDown() override { host::TheViewports().ClearActiveView(); }

  host::Node* DomainNode() const { return s.NodeOf(s.domain); }
  void Bake() {
    const SimulateResult r = Simulate(s.domain, DomainNode());
    ASSERT_TRUE(r.ok) << r.message;
  }
  std::string Background(int w, int h) {
    std::vector<uint8_t> rgb(size_t(w) * size_t(h) * 3, 90);
    const std::string path = (work.path() / "bg.png").string();
    EXPECT_TRUE(WritePng(path, rgb.data(), w, h));
    return path;
  }
  std::string Status() { return ops.Invoke(kOpsStatus, {}).AsString(); }

  BakeScene s;
  testing::TempFolder work;
  FireOps ops;
};

TEST_F(FireOpsTest, DescribesTheFunctionsScriptsBindTo) {
  EXPECT_EQ(ops.Id(), (host::InterfaceId{0x5a3c19e7u, 0x2b8d40f1u}));
  EXPECT_EQ(ops.InternalName(), "TolvarisFireOps");
  EXPECT_EQ(ops.Flags(), host::kFPCoreInterface);
  EXPECT_EQ(ops.CheckDescription(), "");
  const struct {
    uint32_t id;
    const char* name;
    std::vector<const char*> args;
  } expected[] = {{0, "simulate", {"domain"}},
                  {1, "exportVDB", {"domain"}},
                  {2, "clearCache", {"domain"}},
                  {3, "applyPreset", {"domain", "index"}},
                  {4, "status", {}},
                  {6, "frameInfo", {"domain"}},
                  {7, "bridgeInfo", {"domain"}},
                  {8, "savePreset", {"domain", "name"}},
                  {9, "presetIndex", {"name"}},
                  {10, "fireFromEvents", {"domain", "path", "minEnergy"}},
                  {11, "compositeOver", {"domain", "background", "output"}}};
  for (const auto& e : expected) {
    const host::FunctionDesc* f = ops.FindFunction(e.id);
    ASSERT_NE(f, nullptr) << e.id;
    EXPECT_EQ(f->name, e.name);
    ASSERT_EQ(f->params.size(), e.args.size()) << e.name;
    for (size_t i = 0; i < e.args.size(); ++i) EXPECT_EQ(f->params[i].name, e.args[i]);
  }
  EXPECT_TRUE(ops.Invoke(5, {}).IsUnhandled());
  // A short argument list is the one error that reaches the script.
  EXPECT_THROW(ops.Invoke(kOpsCompositeOver, {DomainNode(), "bg.png"}), host::ArgumentOutOfRange);
}

TEST_F(FireOpsTest, NodesThatAreNotDomainsAreRefused) {
  for (host::Node* node : {s.source, static_cast<host::Node*>(nullptr)}) {
    for (uint32_t id : {kOpsSimulate, kOpsExportVdb}) {
      SetScriptStatus("before");
      EXPECT_EQ(ops.Invoke(id, {node}), Value(false)) << id;
      EXPECT_EQ(Status(), "not a TolvarisFire node") << id;
    }
    SetScriptStatus("before");
    EXPECT_EQ(ops.Invoke(kOpsClearCache, {node}), Value(false));
    EXPECT_EQ(Status(), "before") << "clearCache leaves the status alone";
    EXPECT_EQ(ops.Invoke(kOpsFrameInfo, {node}), Value("not a TolvarisFire node"));
    EXPECT_EQ(ops.Invoke(kOpsFireFromEvents, {node, "events.txt"}), Value(-1));
    EXPECT_EQ(Status(), "not a TolvarisFire node");
    SetScriptStatus("before");
    EXPECT_EQ(ops.Invoke(kOpsCompositeOver, {node, Background(80, 50), (work.path() / "out.png").string()}),
              Value(false));
    EXPECT_EQ(Status(), "not a TolvarisFire node");
  }
  EXPECT_FALSE(fs::exists(work.path() / "out.png"));
}

TEST_F(FireOpsTest, SimulateFrameInfoAndClearCacheWorkOnTheDomainsCache) {
  EXPECT_EQ(ops.Invoke(kOpsFrameInfo, {DomainNode()}), Value("no frame"));
  ASSERT_EQ(ops.Invoke(kOpsSimulate, {DomainNode()}), Value(true)) << Status();
  EXPECT_EQ(Status().rfind("Simulated 4 frames, 11x11x16 on the ", 0), 0u) << Status();

  s.scene.time.currentTime = s.scene.time.FrameToTicks(3);
  CacheFrame frame;
  ASSERT_TRUE(ReadCacheFrame(MakeFramePath(s.domain->CacheFolder(), "fire", 3, "tfc"), frame));
  EXPECT_EQ(ops.Invoke(kOpsFrameInfo, {DomainNode()}), Value(FrameInfoText(0, frame)));
  const std::string info = FrameInfoText(0, frame);
  EXPECT_EQ(info.rfind("live=0 frame=3 grid=11x11x16 crop=", 0), 0u) << info;
  EXPECT_EQ(info.find("smoke=0 "), std::string::npos) << "the fire made smoke: " << info;

  EXPECT_EQ(ops.Invoke(kOpsClearCache, {DomainNode()}), Value(true));
  EXPECT_EQ(Status(), "Deleted 4 cached frames.");
  EXPECT_EQ(ops.Invoke(kOpsFrameInfo, {DomainNode()}), Value("no frame"));
}

TEST_F(FireOpsTest, FireFromEventsStoresItsArgumentsAndCountsTheEvents) {
  const std::string missing = (work.path() / "none.txt").string();
  EXPECT_EQ(ops.Invoke(kOpsFireFromEvents, {DomainNode(), missing, 2.5f}), Value(-1));
  EXPECT_EQ(Status(), "events file not found: " + missing);
  EXPECT_EQ(s.domain->Params()->GetString(kEventsFile, 0), missing) << "stored even when the file is missing";
  EXPECT_FLOAT_EQ(*s.domain->Params()->GetFloat(kEventsMinEnergy, 0), 2.5f);

  const std::string events = (work.path() / "events.txt").string();
  std::ofstream(events) << "1 0 0 0 impact 0.5\n2 0 0 0 impact 1\n3 0 0 0 spark 7\n";
  EXPECT_EQ(ops.Invoke(kOpsFireFromEvents, {DomainNode(), events}), Value(2)) << "minEnergy defaults to 1";
  EXPECT_EQ(Status(), "2 events above the minimum energy");
  EXPECT_FLOAT_EQ(*s.domain->Params()->GetFloat(kEventsMinEnergy, 0), 1.0f);
}

TEST_F(FireOpsTest, ExportVdbWritesTheCachedFramesAndReportsThem) {
  EXPECT_EQ(ops.Invoke(kOpsExportVdb, {DomainNode()}), Value(false));
  EXPECT_EQ(Status(), "No cached frames between 0 and 3 - simulate first.");
  Bake();
  EXPECT_EQ(ops.Invoke(kOpsExportVdb, {DomainNode()}), Value(true));
  EXPECT_EQ(Status().rfind("4 VDB frames, ", 0), 0u) << Status();
  EXPECT_TRUE(fs::is_regular_file(work.path() / "vdb" / "Fire_0003.vdb"));
}

TEST_F(FireOpsTest, CompositeOverRendersTheHostsCurrentFrame) {
  const std::string bg = Background(80, 50);
  const std::string out = (work.path() / "out.png").string();
  Bake();
  // Frame 7 is not in the cache.
  s.scene.time.currentTime = s.scene.time.FrameToTicks(7);
  EXPECT_EQ(ops.Invoke(kOpsCompositeOver, {DomainNode(), bg, out}), Value(false));
  EXPECT_EQ(Status(), "Nothing to render at this frame.");
  EXPECT_FALSE(fs::exists(out));

  s.scene.time.currentTime = s.scene.time.FrameToTicks(3);
  const std::string missing = (work.path() / "missing.png").string();
  EXPECT_EQ(ops.Invoke(kOpsCompositeOver, {DomainNode(), missing, out}), Value(false));
  EXPECT_EQ(Status(), "cannot read " + missing);
  EXPECT_FALSE(fs::exists(out));

  s.domain->SetCurrentNode(nullptr);
  ASSERT_EQ(ops.Invoke(kOpsCompositeOver, {DomainNode(), bg, out}), Value(true)) << Status();
  EXPECT_EQ(Status(), "composited " + out);
  EXPECT_EQ(s.domain->CurrentNode(), DomainNode()) << "the node becomes the domain's current node";
  std::string why;
  const auto image = host::LoadBitmapFile(out, &why);
  ASSERT_NE(image, nullptr) << why;
  EXPECT_EQ(image->Width(), 80);
  EXPECT_EQ(image->Height(), 50);
}

}  // namespace
}  // namespace tf
