// Live mode on a domain: when it steps, restarts and shows a frame, as the slider moves, the timer
// ticks and settings change. Grids of 16 cells on the longest side keep the steps quick.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "bake_scene.h"
#include "host/objects/class_registry.h"
#include "host/panels/panels.h"
#include "host/scene/scene_view.h"
#include "plugin/simulate_panel.h"
#include "bake/simulate.h"
#include "viewport/fire_point_item.h"

namespace tf::testing {
namespace {

class LiveMode : public ::testing::Test {
 protected:
  void SetUp() override {
    p().SetInt(kLiveMode, 0, 1);
    p().SetInt(kLiveResolution, 0, 16);
    BakeScene::SetRange(s.domain, 10, 400);
    s.domain->SetCurrentNode(s.NodeOf(s.domain));
  }
  host::ParamBlock& p() { return *s.domain->Params(); }
  host::TimeValue At(int frame) const { return s.scene.time.FrameToTicks(frame); }
  // The domain evaluated at a frame, as the host does when the slider moves there; the number of
  // new frames it made visible (the display generation moves once per new live frame).
  uint64_t EvaluateAt(int frame) {
    const uint64_t before = s.domain->DisplayGeneration();
    s.scene.time.currentTime = At(frame);
    s.domain->EvalAt(At(frame));
    return s.domain->DisplayGeneration() - before;
  }
  int Live() const { return s.domain->LiveFrameNumber(); }

  BakeScene s;
};

TEST_F(LiveMode, FollowingTheTimelineStepsUpToTheSliderWithinTheCaps) {
  EXPECT_EQ(EvaluateAt(5), 0u) << "before the start frame nothing is simulated";
  EXPECT_EQ(s.domain->GetDisplayFrame(At(5)), nullptr);
  EXPECT_EQ(Live(), 9) << "a fresh run stands one frame before the start";

  EXPECT_EQ(EvaluateAt(10), 1u);
  EXPECT_EQ(Live(), 10) << "exactly one step at the start frame";
  const auto frame = s.domain->GetDisplayFrame(At(10));
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->header.frame, 10);
  EXPECT_EQ(frame->header.nx, 11) << "the live resolution, not the bake's";

  // A jump far ahead: the steps of a fresh start are capped at 150, later updates take 4 each.
  s.domain->MarkLiveRestart();
  EvaluateAt(210);
  EXPECT_EQ(Live(), 159);
  s.domain->InvalidateGeometry();
  EvaluateAt(210);
  EXPECT_EQ(Live(), 163);

  // Back by one frame: the run restarts and simulates again from the start frame.
  EvaluateAt(12);
  EvaluateAt(11);
  EXPECT_EQ(Live(), 11);
  EXPECT_EQ(s.domain->GetDisplayFrame(At(11))->header.frame, 11);

