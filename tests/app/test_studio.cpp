// The studio's request handling, called directly: the token, malformed and out-of-range input,
// a long command on the command thread with the busy flag and Stop, creation and Save, the
// rendered view and the preview shown in the page.
#include <gtest/gtest.h>

#include <fstream>

#include "app/studio/studio.h"
#include "host/core/platform.h"
#include "host/view/bitmap.h"
#include "plugin/fire_ops.h"
#include "host/panels/param_rollouts.h"
#include "host/scene_file/scene_file.h"
#include "tests/plugin/bake_scene.h"

namespace app::studio {
namespace {

class StudioRequests : public ::testing::Test {
 protected:
  StudioRequests() {
    // The plug-in's published interface, as the module registers it when the program loads it.
    static tf::FireOps ops;
    static const bool published = host::RegisterInterface(&ops);
    EXPECT_TRUE(published);
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

  // A PNG answer read back as a bitmap.
  std::unique_ptr<host::Bitmap> Image(const Response& r) {
    EXPECT_EQ(r.contentType, "image/png");
    const std::filesystem::path file = bake.cache / "answer.png";
    std::ofstream(file, std::ios::binary) << r.body;
    std::string why;
    auto image = host::LoadBitmapFile(file, &why);
    EXPECT_TRUE(image) << why;
    return image;
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

// A camera 200 units in front of the domain, looking at its middle, 160 x 120 pixels.
nlohmann::json Camera(nlohmann::json target = {0, 0, 30}) {
  return {{"camera", {{"position", {0, -200, 30}}, {"target", std::move(target)}, {"fov", 45}}}, {"width", 160}, {"height", 120}};
}

TEST_F(StudioRequests, RenderRefusesWhatTheRendererCannotUse) {
  const std::string size = "The render size must be whole numbers of 64 to 4096 pixels a side.";
  const std::string coords = "The camera needs a position, a target and an up of three finite numbers each.";
  const std::string fov = "The camera's field of view must lie between 0 and 180 degrees.";
  struct Case {
    const char* what;
    nlohmann::json body;
    std::string message;
  };
  const auto with = [](const nlohmann::json::json_pointer& at, nlohmann::json value) {
    nlohmann::json body = Camera();
    if (value.is_discarded()) body[at.parent_pointer()].erase(at.back());
    else body[at] = std::move(value);
    return body;
  };
  const nlohmann::json gone(nlohmann::json::value_t::discarded);
  const Case cases[] = {
      {"no size", with("/width"_json_pointer, gone), size},
      {"too narrow", with("/width"_json_pointer, 63), size},
      {"too tall", with("/height"_json_pointer, 4097), size},
      {"fractional size", with("/height"_json_pointer, 100.5), size},
      {"no camera", with("/camera"_json_pointer, gone), coords},
      {"camera not an object", with("/camera"_json_pointer, "front"), coords},
      {"two coordinates", with("/camera/position"_json_pointer, {0, -200}), coords},
      {"a coordinate that is not a number (NaN is sent as null)", with("/camera/target"_json_pointer, {0, nullptr, 30}), coords},
      {"a coordinate far out", with("/camera/position"_json_pointer, {0, -1e30, 30}), coords},
      {"an up of text", with("/camera/up"_json_pointer, {"z", 0, 1}), coords},
      {"eye on its target", with("/camera/target"_json_pointer, {0, -200, 30}), "The camera's position and target must differ."},
      {"no field of view", with("/camera/fov"_json_pointer, gone), fov},
      {"field of view 0", with("/camera/fov"_json_pointer, 0), fov},
      {"field of view 180", with("/camera/fov"_json_pointer, 180), fov},
  };
  for (const Case& c : cases) {
    for (const char* request : {"render", "view"}) {
      const Response r = Post(request, c.body);
      EXPECT_EQ(r.status, 400) << c.what << " (" << request << ")";
      EXPECT_EQ(nlohmann::json::parse(r.body)["message"], c.message) << c.what << " (" << request << ")";
    }
  }
  EXPECT_EQ(Post("view", Camera()).status, 200);
}

TEST_F(StudioRequests, RenderShowsTheFrameFromThePagesCamera) {
  const Response nothing = Post("render", Camera());
  EXPECT_EQ(nothing.status, 409);
  EXPECT_EQ(nlohmann::json::parse(nothing.body)["message"],
            "Nothing to render at frame 0 - simulate first, turn on Live, or move the time slider.");

  tf::testing::BakeScene::SetRange(domain, 0, 3);
  ASSERT_EQ(Post("input", {{"id", 7504}}).status, 202);
  studio->WaitIdle();
  ASSERT_EQ(Post("frame", {{"frame", 3}}).status, 200);

  // Looking at the fire some pixels differ from the background in the corner; looking away, none.
  const Response at = Post("render", Camera());
  ASSERT_EQ(at.status, 200) << at.body;
  const auto seen = Image(at);
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->Width(), 160);
  EXPECT_EQ(seen->Height(), 120);
  const auto lit = [](const host::Bitmap& image) {
    std::vector<host::Rgba16> row(size_t(image.Width())), corner(1);
    image.GetRow(0, corner);
    int count = 0;
    for (int y = 0; y < image.Height(); ++y) {
      image.GetRow(y, row);
      for (const host::Rgba16& p : row) count += std::abs(int(p.r) - int(corner[0].r)) > 8 * 257;
    }
    return count;
  };
  EXPECT_GT(lit(*seen), 50);
  const Response away = Post("render", Camera({0, -400, 30}));
  ASSERT_EQ(away.status, 200);
  EXPECT_EQ(lit(*Image(away)), 0);

  // Preview render shows its image in the page: before the page sent a view through a view of the
  // whole scene (960 x 640), then through the view the page sent last.
  EXPECT_EQ(studio->Handle({"GET", "/tok/api/preview.png", ""}).status, 404);
  host::TheViewports().ClearActiveView();
  studio.reset();
  studio = std::make_unique<Studio>(session, bake.cache / "scene.json", "tok", bake.cache.path());
  ASSERT_EQ(Post("input", {{"id", 7508}}).status, 202);
  studio->WaitIdle();
  const auto first = Image(studio->Handle({"GET", "/tok/api/preview.png", ""}));
  ASSERT_TRUE(first);
  EXPECT_EQ(first->Height(), 853);
  ASSERT_EQ(Post("render", Camera()).status, 200);
  ASSERT_EQ(Post("input", {{"id", 7508}}).status, 202);
  studio->WaitIdle();
  uint64_t seq = 0;
  bool announced = false;
  for (const Event& e : studio->WaitEvents(seq, 0)) announced |= e.name == "preview";
  EXPECT_TRUE(announced);
  const auto preview = Image(studio->Handle({"GET", "/tok/api/preview.png", ""}));
  ASSERT_TRUE(preview);
  EXPECT_EQ(preview->Width(), 1280);  // previewWidth, at the page's aspect
  EXPECT_EQ(preview->Height(), 960);
  EXPECT_GT(lit(*preview), 50 * 64);
}

}  // namespace
}  // namespace app::studio
