// The TolvarisFire domain object: its class, its cache id through a scene save and load, its
// folders, the display frame and clearing the cache.
#include <gtest/gtest.h>

#include <algorithm>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "domain/fire_params_desc.h"
#include "host/lua/lua_engine.h"
#include "host/core/platform.h"
#include "host/objects/class_registry.h"
#include "host/scene/scene.h"
#include "host/lua/scene_bindings.h"
#include "host/scene_file/scene_file.h"
#include "plugin/fire_obj_desc.h"
#include "plugin/fire_object.h"
#include "cache/cache_file.h"
#include "tests/cache/cache_test_util.h"

namespace tf {
namespace {

using testing::MakeSmallFrame;
using testing::TempFolder;

constexpr int kTicksPerFrame = 160;  // a new scene runs at 30 frames per second

class FireObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(RegisterFireClass(&why)) << why;
    host::SetDocumentsFolder(docs_.str());
  }
  void TearDown() override { host::SetDocumentsFolder({}); }

  // A domain in scene_, made the way the host makes one, showing the cache (live mode off).
  FireObject* AddDomain(const std::string& name, bool live = false) {
    std::string why;
    auto obj = host::CreateObject(kFireClassName, &why);
    EXPECT_TRUE(obj) << why;
    if (!obj) return nullptr;
    FireObject* domain = AsFireObject(obj.get());
    EXPECT_TRUE(domain);
    scene_.CreateNode(name, std::move(obj));
    if (domain) {
      EXPECT_TRUE(domain->Params()->SetInt(kLiveMode, 0, live ? 1 : 0));
    }
    return domain;
  }

  static void WriteFrame(const std::string& folder, int frame) {
    ASSERT_TRUE(EnsureDirectory(folder));
    ASSERT_TRUE(WriteCacheFrame(MakeSmallFrame(frame), MakeFramePath(folder, "fire", frame, "tfc")));
  }

  TempFolder docs_;
  TempFolder work_;
  host::Scene scene_;
};

// ---- Creation -------------------------------------------------------------------------------

TEST_F(FireObjectTest, NewDomainHoldsOneBlockOfTheFireParameters) {
  // The block's defaults are the description's (the domain layer walks them); the domain must
  // hold that block and no other.
  FireObject* domain = AddDomain("Fire");
  ASSERT_TRUE(domain);
  ASSERT_EQ(domain->NumParamBlocks(), 1);
  EXPECT_EQ(&domain->Params()->Desc(), &FireParamBlockDesc());
}

TEST_F(FireObjectTest, LuaScriptsCreateDomains) {
  host::LuaEngine engine;
  std::string why;
  ASSERT_TRUE(host::BindScene(engine, scene_, &why)) << why;
  const host::ScriptResult r = engine.RunString(R"(scene.create("TolvarisFire", "Fire"))");
  ASSERT_TRUE(r.ok) << r.message;
  host::Node* node = scene_.FindNode("Fire");
  ASSERT_NE(node, nullptr);
  EXPECT_NE(AsFireObject(node->GetObject()), nullptr);
  host::Node* box = scene_.CreateNode("Box", host::CreateObject("Box", &why));
  EXPECT_EQ(AsFireObject(box->GetObject()), nullptr) << "only domains are domains";
}

// ---- Cache id and folders ----------------------------------------------------------------------

TEST_F(FireObjectTest, DomainsGetDifferentCacheIdsAndFolders) {
  FireObject* a = AddDomain("A");
  FireObject* b = AddDomain("B");
  ASSERT_TRUE(a && b);
  EXPECT_NE(a->CacheId(), b->CacheId());
  EXPECT_NE(a->CacheFolder(), b->CacheFolder());
  char expected[32];
  std::snprintf(expected, sizeof expected, "cache_%016llx", static_cast<unsigned long long>(a->CacheId()));
  EXPECT_EQ(a->CacheFolder(), (std::filesystem::path(docs_.str()) / "TolvarisFire" / expected).string());
  EXPECT_EQ(a->OutputFolder(), a->CacheFolder() + "/out");
}

