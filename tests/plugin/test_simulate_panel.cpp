// The Simulate panel of an edited domain: what it shows when it opens, SIMULATE with the domain
// selected or not, progress in the status line, stopping through the host's stop request, the busy
// flag against a second command, Clear cache, and the slots cleared at edit end.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "bake_scene.h"
#include "panel_test_util.h"
#include "host/panels/panels.h"
#include "host/core/platform.h"
#include "host/view/viewport.h"
#include "plugin/simulate_panel.h"

namespace tf {
namespace {

using host::CommandStatus;
using testing::BakeScene;
using testing::Recorder;

constexpr const char* kSelectMessage = "Select the TolvarisFire domain (only it) and press SIMULATE.";

class SimulatePanel : public ::testing::Test {
 protected:
  void SetUp() override {
    host::ClearStop();
    panel.SetListener(&recorder);
  }
  void TearDown() override {
    panel.EndEdit();
    host::ClearStop();
  }
  // Selects the domain's node (alone) and edits it.
  void Edit(FireObject* d) {
    s.scene.ClearSelection();
    s.scene.Select(s.NodeOf(d));
    ASSERT_TRUE(panel.BeginEdit(s.NodeOf(d)));
  }
  host::Panel* Simulate() const { return panel.FindPanel(kSimulateDialog); }

  BakeScene s;
  host::CommandPanel panel;
  Recorder recorder;
};

TEST_F(SimulatePanel, OpensWithItsButtonsStatusInfoAndAbout) {
  Edit(s.domain);
  EXPECT_EQ(EditedDomain(), s.domain);
  EXPECT_EQ(s.domain->CurrentNode(), s.NodeOf(s.domain));
  const host::Panel* p = Simulate();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->Title(), "Tolvaris Fire - Simulate");
  EXPECT_TRUE(p->IsOpen());
  EXPECT_EQ(p->Label(kSimulateButton), "SIMULATE (full quality, every output)");
  EXPECT_EQ(p->Label(kClearCacheButton), "Clear cache");
  EXPECT_EQ(p->StatusId(), kStatusText);
  EXPECT_EQ(p->StatusText(),
            "Add burning objects under Sources. With Live on, the fire runs in the viewport as you play or change "
            "settings; when it looks right, set the Outputs and press SIMULATE.");
  EXPECT_EQ(p->Text(kLiveText), "Live is off - showing the cache");
  EXPECT_EQ(p->Text(kInfoText), "Grid 11 x 11 x 16 = 0.00 M cells, ~0 MB on the GPU.\n"
                                "Cell 3.75 scene units (9.53 cm).\nCached frames: 0");  // inches
  const host::Panel* about = panel.FindPanel(kAboutDialog);
  ASSERT_NE(about, nullptr);
  EXPECT_EQ(about->Title(), "Tolvaris Fire - About");
  EXPECT_FALSE(about->IsOpen());
  EXPECT_EQ(about->Text(kAboutText), "Version 1.1.3 (built 20261030)");

