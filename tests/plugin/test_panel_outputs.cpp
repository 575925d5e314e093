// Export VDB and Preview render on the Simulate panel of an edited domain: files per cached frame
// with progress in the status line, the stop request, nothing cached, the busy flag, and the
// preview of the host's current frame saved beside the cache.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "bake_scene.h"
#include "panel_test_util.h"
#include "domain/fire_params_desc.h"
#include "host/view/bitmap.h"
#include "host/panels/panels.h"
#include "host/core/platform.h"
#include "host/view/viewport.h"
#include "plugin/simulate_panel.h"
#include "cache/cache_file.h"

namespace tf {
namespace {

namespace fs = std::filesystem;
using host::CommandStatus;
using testing::BakeScene;
using testing::FileNames;
using testing::Recorder;

class PanelOutputs : public ::testing::Test {
 protected:
  void SetUp() override {
    host::ClearStop();
    host::SetBitmapShowHook([](const host::Bitmap&, const std::string&, std::string*) { return true; });
    s.domain->Params()->SetBool(kOutVDB, 0, false);
    s.domain->Params()->SetBool(kOutPRT, 0, false);
    s.domain->Params()->SetBool(kOutPreview, 0, false);
    s.domain->Params()->SetString(kVdbPath, 0, vdb.str());
    s.domain->Params()->SetInt(kPreviewWidth, 0, 96);
    s.scene.Select(s.NodeOf(s.domain));
    panel.SetListener(&recorder);
    ASSERT_TRUE(panel.BeginEdit(s.NodeOf(s.domain)));
  }
  void TearDown() override {
    panel.EndEdit();
    host::ClearStop();
    host::TheViewports().ClearActiveView();
    host::SetBitmapShowHook({});
  }
  host::Panel* Simulate() const { return panel.FindPanel(kSimulateDialog); }
  void Bake() {
    ASSERT_EQ(panel.Press(kSimulateButton), CommandStatus::kSucceeded) << Simulate()->StatusText();
    recorder.status.clear();
    recorder.progress.clear();
    recorder.pumps = 0;
  }

  BakeScene s;
  testing::TempFolder vdb;
  host::CommandPanel panel;
  Recorder recorder;
};

TEST_F(PanelOutputs, ExportWritesAFilePerCachedFrameWithProgress) {
  EXPECT_EQ(Simulate()->Label(kExportVdbButton), "Export VDB");
  Bake();
  // Frame 2 went missing from the cache: skipped, not an error.
  ASSERT_TRUE(fs::remove(MakeFramePath(s.domain->CacheFolder(), "fire", 2, "tfc")));
  ASSERT_EQ(panel.Press(kExportVdbButton), CommandStatus::kSucceeded) << Simulate()->StatusText();
  EXPECT_EQ(FileNames(vdb.path()), (std::vector<std::string>{"Fire_0000.vdb", "Fire_0001.vdb", "Fire_0003.vdb"}));
  EXPECT_TRUE(std::regex_match(Simulate()->StatusText(),
                               std::regex(R"(3 VDB frames, \d+\.\d MB each on average, in )" + vdb.str() +
                                          R"(\. Load them with .*)")))
      << Simulate()->StatusText();
  ASSERT_EQ(recorder.progress.size(), 3u);
  EXPECT_EQ(recorder.progress[2].rfind("VDB frame 3: ", 0), 0u) << recorder.progress[2];
  EXPECT_EQ(recorder.progress[2].substr(recorder.progress[2].size() - 6), " | 4/4");
  // The status line showed each frame with its count before the summary.
  ASSERT_EQ(recorder.status.size(), 4u);
  EXPECT_TRUE(std::regex_match(recorder.status[1],
                               std::regex(R"(VDB frame 1: \d+\.\d MB\n\(2 of 4 - hold Esc to stop\))")))
      << recorder.status[1];
  EXPECT_EQ(recorder.pumps, 3);
  EXPECT_FALSE(PanelBusy());
}

TEST_F(PanelOutputs, ExportWithNothingCachedFails) {
  EXPECT_EQ(panel.Press(kExportVdbButton), CommandStatus::kFailed);
  EXPECT_EQ(Simulate()->StatusText(), "No cached frames between 0 and 3 - simulate first.");
  EXPECT_TRUE(FileNames(vdb.path()).empty());
}

TEST_F(PanelOutputs, ExportStopsOnTheStopRequestAndKeepsWhatItWrote) {
  Bake();
  recorder.onPump = [&] {
    if (recorder.pumps == 2) host::RequestStop();
  };
  EXPECT_EQ(panel.Press(kExportVdbButton), CommandStatus::kStopped);
  EXPECT_EQ(FileNames(vdb.path()), (std::vector<std::string>{"Fire_0000.vdb", "Fire_0001.vdb"}));
  EXPECT_EQ(Simulate()->StatusText().rfind("2 VDB frames, ", 0), 0u) << Simulate()->StatusText();
}

TEST_F(PanelOutputs, ExportAndPreviewAreIgnoredWhileABakeRuns) {
  std::vector<CommandStatus> nested;
  recorder.onPump = [&] {
    nested.push_back(panel.Press(kExportVdbButton));
    nested.push_back(panel.Press(kPreviewButton));
  };
  ASSERT_EQ(panel.Press(kSimulateButton), CommandStatus::kSucceeded);
  ASSERT_EQ(nested.size(), 8u);
  for (CommandStatus st : nested) EXPECT_EQ(st, CommandStatus::kIgnored);
  EXPECT_TRUE(FileNames(vdb.path()).empty());
}

TEST_F(PanelOutputs, PreviewRendersTheCurrentFrameAndSavesIt) {
  EXPECT_EQ(Simulate()->Label(kPreviewButton), "Preview render");
  s.scene.time.currentTime = s.scene.time.FrameToTicks(2);
  // Nothing baked yet.
  EXPECT_EQ(panel.Press(kPreviewButton), CommandStatus::kFailed);
  EXPECT_EQ(Simulate()->StatusText(),
            "Nothing to render at frame 2 - simulate first, turn on Live, or move the time slider.");
  Bake();
  // Baked, but no view to render from.
  EXPECT_EQ(panel.Press(kPreviewButton), CommandStatus::kFailed);
  EXPECT_EQ(Simulate()->StatusText(), "No active viewport.");

  host::View v;
  v.width = 160, v.height = 90;
  v.affineTM = host::LookAt({0, -200, 60}, {0, 0, 20}).Inverse();
  host::TheViewports().SetActiveView(v);
  ASSERT_EQ(panel.Press(kPreviewButton), CommandStatus::kSucceeded) << Simulate()->StatusText();
  const std::string saved = s.domain->CacheFolder() + "/preview_2.png";
  EXPECT_TRUE(std::regex_match(Simulate()->StatusText(),
                               std::regex(R"(Preview of frame 2: \d+ ms on the CPU, 96 x 64 \(11x11x16 cells\)\.\nSaved )" +
                                          saved)))
      << Simulate()->StatusText();
  EXPECT_TRUE(fs::is_regular_file(saved));
  EXPECT_FALSE(PanelBusy());
}

}  // namespace
}  // namespace tf
