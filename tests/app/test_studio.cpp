// The studio's request handling, called directly: the token, malformed and out-of-range input,
// a long command on the command thread with the busy flag and Stop, creation and Save.
#include <gtest/gtest.h>

#include "app/studio/studio.h"
#include "host/core/platform.h"
#include "host/scene/param_rollouts.h"
#include "host/scene/scene_file.h"
#include "tests/plugin/bake_scene.h"

namespace app::studio {
namespace {

class StudioRequests : public ::testing::Test {
 protected:
  StudioRequests() {
    session.scene.TakeContents(bake.scene);
    domain = tf::AsFireObject(session.scene.FindNode("Fire")->GetObject());
    studio = std::make_unique<Studio>(session, bake.cache / "scene.json", "tok", bake.cache.path());
  }
  ~StudioRequests() override { studio.reset(); }

  Response Post(const std::string& name, const nlohmann::json& body) {
    return studio->Handle({"POST", "/tok/api/" + name, body.dump()});
  }
  nlohmann::json State() { return nlohmann::json::parse(studio->Handle({"GET", "/tok/api/state", ""}).body); }
  nlohmann::json Control(int id) {
    const nlohmann::json state = State();
    for (const auto& p : state["panels"])
      for (const auto& c : p["controls"])
        if (c["id"] == id) return c;
    return nullptr;
  }

  tf::testing::BakeScene bake;
  Session session;
  tf::FireObject* domain = nullptr;
  std::unique_ptr<Studio> studio;
};

TEST_F(StudioRequests, NeedTheTokenAndWellFormedInput) {
  EXPECT_EQ(studio->Handle({"GET", "/api/state", ""}).status, 403);
  EXPECT_EQ(studio->Handle({"GET", "/tak/api/state", ""}).status, 403);
  EXPECT_EQ(studio->Handle({"GET", "/tok/../scene.json", ""}).status, 404);
  EXPECT_EQ(studio->Handle({"POST", "/tok/api/input", "{not json"}).status, 400);
  EXPECT_EQ(studio->Handle({"POST", "/tok/api/input", "[1,2]"}).status, 400);
  EXPECT_EQ(Post("input", {{"id", "7504"}}).status, 400);
  EXPECT_EQ(Post("input", {{"id", 424242}}).status, 404);
  EXPECT_EQ(Post("input", {{"id", 1LL << 40}}).status, 404);
  EXPECT_EQ(Post("nonsense", nlohmann::json::object()).status, 404);
  EXPECT_EQ(Post("create", {{"msg", "point"}, {"origin", {0, 0}}}).status, 400);
  const Response frame = Post("frame", {{"frame", 1e12}});
  EXPECT_EQ(nlohmann::json::parse(frame.body)["frame"], 100000);
  EXPECT_EQ(State()["frame"], 100000);
  EXPECT_EQ(State()["edited"], "Fire");
}

TEST_F(StudioRequests, ValuesGoThroughThePanelsAndComeBackClamped) {
  const int resolution = host::kParamControlBase + tf::kResolution;
  EXPECT_EQ(Post("input", {{"id", resolution}, {"value", 1e9}}).status, 200);
  EXPECT_EQ(Control(resolution)["value"], 4096);
  const Response refused = Post("input", {{"id", host::kParamControlBase + tf::kEmitters}, {"value", {{"add", "Ghost"}}}});
  EXPECT_EQ(refused.status, 422);
  EXPECT_EQ(nlohmann::json::parse(refused.body)["message"], "The scene has no node named \"Ghost\".");
  EXPECT_EQ(State()["message"], "The scene has no node named \"Ghost\".");
}

TEST_F(StudioRequests, LiveModeCatchesUpWithAJumpOfTheSliderTickByTick) {
  domain->Params()->SetInt(tf::kLiveResolution, 0, 16);
  domain->Params()->SetInt(tf::kLiveMode, 0, 1);
  tf::testing::BakeScene::SetRange(domain, 0, 400);
  domain->SetCurrentNode(session.scene.FindNode("Fire"));
  ASSERT_EQ(Post("frame", {{"frame", 0}}).status, 200);
  ASSERT_EQ(domain->LiveFrameNumber(), 0);
  ASSERT_EQ(Post("frame", {{"frame", 40}}).status, 200);
  EXPECT_EQ(domain->LiveFrameNumber(), 4) << "4 steps in one update";
  int ticks = 0;
  for (; domain->LiveFrameNumber() < 40 && ticks < 100; ++ticks) studio->Tick(33.0);
  EXPECT_EQ(domain->LiveFrameNumber(), 40) << "the slider rests, the live run gets there";
  EXPECT_EQ(ticks, 9);
}

TEST_F(StudioRequests, ALongCommandRunsAloneAndStopsOnStop) {
  tf::testing::BakeScene::SetRange(domain, 0, 400);
  EXPECT_EQ(Post("input", {{"id", 7504}}).status, 202);
  // While it runs, other commands and edits are ignored and the state still answers.
  EXPECT_EQ(Post("input", {{"id", 7503}}).status, 409);
  EXPECT_EQ(Post("frame", {{"frame", 3}}).status, 409);
  EXPECT_TRUE(State()["busy"]);
  uint64_t seq = 0;
  while (studio->Busy() && !State()["progress"].is_object()) studio->WaitEvents(seq, 100);
  EXPECT_EQ(Post("stop", nlohmann::json::object()).status, 200);
  studio->WaitIdle();
  EXPECT_FALSE(host::StopRequested());
  bool stopped = false;
  seq = 0;
  for (const Event& e : studio->WaitEvents(seq, 0))
    if (e.name == "done") stopped = nlohmann::json::parse(e.data)["result"] == "stopped";
  EXPECT_TRUE(stopped);
  EXPECT_LT(tf::CountCachedFrames(domain->CacheFolder()), 401);
  EXPECT_FALSE(State()["busy"]);
  EXPECT_EQ(Post("input", {{"id", 7505}}).status, 202);  // the next command runs
  studio->WaitIdle();
  EXPECT_EQ(tf::CountCachedFrames(domain->CacheFolder()), 0);
}

TEST_F(StudioRequests, DragCreatesADomainAndSaveKeepsItsCacheId) {
  const nlohmann::json down = {0, 0, -1};
  EXPECT_EQ(nlohmann::json::parse(Post("create", {{"msg", "point"}, {"origin", {10, 10, 50}}, {"direction", down}}).body)["result"], "continue");
  Post("create", {{"msg", "move"}, {"origin", {20, 15, 50}}, {"direction", down}});
  const nlohmann::json made = nlohmann::json::parse(Post("create", {{"msg", "point"}, {"origin", {30, 20, 50}}, {"direction", down}}).body);
  ASSERT_EQ(made["result"], "created");
  EXPECT_EQ(State()["edited"], made["node"]);
  host::Node* node = session.scene.FindNode(made["node"].get<std::string>());
  ASSERT_TRUE(node);
  EXPECT_FLOAT_EQ(*tf::AsFireObject(node->GetObject())->Params()->GetFloat(tf::kSizeZ, 0), 30.0f);

  ASSERT_EQ(Post("save", nlohmann::json::object()).status, 200);
  host::Scene loaded;
  std::string why;
  ASSERT_TRUE(host::LoadScene(loaded, bake.cache / "scene.json", &why)) << why;
  host::Node* again = loaded.FindNode(made["node"].get<std::string>());
  ASSERT_TRUE(again);
  EXPECT_EQ(tf::AsFireObject(again->GetObject())->CacheId(), tf::AsFireObject(node->GetObject())->CacheId());
}

}  // namespace
}  // namespace app::studio