  panel.EndEdit();
  EXPECT_EQ(EditedDomain(), nullptr);
  EXPECT_TRUE(panel.Panels().empty());
}

TEST_F(SimulatePanel, LiveModeChangesTheLiveText) {
  s.domain->Params()->SetInt(kLiveMode, 0, 1);
  Edit(s.domain);
  EXPECT_EQ(Simulate()->Text(kLiveText), "Live: waiting for the first frame");
}

TEST_F(SimulatePanel, SimulateNeedsTheEditedDomainAmongTheSelection) {
  FireObject* other = s.AddDomain("Other");
  Edit(s.domain);
  // Another object selected instead, or another domain: refused.
  for (host::Node* selected : {s.source, s.NodeOf(other)}) {
    s.scene.ClearSelection();
    s.scene.Select(selected);
    EXPECT_EQ(panel.Press(kSimulateButton), CommandStatus::kFailed);
    EXPECT_EQ(Simulate()->StatusText(), kSelectMessage);
  }
  s.scene.ClearSelection();
  EXPECT_EQ(panel.Press(kSimulateButton), CommandStatus::kFailed);
  EXPECT_EQ(CountCachedFrames(s.domain->CacheFolder()), 0);
  // Both domains selected: the edited one is among them and bakes.
  s.scene.Select(s.NodeOf(other));
  s.scene.Select(s.NodeOf(s.domain), true);
  EXPECT_EQ(panel.Press(kSimulateButton), CommandStatus::kSucceeded) << Simulate()->StatusText();
  EXPECT_EQ(CountCachedFrames(s.domain->CacheFolder()), 4);
  EXPECT_EQ(CountCachedFrames(other->CacheFolder()), 0);
}

TEST_F(SimulatePanel, SimulateShowsProgressThenTheSummary) {
  Edit(s.domain);
  recorder.status.clear();
  const uint64_t redraws = host::TheViewports().RedrawCount();
  ASSERT_EQ(panel.Press(kSimulateButton), CommandStatus::kSucceeded) << Simulate()->StatusText();

  // Status: "Starting...", one line per frame with its count, then the summary.
  ASSERT_EQ(recorder.status.size(), 6u);
  EXPECT_EQ(recorder.status[0], "Starting...");
  EXPECT_TRUE(std::regex_match(recorder.status[2],
                               std::regex(R"(Frame 1 \(2/4\): \d+\.\d ms solve, \d+ pressure it, CPU\n)"
                                          R"(\(2 of 4 - hold Esc to stop\))")))
      << recorder.status[2];
  EXPECT_EQ(recorder.status[5].rfind("Simulated 4 frames, 11x11x16 on the CPU", 0), 0u) << recorder.status[5];
  EXPECT_EQ(Simulate()->StatusText(), recorder.status[5]);
  ASSERT_EQ(recorder.progress.size(), 4u);
  EXPECT_EQ(recorder.progress[3].rfind("Frame 3 (4/4): ", 0), 0u);
  EXPECT_EQ(recorder.progress[3].substr(recorder.progress[3].size() - 6), " | 4/4");
  EXPECT_EQ(recorder.pumps, 4);
  EXPECT_GE(host::TheViewports().RedrawCount(), redraws + 5) << "a redraw per frame and one at the end";
  EXPECT_NE(Simulate()->Text(kInfoText).find("Cached frames: 4"), std::string::npos);

  // Clear cache empties it and says how many went.
  EXPECT_EQ(panel.Press(kClearCacheButton), CommandStatus::kSucceeded);
  EXPECT_EQ(Simulate()->StatusText(), "Deleted 4 cached frames.");
  EXPECT_EQ(CountCachedFrames(s.domain->CacheFolder()), 0);
  EXPECT_NE(Simulate()->Text(kInfoText).find("Cached frames: 0"), std::string::npos);
}

TEST_F(SimulatePanel, TheStopRequestStopsAtTheNextFrame) {
  Edit(s.domain);
  // The user holds Escape while frame 1 is being made.
  recorder.onPump = [&] {
    if (recorder.pumps == 2) host::RequestStop();
  };
  EXPECT_EQ(panel.Press(kSimulateButton), CommandStatus::kStopped);
  EXPECT_EQ(Simulate()->StatusText().rfind("Stopped after 2 frames, ", 0), 0u) << Simulate()->StatusText();
  EXPECT_EQ(CountCachedFrames(s.domain->CacheFolder()), 2);
}

TEST_F(SimulatePanel, ButtonsAreIgnoredWhileACommandRuns) {
  Edit(s.domain);
  std::vector<CommandStatus> nested;
  recorder.onPump = [&] {
    EXPECT_TRUE(PanelBusy());
    nested.push_back(panel.Press(kSimulateButton));
    nested.push_back(panel.Press(kClearCacheButton));
  };
  EXPECT_EQ(panel.Press(kSimulateButton), CommandStatus::kSucceeded);
  EXPECT_FALSE(PanelBusy());
  ASSERT_EQ(nested.size(), 8u);
  for (CommandStatus st : nested) EXPECT_EQ(st, CommandStatus::kIgnored);
  EXPECT_EQ(CountCachedFrames(s.domain->CacheFolder()), 4) << "Clear cache did not run during the bake";
}

TEST_F(SimulatePanel, AFailedBakeShowsItsReason) {
  s.SetSources(s.domain, false);
  Edit(s.domain);
  EXPECT_EQ(panel.Press(kSimulateButton), CommandStatus::kFailed);
  EXPECT_EQ(Simulate()->StatusText(), "Add at least one burning object or particle system under Sources.");
  EXPECT_FALSE(PanelBusy());
}

TEST_F(SimulatePanel, DeletingTheEditedDomainClearsTheSlots) {
  Edit(s.domain);
  ASSERT_TRUE(s.scene.DeleteNode(s.NodeOf(s.domain)));
  EXPECT_EQ(EditedDomain(), nullptr);
  EXPECT_TRUE(panel.Panels().empty());
}

}  // namespace
}  // namespace tf