TEST_F(FireObjectTest, FolderParametersOverrideTheDefaults) {
  FireObject* domain = AddDomain("Fire");
  ASSERT_TRUE(domain);
  host::ParamBlock& p = *domain->Params();
  ASSERT_TRUE(p.SetString(kCachePath, 0, work_ / "baked//"));
  EXPECT_EQ(domain->CacheFolder(), work_ / "baked");
  EXPECT_EQ(domain->OutputFolder(), work_ / "baked/out");
  ASSERT_TRUE(p.SetString(kOutPath, 0, work_ / "renders/"));
  EXPECT_EQ(domain->OutputFolder(), work_ / "renders");
  // A relative folder belongs to the scene file's folder.
  scene_.SetFilePath(std::filesystem::path(work_.str()) / "shot.json");
  ASSERT_TRUE(p.SetString(kCachePath, 0, "cache"));
  EXPECT_EQ(domain->CacheFolder(), work_ / "cache");
}

TEST(CacheIdText, RoundTripsEveryBitAndRefusesMalformedText) {
  for (uint64_t id : {uint64_t(0), uint64_t(1), uint64_t(0x0123456789abcdefull), UINT64_MAX}) {
    const std::string text = FormatCacheId(id);
    EXPECT_EQ(text.size(), 18u) << text;
    uint64_t back = 42;
    ASSERT_TRUE(ParseCacheId(text, back)) << text;
    EXPECT_EQ(back, id);
  }
  uint64_t id = 0;
  EXPECT_TRUE(ParseCacheId("0XABC", id));
  EXPECT_EQ(id, 0xabcu);
  for (const char* bad : {"", "0x", "abc", "12", "0x12g4", "0x 12", "-0x1", "0x00000000000000001", "x123"})
    EXPECT_FALSE(ParseCacheId(bad, id)) << '"' << bad << '"';
}

TEST_F(FireObjectTest, ReloadedSceneFindsTheSameCache) {
  FireObject* domain = AddDomain("Fire");
  ASSERT_TRUE(domain);
  const uint64_t id = domain->CacheId();
  const std::string folder = domain->CacheFolder();
  const std::string file = work_ / "scene.json";
  std::string why;
  ASSERT_TRUE(host::SaveScene(scene_, file, &why)) << why;
  EXPECT_NE(host::SceneToText(scene_).find("\"cacheId\": \"" + FormatCacheId(id) + "\""), std::string::npos);

  host::Scene reloaded;
  ASSERT_TRUE(host::LoadScene(reloaded, file, &why)) << why;
  host::Node* node = reloaded.FindNode("Fire");
  ASSERT_NE(node, nullptr);
  FireObject* again = AsFireObject(node->GetObject());
  ASSERT_NE(again, nullptr);
  EXPECT_NE(again, domain);
  EXPECT_EQ(again->CacheId(), id);
  EXPECT_EQ(again->CacheFolder(), folder);

  // And a frame baked before the save shows after the load.
  WriteFrame(folder, 4);
  ASSERT_TRUE(again->Params()->SetInt(kLiveMode, 0, 0));
  auto frame = again->GetDisplayFrame(4 * kTicksPerFrame);
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->header.frame, 4);
}

TEST_F(FireObjectTest, MalformedSavedCacheIdFailsTheLoadAndKeepsTheScene) {
  host::Node* keep = scene_.CreateNode("Keep");
  const std::string file = work_ / "bad.json";
  struct Case {
    const char* data;
    const char* place;
    const char* says;
  };
  const Case cases[] = {
      {R"({"cacheId": "0x12zz"})", "/nodes/0/object/data/cacheId", "found \"0x12zz\""},
      {R"({"cacheId": 1234})", "/nodes/0/object/data/cacheId", "found number"},
      {R"({"cacheId": "0x0123456789abcdef0"})", "/nodes/0/object/data/cacheId", "up to 16 hex digits"},
      {R"({"cacheId": ""})", "/nodes/0/object/data/cacheId", "found \"\""},
      {R"({"cacheId": "0x1", "extra": 1})", "/nodes/0/object/data/extra", "unknown entry"},
      {R"([1, 2])", "/nodes/0/object/data", "must be an object, found array"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.data);
    {
      std::ofstream out(file);
      out << R"({"format": "tolvaris-scene", "version": 1, "nodes": [{"handle": 1, "name": "Fire",
                "object": {"class": "TolvarisFire", "data": )"
          << c.data << "}}]}";
    }
    std::string why;
    EXPECT_FALSE(host::LoadScene(scene_, file, &why));
    EXPECT_NE(why.find(c.place), std::string::npos) << why;
    EXPECT_NE(why.find(c.says), std::string::npos) << why;
    ASSERT_EQ(scene_.Nodes().size(), 1u);
    EXPECT_EQ(scene_.Nodes()[0].get(), keep);
  }
}

