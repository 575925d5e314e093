// The adaptive domain in a bake and in live mode, on a small plume blown sideways: the window
// follows the content so that none of it comes within the margin of an inner side, frames are
// stored against the box, a resumed bake repeats the uninterrupted one across resizes, and live
// mode works in a window of its own grid.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "capture/capture_scene.h"
#include "bake/adaptive_run.h"
#include "cache/cache_file.h"
#include "cache/frame_capture.h"
#include "bake/live_mode.h"
#include "bake/simulate.h"
#include "tests/plugin/bake_scene.h"

namespace tf {
namespace {

using testing::BakeScene;

constexpr int kMargin = 3;

// A box twice as wide as the plume needs, with a crosswind along x.
void MakeAdaptive(FireObject* d) {
  host::ParamBlock& p = *d->Params();
  p.SetFloat(kSizeX, 0, 200.0f);
  p.SetFloat(kSizeY, 0, 100.0f);
  p.SetFloat(kSizeZ, 0, 150.0f);
  p.SetInt(kResolution, 0, 60);
  p.SetFloat(kWindX, 0, 3.0f);
  p.SetFloat(kWindDrag, 0, 4.0f);
  p.SetBool(kAdaptive, 0, true);
  p.SetInt(kAdaptMargin, 0, kMargin);
}

class AdaptiveBake : public ::testing::Test {
 protected:
  AdaptiveBake() { MakeAdaptive(s.domain); }
  BakeScene s;
};

TEST_F(AdaptiveBake, ContentNeverComesWithinTheMarginOfAnInnerSide) {
  SimRun run;
  std::string message;
  ASSERT_TRUE(OpenSimRun(run, s.domain, s.NodeOf(s.domain), false, &message)) << message;
  const Int3 box{run.grid.nx, run.grid.ny, run.grid.nz};
  PlaceFirstWindow(run, 0);
  const CellBox first = run.window.cells;
  const CellBox sources = CaptureSourceBox(run, 0);
  ASSERT_FALSE(sources.Empty());
  EXPECT_EQ(first, FirstWindow(sources, box, kMargin));

  std::set<int> sizes;
  for (int f = 0; f < 24; ++f) {
    CaptureScene(run, f);
    AdaptWindow(run, f + 1);
    const CellBox w = run.window.cells;
    sizes.insert(w.Size().x * 1000000 + w.Size().y * 1000 + w.Size().z);
    ASSERT_EQ(run.sim->Grid().nx, w.Size().x);
    const CellBox c = ContentBox(*run.sim, run.window.settings.threshold);
    ASSERT_FALSE(c.Empty()) << "frame " << f;
    const Int3 size = w.Size();
    // Window-local content against every side that is not a side of the box.
    if (w.lo.x > 0) {
      EXPECT_GE(c.lo.x, kMargin) << "x- at frame " << f;
    }
    if (w.lo.y > 0) {
      EXPECT_GE(c.lo.y, kMargin) << "y- at frame " << f;
    }
    if (w.lo.z > 0) {
      EXPECT_GE(c.lo.z, kMargin) << "z- at frame " << f;
    }
    if (w.hi.x < box.x) {
      EXPECT_LE(c.hi.x, size.x - kMargin) << "x+ at frame " << f;
    }
    if (w.hi.y < box.y) {
      EXPECT_LE(c.hi.y, size.y - kMargin) << "y+ at frame " << f;
    }
    if (w.hi.z < box.z) {
      EXPECT_LE(c.hi.z, size.z - kMargin) << "z+ at frame " << f;
    }

    // The frame is stored against the box: its crop lies in the window's place.
    CacheFrame frame;
    ASSERT_TRUE(CaptureFrame(*run.sim, run.grid, frame, f, false, w.lo));
    EXPECT_EQ(frame.header.nx, box.x);
    EXPECT_EQ(frame.header.nz, box.z);
    EXPECT_GE(frame.header.cropOrigin[0], w.lo.x);
    EXPECT_LE(frame.header.cropOrigin[0] + frame.header.cropSize[0], w.hi.x);
  }
  EXPECT_GT(sizes.size(), 2u) << "the window grew with the plume";
  const int64_t windowCells = int64_t(run.window.cells.Size().x) * run.window.cells.Size().y * run.window.cells.Size().z;
  EXPECT_LT(windowCells * 2, int64_t(box.x) * box.y * box.z) << "the plume fills less than half the box";
}

TEST_F(AdaptiveBake, ResumedBakeRepeatsTheUninterruptedOneAcrossResizes) {
  BakeScene::SetRange(s.domain, 0, 11);
  FireObject* whole = s.AddDomain("Whole");
  MakeAdaptive(whole);
  whole->Params()->SetNodes(kEmitters, {s.source});
  BakeScene::SetRange(whole, 0, 11);

  // Stopped after frame 0, before the window first grows: the resumed bake crosses the resize.
  SimulateResult r = Simulate(s.domain, s.NodeOf(s.domain), [](int, int, const std::string&) { return false; });
  ASSERT_TRUE(r.cancelled) << r.message;
  std::set<std::string> windows;
  r = Simulate(s.domain, s.NodeOf(s.domain), [&](int, int, const std::string& text) {
    windows.insert(text.substr(text.find("window")));
    return true;
  }, SimulateOptions{true});
  ASSERT_TRUE(r.ok) << r.message;
  EXPECT_NE(r.message.find("Resumed after frame 0."), std::string::npos) << r.message;
  EXPECT_GT(windows.size(), 1u) << "the window moved after the restart point";
  const SimulateResult u = Simulate(whole, s.NodeOf(whole));
  ASSERT_TRUE(u.ok) << u.message;
  EXPECT_NE(u.message.find("Adaptive: largest window"), std::string::npos) << u.message;
  // The viewport is told the window each frame was solved in.
  const CellBox shown = whole->DisplayWindow(5 * host::TimeSettings().TicksPerFrame());
  EXPECT_FALSE(shown.Empty());
  EXPECT_LE(shown.hi.x, 60);

  for (int f = 0; f <= 11; ++f) {
    CacheFrame a, b;
    ASSERT_TRUE(ReadCacheFrame(MakeFramePath(s.domain->CacheFolder(), "fire", f, "tfc"), a)) << f;
    ASSERT_TRUE(ReadCacheFrame(MakeFramePath(whole->CacheFolder(), "fire", f, "tfc"), b)) << f;
    EXPECT_EQ(a.header.cropOrigin, b.header.cropOrigin) << "frame " << f;
    EXPECT_EQ(a.header.cropSize, b.header.cropSize) << "frame " << f;
    EXPECT_EQ(a.channels, b.channels) << "frame " << f;
  }
}

TEST_F(AdaptiveBake, AWindowTheSolverRefusesStopsTheGrowth) {
  SimRun run;
  std::string message;
  ASSERT_TRUE(OpenSimRun(run, s.domain, s.NodeOf(s.domain), false, &message)) << message;
  PlaceFirstWindow(run, 0);
  const CellBox before = run.window.cells;
  // Too thin for the solver, as a window too large for the device is refused: nothing changes.
  EXPECT_FALSE(MoveWindow(run, CellBox{before.lo, {before.lo.x + 3, before.hi.y, before.hi.z}}));
  EXPECT_TRUE(run.window.cannotGrow);
  EXPECT_EQ(run.window.cells, before);
  EXPECT_EQ(run.sim->Grid().nx, before.Size().x);
  // From then on no larger window is asked for; smaller ones still follow the fire.
  EXPECT_FALSE(MoveWindow(run, CellBox{before.lo, {before.hi.x + 2, before.hi.y, before.hi.z + 2}}));
  const CellBox smaller{before.lo, {before.hi.x - 2, before.hi.y - 2, before.hi.z - 2}};
  EXPECT_TRUE(MoveWindow(run, smaller));
  EXPECT_EQ(run.sim->Grid().nz, smaller.Size().z);
}

TEST_F(AdaptiveBake, RestartPointOfAnEarlierBuildStillResumes) {
  // Restart files written before the window was kept ("TFR1") hold the same record without it and
  // stand for the whole box.
  s.domain->Params()->SetBool(kAdaptive, 0, false);
  BakeScene::SetRange(s.domain, 0, 3);
  ASSERT_TRUE(Simulate(s.domain, s.NodeOf(s.domain), [](int, int, const std::string&) { return false; }).cancelled);
  const std::string path = MakeFramePath(s.domain->CacheFolder(), "restart", 0, "tfr");
  std::vector<uint8_t> bytes;
  {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  ASSERT_GT(bytes.size(), 100u);
  ASSERT_EQ(bytes[3], '2');
  bytes[3] = '1';
  constexpr size_t kWindowAt = 8 + 68, kWindowBytes = 24;  // magic, frame, the record before the window
  bytes.erase(bytes.begin() + kWindowAt, bytes.begin() + kWindowAt + kWindowBytes);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  }
  const SimulateResult r = Simulate(s.domain, s.NodeOf(s.domain), {}, SimulateOptions{true});
  ASSERT_TRUE(r.ok) << r.message;
  EXPECT_NE(r.message.find("Resumed after frame 0."), std::string::npos) << r.message;
}

TEST_F(AdaptiveBake, LiveModeWorksInAWindowOfItsOwnGrid) {
  s.domain->Params()->SetInt(kLiveMode, 0, 1);
  s.domain->Params()->SetInt(kLiveResolution, 0, 24);
  LiveState live;
  const LiveUpdateResult r = LiveUpdate(live, s.domain, s.NodeOf(s.domain), 6 * host::TimeSettings().TicksPerFrame());
  ASSERT_EQ(r.steps, 7) << r.text;
  ASSERT_TRUE(live.frame);
  const SimRun& run = *live.run;
  EXPECT_EQ(run.grid.nx, 24) << "the live grid, sized by liveResolution";
  EXPECT_EQ(live.frame->header.nx, run.grid.nx);
  EXPECT_LT(run.sim->Grid().nx, run.grid.nx) << "the solver works on a window of it";
  EXPECT_NE(r.text.find(WindowText(run)), std::string::npos) << r.text;
}

}  // namespace
}  // namespace tf
