// Domain sizing: the box, the grid that fills it, the resolution chosen from memory and the
// panel's estimate.
#include <gtest/gtest.h>

#include "device/gpu_memory.h"
#include "domain/domain_sizing.h"
#include "domain/fire_params_desc.h"
#include "solver/fire_sim.h"

namespace tf {
namespace {

constexpr double kInch = 0.0254;

// Memory figures under the test's control, with a clock that moves only when told to.
class FakeMemory {
 public:
  FakeMemory() {
    SetMemorySources({[this] { return nowMs; },
                      [this] { ++gpuQueries; return gpuFree; },
                      [this] { ++hostQueries; return hostAvailable; }});
  }
  ~FakeMemory() { SetMemorySources({}); }
  uint64_t nowMs = 1000;
  uint64_t gpuFree = 0;
  uint64_t hostAvailable = 0;
  int gpuQueries = 0, hostQueries = 0;
};

class DomainSizingTest : public ::testing::Test {
 protected:
  void SetBox(float x, float y, float z) {
    block.SetFloat(kSizeX, 0, x);
    block.SetFloat(kSizeY, 0, y);
    block.SetFloat(kSizeZ, 0, z);
  }
  DomainGrid Size(int resolution, int resolutionOverride = 0) {
    block.SetInt(kResolution, 0, resolution);
    return SizeDomainGrid(block, 0, resolutionOverride, kInch);
  }
  host::ParamBlock block{FireParamBlockDesc(), nullptr};
  FakeMemory memory;
};

// ---- The box ----

TEST_F(DomainSizingTest, BoxStandsOnThePivotCentredInXAndY) {
  SetBox(40, 60, 80);
  const DomainBox box = GetDomainBox(block, 0);
  EXPECT_EQ(box.min, host::Point3(-20, -30, 0));
  EXPECT_EQ(box.max, host::Point3(20, 30, 80));
  EXPECT_EQ(box.Extents(), host::Point3(40, 60, 80));
}

TEST_F(DomainSizingTest, BoxFollowsAnimatedSizes) {
  block.SetFloat(kSizeZ, 0, 100, true);
  block.SetFloat(kSizeZ, 4800, 200, true);
  EXPECT_FLOAT_EQ(GetDomainBox(block, 2400).max.z, 150.0f);
  block.SetInt(kResolution, 0, 50);
  EXPECT_FLOAT_EQ(SizeDomainGrid(block, 4800, 0, kInch).cellSize, 4.0f);  // 200 / 50
}

// ---- Fixed resolutions ----

TEST_F(DomainSizingTest, DefaultBoxAt128GivesTheKnownGrid) {
  SetBox(200, 200, 300);
  const DomainGrid g = Size(128);
  EXPECT_FLOAT_EQ(g.cellSize, 2.34375f);
  EXPECT_EQ(g.nx, 85);  // 85.33
  EXPECT_EQ(g.ny, 85);
  EXPECT_EQ(g.nz, 128);
  EXPECT_FLOAT_EQ(g.originX, -99.609375f);
  EXPECT_FLOAT_EQ(g.originY, -99.609375f);
  EXPECT_EQ(g.originZ, 0.0f);
  EXPECT_FLOAT_EQ(g.cellSizeM, 0.05953125f);  // 2.34375 inches
}

TEST_F(DomainSizingTest, CountsRoundHalvesAwayFromZero) {
  // Cells of 12.5: 56.25 is 4.5 cells and 81.25 is 6.5; rounding to even would give 4 and 6.
  SetBox(56.25f, 81.25f, 100);
  const DomainGrid g = Size(8);
  EXPECT_FLOAT_EQ(g.cellSize, 12.5f);
  EXPECT_EQ(g.nx, 5);
  EXPECT_EQ(g.ny, 7);
  EXPECT_EQ(g.nz, 8);
  EXPECT_FLOAT_EQ(g.originX, -31.25f);
  EXPECT_FLOAT_EQ(g.originY, -43.75f);
}

TEST_F(DomainSizingTest, ResolutionsBelowEightGiveEightCellsOnTheLongestSide) {
  SetBox(100, 50, 200);
  for (int r = 1; r <= 7; ++r) {
    const DomainGrid g = Size(r);
    EXPECT_EQ(g.nz, 8) << r;
    EXPECT_FLOAT_EQ(g.cellSize, 25.0f) << r;
    EXPECT_EQ(g.nx, 4) << r;
    EXPECT_EQ(g.ny, 4) << r;  // 2 cells, raised to the minimum
  }
}

TEST_F(DomainSizingTest, FlatBoxKeepsFourCellsOnItsThinAxis) {
  SetBox(200, 200, 0.001f);
  const DomainGrid g = Size(128);
  EXPECT_FLOAT_EQ(g.cellSize, 1.5625f);
  EXPECT_EQ(g.nx, 128);
  EXPECT_EQ(g.ny, 128);
  EXPECT_EQ(g.nz, 4);
}

TEST_F(DomainSizingTest, TinyBoxCellSizeHasAFloor) {
  SetBox(0.001f, 0.001f, 0.001f);
  const DomainGrid g = Size(4096);
  EXPECT_FLOAT_EQ(g.cellSize, 1e-6f);  // 0.001 / 4096 is below the floor
  EXPECT_EQ(g.nx, 1000);
  EXPECT_EQ(g.nz, 1000);
}

TEST_F(DomainSizingTest, OverrideReplacesTheResolutionSetting) {
  SetBox(200, 200, 300);
  EXPECT_EQ(Size(128, 64).nz, 64);
  EXPECT_EQ(Size(0, 64).nz, 64);   // also when the setting asks for automatic
  EXPECT_EQ(Size(128, 0).nz, 128);
  EXPECT_EQ(Size(128, -5).nz, 128);  // below 1 the setting decides
  EXPECT_EQ(memory.hostQueries, 0);  // no memory query when a resolution is given
}

// ---- Automatic resolution ----

TEST_F(DomainSizingTest, AutomaticResolutionUsesTheHostWhenThereIsNoGpu) {
  memory.hostAvailable = 1'000'000'000;  // 6e8 budgeted, at 160 bytes a cell: 3.75e6 cells
  EXPECT_EQ(AutoResolution({100, 100, 100}), 155);
}

TEST_F(DomainSizingTest, AutomaticResolutionTakesTheSmallerOfTheTwoBudgets) {
  memory.hostAvailable = 1'000'000'000'000;
  memory.gpuFree = 1'000'000'000;  // 8.5e8 at 160 bytes: 5.3125e6 cells
  EXPECT_EQ(AutoResolution({100, 100, 100}), 174);
  SetMemorySources({[this] { return memory.nowMs; }, [] { return uint64_t(1'000'000'000'000); },
                    [] { return uint64_t(1'000'000'000); }});
  EXPECT_EQ(AutoResolution({100, 100, 100}), 181);  // host: 6e8 at 100 bytes
}

TEST_F(DomainSizingTest, AutomaticResolutionScalesWithTheBoxFill) {
  memory.hostAvailable = 1'000'000'000;
  EXPECT_EQ(AutoResolution({200, 200, 300}), 203);  // fill 4/9
  // A sheet of 1e-6 would ask for 15536 cells a side; its fill counts as 0.001.
  EXPECT_EQ(AutoResolution({1000, 1000, 0.001f}), 1553);
}

TEST_F(DomainSizingTest, AutomaticResolutionStaysBetween32And4096) {
  EXPECT_EQ(AutoResolution({100, 100, 100}), 32);  // no memory figure at all
  memory.nowMs += 10'000;
  memory.hostAvailable = 10'000'000'000'000'000;
  memory.gpuFree = 10'000'000'000'000'000;
  EXPECT_EQ(AutoResolution({100, 100, 100}), 4096);
  EXPECT_EQ(AutoResolution({1000, 1000, 0.001f}), 4096);
}

TEST_F(DomainSizingTest, ResolutionZeroSizesTheGridFromMemory) {
  memory.hostAvailable = 1'000'000'000;
  SetBox(100, 100, 100);
  const DomainGrid g = Size(0);
  EXPECT_EQ(g.nx, 155);
  EXPECT_EQ(g.ny, 155);
  EXPECT_EQ(g.nz, 155);
}

TEST_F(DomainSizingTest, MemoryFiguresAreKeptForThreeSeconds) {
  memory.hostAvailable = 1'000'000'000;
  EXPECT_EQ(AutoResolution({100, 100, 100}), 155);
  EXPECT_EQ(memory.hostQueries, 1);
  EXPECT_EQ(memory.gpuQueries, 1);

  memory.hostAvailable = 0;
  memory.nowMs += 3000;  // exactly three seconds: still the kept figures
  EXPECT_EQ(AutoResolution({100, 100, 100}), 155);
  EXPECT_EQ(CurrentMemoryFigures().hostAvailableBytes, 1'000'000'000u);
  EXPECT_EQ(memory.hostQueries, 1);

  memory.nowMs += 1;
  EXPECT_EQ(AutoResolution({100, 100, 100}), 32);
  EXPECT_EQ(memory.hostQueries, 2);
  EXPECT_EQ(memory.gpuQueries, 2);
}

// The real sources: the host always reports memory here; the GPU figure is 0 exactly when no
// device is usable, and a failed query must not leave an error behind for the solver.
TEST(MemorySourcesTest, RealSourcesReportTheMachine) {
  SetMemorySources({});
  const MemoryFigures m = CurrentMemoryFigures();
  EXPECT_GT(m.hostAvailableBytes, 0u);
  EXPECT_EQ(m.gpuFreeBytes == 0, !GpuPresent());
  EXPECT_EQ(GpuFreeMemory() == 0, !GpuPresent());
}

// ---- The panel's estimate ----

TEST(MemoryEstimateTest, LinesOfTheDefaultGrid) {
  DomainGrid g;
  g.nx = 85;
  g.ny = 85;
  g.nz = 128;
  g.cellSize = 2.34375f;
  g.cellSizeM = 0.05953125f;
  const std::vector<std::string> lines = MemoryEstimateLines(g, 12);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Grid 85 x 85 x 128 = 0.92 M cells, ~93 MB on the GPU.");  // 924800 cells
  EXPECT_EQ(lines[1], "Cell 2.34 scene units (5.95 cm).");
  EXPECT_EQ(lines[2], "Cached frames: 12");
  // An adaptive run's window: what the solver holds.
  EXPECT_EQ(MemoryEstimateLines(g, 12, CellBox{{10, 10, 0}, {50, 60, 100}})[0],
            "Grid 85 x 85 x 128, window 40 x 50 x 100 = 0.20 M cells, ~20 MB on the GPU.");  // 200000 cells
}

TEST(MemoryEstimateTest, LargestGridCountsWithoutOverflow) {
  DomainGrid g;
  g.nx = g.ny = g.nz = 4096;
  g.cellSize = 0.5f;
  g.cellSizeM = 0.0127f;
  const std::vector<std::string> lines = MemoryEstimateLines(g, 0);
  EXPECT_EQ(lines[0], "Grid 4096 x 4096 x 4096 = 68719.48 M cells, ~6946816 MB on the GPU.");
  EXPECT_EQ(lines[1], "Cell 0.5 scene units (1.27 cm).");
  EXPECT_EQ(lines[2], "Cached frames: 0");
}

}  // namespace
}  // namespace tf
