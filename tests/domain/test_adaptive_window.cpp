// The adaptive window's rules: where it starts, how it grows and shrinks with the content, that it
// never leaves the box, which of its sides are open, where its grid lies, and how bad settings are
// clamped.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "domain/adaptive_window.h"
#include "domain/fire_params_desc.h"
#include "host/scene/param_block.h"

namespace tf {
namespace {

constexpr Int3 kBox{100, 80, 120};
constexpr int kMargin = 4;

CellBox Box(Int3 lo, Int3 hi) { return CellBox{lo, hi}; }

struct WindowCase {
  std::string name;
  CellBox window, content, expected;
};

class NextWindowTest : public ::testing::TestWithParam<WindowCase> {};

TEST_P(NextWindowTest, FollowsTheContent) {
  const WindowCase& c = GetParam();
  const CellBox next = NextWindow(c.window, c.content, kBox, kMargin);
  EXPECT_EQ(next, c.expected) << "lo " << next.lo.x << "," << next.lo.y << "," << next.lo.z << " hi " << next.hi.x
                              << "," << next.hi.y << "," << next.hi.z;
  // Planning again from where it went changes nothing: the window does not resize every frame.
  EXPECT_EQ(NextWindow(next, c.content, kBox, kMargin), next);
}

// The window [20, 60) x [20, 60) x [0, 40): margin 4, step 8, so a side grows by content + 12
// when the content comes within 4 cells and shrinks to content + 12 when it is more than 16 away.
const CellBox kWindow = Box({20, 20, 0}, {60, 60, 40});
INSTANTIATE_TEST_SUITE_P(
    Rules, NextWindowTest,
    ::testing::Values(
        WindowCase{"ContentWellInsideKeepsTheWindow", kWindow, Box({26, 30, 0}, {50, 50, 30}), kWindow},
        WindowCase{"NoContentKeepsTheWindow", kWindow, CellBox{}, kWindow},
        WindowCase{"GrowsOnlyTheSideTheContentNears", kWindow, Box({26, 30, 0}, {57, 50, 30}),
                   Box({20, 20, 0}, {69, 60, 40})},
        WindowCase{"GrowsUpWhenTheContentRises", kWindow, Box({26, 30, 0}, {50, 50, 37}),
                   Box({20, 20, 0}, {60, 60, 49})},
        WindowCase{"GrowsOverContentThatLeftIt", kWindow, Box({10, 30, 0}, {50, 50, 30}),
                   Box({0, 20, 0}, {60, 60, 40})},
        WindowCase{"StopsAtTheBoxSides", Box({0, 60, 0}, {100, 76, 116}), Box({10, 63, 2}, {98, 78, 118}),
                   Box({0, 51, 0}, {100, 80, 120})},
        WindowCase{"ShrinksASideTheContentLeftByMoreThanTwiceTheMarginAndAStep", kWindow,
                   Box({26, 30, 0}, {40, 50, 30}), Box({20, 20, 0}, {52, 60, 40})},
        WindowCase{"LeavesTheFloorWhenTheContentRisesFarAboveIt", Box({20, 20, 0}, {60, 60, 80}),
                   Box({26, 30, 40}, {50, 50, 70}), Box({20, 20, 28}, {60, 60, 80})},
        WindowCase{"ShrinksAroundASmallContentOnEverySide", kWindow, Box({40, 40, 20}, {41, 41, 21}),
                   Box({28, 28, 8}, {53, 53, 33})}),
    [](const ::testing::TestParamInfo<WindowCase>& c) { return c.param.name; });

TEST(AdaptiveWindow, FirstWindowIsTheSourcesWithTheMarginInsideTheBox) {
  EXPECT_EQ(FirstWindow(Box({30, 30, 0}, {40, 40, 6}), kBox, kMargin), Box({26, 26, 0}, {44, 44, 10}));
  EXPECT_EQ(FirstWindow(Box({97, 0, 117}, {100, 3, 120}), kBox, kMargin), Box({93, 0, 113}, {100, 7, 120}));
  // Nothing to follow yet: the smallest window at the centre of the floor.
  EXPECT_EQ(FirstWindow(CellBox{}, kBox, kMargin), Box({48, 38, 0}, {52, 42, 4}));
  // A box as small as the solver takes is its own window.
  EXPECT_EQ(FirstWindow(Box({1, 1, 1}, {2, 2, 2}), {4, 4, 4}, 9), Box({0, 0, 0}, {4, 4, 4}));
}

TEST(AdaptiveWindow, SidesOnTheBoxTakeItsSettingAndInnerSidesAreOpen) {
  const OpenSides closedBox = {false, false, false, false, false, false};
  // Standing on the floor, touching the x+ side of the box: those two stay closed.
  EXPECT_EQ(WindowOpenSides(closedBox, Box({10, 10, 0}, {100, 40, 50}), kBox),
            (OpenSides{true, false, true, true, false, true}));
  // Lifted off the floor, the floor is no side of the window: open like any inner side.
  EXPECT_EQ(WindowOpenSides(kDefaultOpenSides, Box({10, 10, 5}, {50, 40, 50}), kBox),
            (OpenSides{true, true, true, true, true, true}));
  // The whole box is the box's own setting.
  EXPECT_EQ(WindowOpenSides(kDefaultOpenSides, Box({0, 0, 0}, kBox), kBox), kDefaultOpenSides);
}

TEST(AdaptiveWindow, GridOfAWindowIsPlacedWhereItsCellsLieInTheBox) {
  DomainGrid box;
  box.nx = 100;
  box.ny = 80;
  box.nz = 120;
  box.cellSize = 2.5f;
  box.cellSizeM = 0.025f;
  box.originX = -125.0f;
  box.originY = -100.0f;
  box.originZ = 0.0f;
  const DomainGrid w = WindowGrid(box, Box({10, 4, 6}, {30, 20, 50}));
  EXPECT_EQ(w.nx * 10000 + w.ny * 100 + w.nz, 201644);
  EXPECT_FLOAT_EQ(w.originX, -100.0f);
  EXPECT_FLOAT_EQ(w.originY, -90.0f);
  EXPECT_FLOAT_EQ(w.originZ, 15.0f);
  EXPECT_EQ(w.cellSizeM, box.cellSizeM);
}

TEST(AdaptiveWindow, BadSettingsAreClamped) {
  host::ParamBlock block{FireParamBlockDesc(), nullptr};
  AdaptiveSettings s = ReadAdaptiveSettings(block);
  EXPECT_FALSE(s.on) << "existing scenes bake as before";
  // Values a scene file or script may force past the block's range.
  block.SetBool(kAdaptive, 0, true);
  block.SetFloat(kAdaptThreshold, 0, std::numeric_limits<float>::quiet_NaN());
  block.SetInt(kAdaptMargin, 0, -5);
  s = ReadAdaptiveSettings(block);
  EXPECT_TRUE(s.on);
  EXPECT_GT(s.threshold, 0.0f);
  EXPECT_GE(s.margin, 1);
  block.SetFloat(kAdaptThreshold, 0, 1e9f);
  block.SetInt(kAdaptMargin, 0, 100000);
  s = ReadAdaptiveSettings(block);
  EXPECT_LE(s.threshold, 1.0f);
  EXPECT_LE(s.margin, 64);
}

}  // namespace
}  // namespace tf