TEST_F(FireObjectTest, SceneWithoutSavedIdGetsOneFromTheFileAndTheNode) {
  const std::string text = R"({"format": "tolvaris-scene", "version": 1,
      "nodes": [{"handle": 1, "name": "Fire", "object": {"class": "TolvarisFire"}},
                {"handle": 2, "name": "Fire B", "object": {"class": "TolvarisFire"}}]})";
  auto load = [&](const std::filesystem::path& file, host::Scene& scene, const char* name) -> FireObject* {
    std::ofstream(file) << text;
    std::string why;
    EXPECT_TRUE(host::LoadScene(scene, file, &why)) << why;
    const host::Node* node = scene.FindNode(std::string_view(name));
    return node ? AsFireObject(node->GetObject()) : nullptr;
  };
  host::Scene again, elsewhere;
  FireObject* first = load(work_ / "plain.json", scene_, "Fire");
  FireObject* second = load(work_ / "plain.json", again, "Fire");
  FireObject* other = load(work_ / "copy.json", elsewhere, "Fire");
  ASSERT_TRUE(first && second && other);
  EXPECT_EQ(first->CacheFolder(), second->CacheFolder()) << "every run on the file finds one folder";
  EXPECT_NE(first->CacheId(), other->CacheId()) << "another file, another folder";
  EXPECT_NE(first->CacheId(), AsFireObject(scene_.FindNode("Fire B")->GetObject())->CacheId());
  // Saving writes the id, which then wins wherever the file goes.
  uint64_t saved = 0;
  ASSERT_TRUE(ParseCacheId(first->SaveData().at("cacheId").get<std::string>(), saved));
  EXPECT_EQ(saved, first->CacheId());
}

// ---- The display frame -------------------------------------------------------------------------

TEST_F(FireObjectTest, WrittenFrameIsShownAtItsTime) {
  FireObject* domain = AddDomain("Fire");
  ASSERT_TRUE(domain);
  WriteFrame(domain->CacheFolder(), 12);
  WriteFrame(domain->CacheFolder(), -3);
  const CacheFrame expected = MakeSmallFrame(12);

  // Any tick inside frame 12 shows frame 12.
  auto frame = domain->GetDisplayFrame(12 * kTicksPerFrame + kTicksPerFrame - 1);
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->header.frame, 12);
  EXPECT_EQ(frame->channels, expected.channels);

  frame = domain->GetDisplayFrame(-3 * kTicksPerFrame);
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->header.frame, -3);
  EXPECT_EQ(domain->GetDisplayFrame(13 * kTicksPerFrame), nullptr);
}

TEST_F(FireObjectTest, LiveModeShowsTheLiveFrameInsteadOfTheCache) {
  FireObject* domain = AddDomain("Fire", /*live=*/true);
  ASSERT_TRUE(domain);
  WriteFrame(domain->CacheFolder(), 0);
  EXPECT_EQ(domain->GetDisplayFrame(0), nullptr) << "no live frame yet, and the cache is not consulted";

  // The live run's first frame, once the domain knows its node and is evaluated.
  ASSERT_TRUE(domain->Params()->SetInt(kLiveResolution, 0, 16));
  domain->SetCurrentNode(scene_.FindNodeOf(domain));
  domain->EvalAt(0);
  auto live = domain->GetDisplayFrame(0);
  ASSERT_NE(live, nullptr);
  EXPECT_EQ(std::max({live->header.nx, live->header.ny, live->header.nz}), 16) << "the live grid, not the cached frame's";

  ASSERT_TRUE(domain->Params()->SetInt(kLiveMode, 0, 0));
  auto cached = domain->GetDisplayFrame(0);
  ASSERT_NE(cached, nullptr);
  EXPECT_EQ(cached->header.frame, 0);
}