  // Before the start again: no frame, and a restart, since the run had begun.
  EvaluateAt(3);
  EXPECT_EQ(s.domain->GetDisplayFrame(At(3)), nullptr);
  EXPECT_EQ(Live(), 9);
}

TEST_F(LiveMode, BehindTheSliderItAsksForUpdatesUntilItGetsThere) {
  host::TheViewports().TakeRedrawRequest();
  EvaluateAt(10);
  EXPECT_FALSE(host::TheViewports().TakeRedrawRequest()) << "at the slider: nothing more to do";
  // A jump ahead and nothing else happening: every update asks for the next, which takes 4 steps.
  int updates = 1;
  EvaluateAt(60);
  while (host::TheViewports().TakeRedrawRequest() && updates < 100) {
    s.domain->EvalAt(At(60));
    ++updates;
  }
  EXPECT_EQ(Live(), 60);
  EXPECT_EQ(updates, 13) << "50 frames, 4 steps an update";
  EXPECT_EQ(s.domain->GetDisplayFrame(At(60))->header.frame, 60);
}

// What the viewport item draws at a frame: every point, in order.
std::vector<float> DrawnPoints(FirePointItem& item, host::TimeValue t) {
  item.Realize(host::View{}, t);
  std::vector<float> points;
  for (const host::RenderBatch& b : item.Batches())
    if (b.type == host::PrimitiveType::kPointList)
      for (const host::Point3& q : b.positions) points.insert(points.end(), {q.x, q.y, q.z});
  return points;
}

TEST_F(LiveMode, TheViewportItemDropsOrReplacesItsPointsWithTheShownFrame) {
  std::vector<std::shared_ptr<host::CustomRenderItem>> items;
  s.domain->UpdatePerNodeItems(*s.NodeOf(s.domain), items);
  ASSERT_EQ(items.size(), 1u);
  auto* item = dynamic_cast<FirePointItem*>(items[0].get());
  ASSERT_NE(item, nullptr);
  // A cached frame 12, loaded while Live is off.
  p().SetInt(kLiveMode, 0, 0);
  ASSERT_TRUE(EnsureDirectory(s.domain->CacheFolder()));
  ASSERT_TRUE(WriteCacheFrame(MakeSmallFrame(12), MakeFramePath(s.domain->CacheFolder(), "fire", 12, "tfc")));
  ASSERT_NE(s.domain->GetDisplayFrame(At(12)), nullptr);
  const std::vector<float> cached = DrawnPoints(*item, At(12));
  ASSERT_FALSE(cached.empty());

  p().SetInt(kLiveMode, 0, 1);
  EvaluateAt(12);
  const std::vector<float> live = DrawnPoints(*item, At(12));
  ASSERT_FALSE(live.empty());
  ASSERT_NE(live, cached);
  p().SetInt(kLiveMode, 0, 0);
  EXPECT_EQ(DrawnPoints(*item, At(12)), cached) << "Live off: the cached frame already in memory";

  p().SetInt(kLiveMode, 0, 1);
  EvaluateAt(12);
  ASSERT_FALSE(DrawnPoints(*item, At(12)).empty());
  EvaluateAt(5);
  EXPECT_TRUE(DrawnPoints(*item, At(5)).empty()) << "the slider before the start frame";

  EvaluateAt(12);
  ASSERT_FALSE(DrawnPoints(*item, At(12)).empty());
  s.domain->SetCurrentNode(nullptr);
  EXPECT_FALSE(s.domain->RestartLive());
  EXPECT_TRUE(DrawnPoints(*item, At(12)).empty()) << "a restart that failed";
}

TEST_F(LiveMode, RunningContinuouslyTakesOneStepPerTimerTickAtTheSlidersFrame) {
  p().SetInt(kLiveMode, 0, 2);
  host::CommandPanel& panel = host::TheCommandPanel();
  s.scene.Select(s.NodeOf(s.domain));
  panel.BeginEdit(s.NodeOf(s.domain));
  EXPECT_TRUE(panel.TimerRunning(kLiveTimer));

  EXPECT_EQ(EvaluateAt(20), 1u) << "the first evaluation makes a frame";
  EXPECT_EQ(EvaluateAt(20), 0u) << "no tick, no step";
  EXPECT_EQ(panel.AdvanceTimers(20.0), 0);
  EXPECT_EQ(panel.AdvanceTimers(20.0), 1) << "a tick after 33 ms";
  EXPECT_EQ(host::TheViewports().LastRedrawTime(), At(20));
  host::EvaluateScene(s.scene, At(20));
  EXPECT_EQ(Live(), 11) << "the live frame count grows";
  EXPECT_EQ(s.domain->GetDisplayFrame(At(20))->header.frame, 20) << "the header shows the slider's frame";

  // A tick during a bake asks for a step, but evaluating the domain then takes none.
  bool tickedDuringBake = true;
  BakeScene::SetRange(s.domain, 0, 1);
  Simulate(s.domain, s.NodeOf(s.domain), [&](int, int, const std::string&) {
    s.domain->LiveTimerTick();
    s.domain->InvalidateGeometry();
    tickedDuringBake = EvaluateAt(20) != 0;
    return true;
  });
  EXPECT_FALSE(tickedDuringBake) << "evaluating during a bake does not advance the live run";

  p().SetInt(kLiveMode, 0, 1);
  EXPECT_FALSE(panel.TimerRunning(kLiveTimer)) << "the timer runs only in liveMode 2";
  panel.EndEdit();
}

TEST_F(LiveMode, OnlySettingsThatShapeTheSimulationRestartIt) {
  EvaluateAt(12);
  ASSERT_EQ(Live(), 12);
  // Each change is followed by an evaluation at the same frame: a restart simulates the three
  // frames again, anything else leaves the live frame as it is.
  struct Change {
    const char* what;
    std::function<void()> apply;
    bool restarts;
  };
  host::Node* other = s.scene.CreateNode("Other", host::CreateObject("Sphere", nullptr));
  const std::vector<Change> changes = {
      {"vpDensity (display only)", [&] { p().SetFloat(kVpDensity, 0, 2.0f); }, false},
      {"resolution (the bake's)", [&] { p().SetInt(kResolution, 0, 40); }, false},
      {"restartEvery (the bake's)", [&] { p().SetInt(kRestartEvery, 0, 3); }, false},
      {"the same emitters again", [&] { p().SetNodes(kEmitters, {s.source}); }, false},
      {"buoyancy", [&] { p().SetFloat(kBuoyancy, 0, 3.0f); }, true},
      {"another emitter list", [&] { p().SetNodes(kEmitters, {s.source, other}); }, true},
      {"an unnamed change", [&] { s.domain->OnParamChanged(p(), -1); }, true},
  };
  for (const Change& c : changes) {
    c.apply();
    s.domain->InvalidateGeometry();
    EXPECT_EQ(EvaluateAt(12), c.restarts ? 1u : 0u) << c.what;
    EXPECT_EQ(Live(), 12) << c.what;
  }
  // A display-only change redraws with a new look.
  const uint64_t look = s.domain->LookCounter(), generation = s.domain->DisplayGeneration();
  p().SetFloat(kExposure, 0, 1.5f);
  EXPECT_EQ(s.domain->LookCounter(), look + 1);
  EXPECT_GT(s.domain->DisplayGeneration(), generation);
}

TEST_F(LiveMode, OffShowsTheCacheAndNothingIsSimulated) {
  p().SetInt(kLiveMode, 0, 0);
  EXPECT_EQ(EvaluateAt(12), 0u);
  EXPECT_FALSE(s.domain->HasLiveRun());
  EXPECT_EQ(s.domain->GetDisplayFrame(At(12)), nullptr) << "nothing is cached";
}

}  // namespace
}  // namespace tf::testing