TEST_F(FireObjectTest, CachePathChangeOrUnnamedChangeDropsTheFrame) {
  FireObject* domain = AddDomain("Fire");
  ASSERT_TRUE(domain);
  WriteFrame(domain->CacheFolder(), 1);
  ASSERT_NE(domain->GetDisplayFrame(kTicksPerFrame), nullptr);

  // Settings that do not move the cache keep the loaded frame.
  uint64_t g = domain->DisplayGeneration();
  ASSERT_TRUE(domain->Params()->SetFloat(kBurnRate, 0, 2.0f));
  EXPECT_EQ(domain->DisplayGeneration(), g);

  ASSERT_TRUE(domain->Params()->SetString(kCachePath, 0, work_.str()));
  EXPECT_GT(domain->DisplayGeneration(), g);
  EXPECT_EQ(domain->GetDisplayFrame(kTicksPerFrame), nullptr) << "the new folder holds no frame 1";

  WriteFrame(work_.str(), 1);
  g = domain->DisplayGeneration();
  domain->OnParamChanged(*domain->Params(), -1);
  EXPECT_GT(domain->DisplayGeneration(), g);
  EXPECT_NE(domain->GetDisplayFrame(kTicksPerFrame), nullptr);
}

TEST_F(FireObjectTest, SceneLoadDropsTheDisplayFrame) {
  // No parameters in the file, so no parameter change drops the frame: only the end of the load.
  const std::string file = work_ / "plain.json";
  {
    std::ofstream out(file);
    out << R"({"format": "tolvaris-scene", "version": 1, "nodes": [{"handle": 1, "name": "Fire",
               "object": {"class": "TolvarisFire", "data": {"cacheId": "0x00000000000000ab"}}}]})";
  }
  std::string why;
  ASSERT_TRUE(host::LoadScene(scene_, file, &why)) << why;
  FireObject* domain = AsFireObject(scene_.FindNode("Fire")->GetObject());
  ASSERT_NE(domain, nullptr);
  EXPECT_EQ(domain->CacheId(), 0xabu);
  EXPECT_EQ(domain->DisplayGeneration(), 2u) << "a new display cache starts at 1; the load drops it once";
}

// ---- Clearing the cache ------------------------------------------------------------------------

// Which files go and what the message says is the cache folder's own rule; the domain clears its
// own folder and drops the frame it shows.
TEST_F(FireObjectTest, ClearCacheEmptiesTheDomainsFolderAndDropsTheShownFrame) {
  FireObject* domain = AddDomain("Fire");
  ASSERT_TRUE(domain);
  const std::string folder = domain->CacheFolder();
  for (int f : {0, 1, -2}) WriteFrame(folder, f);
  ASSERT_NE(domain->GetDisplayFrame(0), nullptr);

  const host::Status cleared = ClearCache(domain);
  EXPECT_TRUE(cleared.ok);
  EXPECT_EQ(cleared.message, "Deleted 3 cached frames.");
  EXPECT_EQ(CountCachedFrames(folder), 0);
  EXPECT_EQ(domain->GetDisplayFrame(0), nullptr) << "the loaded frame went with its file";

  const host::Status none = ClearCache(nullptr);
  EXPECT_FALSE(none.ok);
  EXPECT_EQ(none.message, "") << "no domain: nothing to say";
}

// The example scene a new user opens first: the host's objects and the domain whose logs burn.
TEST_F(FireObjectTest, CampfireExampleLoadsWithItsDomain) {
  host::Scene s;
  std::string why;
  ASSERT_TRUE(host::LoadScene(s, std::filesystem::path(TFR_EXAMPLES_DIR) / "campfire.json", &why)) << why;
  EXPECT_EQ(s.Nodes().size(), 9u);
  const host::Node* pit = s.FindNode("Firepit");
  const host::Node* camera = s.FindNode("Camera");
  ASSERT_NE(pit, nullptr);
  ASSERT_NE(camera, nullptr);
  EXPECT_EQ(s.FindNode("Log A")->Parent(), pit);
  EXPECT_EQ(camera->GetObject()->ClassName(), "Camera");
  EXPECT_EQ(camera->transform.position.Keys().size(), 2u);
  EXPECT_EQ(s.FindNode("Breeze")->GetObject()->ClassName(), "Wind");
  const host::Node* fire = s.FindNode("Fire");
  ASSERT_NE(fire, nullptr);
  FireObject* domain = AsFireObject(fire->GetObject());
  ASSERT_NE(domain, nullptr);
  const std::vector<host::Node*> emitters = domain->Params()->GetNodes(kEmitters);
  ASSERT_EQ(emitters.size(), 2u);
  EXPECT_EQ(emitters[0], s.FindNode("Log A"));
  EXPECT_EQ(emitters[1], s.FindNode("Log B"));
}

}  // namespace
}  // namespace tf
