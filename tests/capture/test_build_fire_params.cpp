// BuildFireParams: the domain's settings at a time, converted into the solver's record.
#include <gtest/gtest.h>

#include "capture/build_fire_params.h"
#include "domain/fire_params_desc.h"

namespace tf {
namespace {

// The fields no setting of the domain reaches must come out as the record's own defaults.
void ExpectUnmappedAtDefaults(const FireParams& p) {
  const FireParams d;
  EXPECT_EQ(p.fuelDecay, d.fuelDecay);
  EXPECT_EQ(p.radiativeCooling, d.radiativeCooling);
  EXPECT_EQ(p.maxPressureIterations, d.maxPressureIterations);
  EXPECT_EQ(p.emission.emitSpeedX, d.emission.emitSpeedX);
  EXPECT_EQ(p.emission.emitSpeedY, d.emission.emitSpeedY);
}

host::TimeSettings AtFrameRate(int fps) {
  host::TimeSettings ts;
  ts.frameRate = fps;
  return ts;
}

class BuildFireParamsTest : public ::testing::Test {
 protected:
  FireParams Build(host::TimeValue t = 0, int fps = 30, float cellSize = 0.5f) const {
    return BuildFireParams(block, t, AtFrameRate(fps), cellSize);
  }
  host::ParamBlock block{FireParamBlockDesc(), nullptr};
};

// ---- A new domain ----

TEST_F(BuildFireParamsTest, DefaultsGiveTheDocumentedSolverValues) {
  const FireParams p = Build();
  EXPECT_FLOAT_EQ(p.frameTime, 1.0f / 30.0f);
  EXPECT_EQ(p.substeps, 1);
  EXPECT_FLOAT_EQ(p.ignitionTemp, 0.25f);        // 550 K
  EXPECT_FLOAT_EQ(p.emission.emitTemp, 0.8f);    // 1100 K, not the record's 0.6
  EXPECT_FLOAT_EQ(p.pressureTolerance, 0.0003f);  // "Balanced"
  EXPECT_FLOAT_EQ(p.surfThickness, 4.0f);         // 2 units over cells of 0.5
  EXPECT_FLOAT_EQ(p.emission.emitSpeed, 1.0f);
  EXPECT_FLOAT_EQ(p.emission.emitBlend, 0.3f);
  EXPECT_FLOAT_EQ(p.emission.fuelRate, 4.0f);
  EXPECT_FLOAT_EQ(p.smokeDissipate, 0.15f);
  EXPECT_FLOAT_EQ(p.cooling, 1.2f);
  EXPECT_FLOAT_EQ(p.smokeWeight, 0.05f);
  EXPECT_FLOAT_EQ(p.turbScale, 0.25f);
  EXPECT_EQ(p.time, 0.0f);
  EXPECT_EQ(p.openSides, (OpenSides{true, true, true, true, false, true}));
  EXPECT_TRUE(p.useGpu);
  EXPECT_FALSE(p.exportVelocity);
  EXPECT_EQ(p.startFrame, 0);
  EXPECT_EQ(p.endFrame, 100);
  ExpectUnmappedAtDefaults(p);
}

TEST_F(BuildFireParamsTest, UnmappedFieldsStayPutWhateverTheSettings) {
  for (const host::ParamDef& d : FireParamBlockDesc().params) {
    if (d.type == host::ParamType::Float || d.type == host::ParamType::World)
      block.SetFloat(d.id, 0, float(d.maxValue));
    else if (d.type == host::ParamType::Int)
      block.SetInt(d.id, 0, int(d.maxValue));
    else if (d.type == host::ParamType::Bool)
      block.SetBool(d.id, 0, !d.defaultInt);
  }
  ExpectUnmappedAtDefaults(Build(4800));
}

TEST_F(BuildFireParamsTest, EachSettingReachesItsOwnField) {
  // Distinct values, so that a swapped pair shows.
  block.SetFloat(kWindX, 0, 1.5f);
  block.SetFloat(kWindY, 0, -2.5f);
  block.SetFloat(kWindZ, 0, 3.5f);
  block.SetFloat(kWindDrag, 0, 4.5f);
  block.SetFloat(kBuoyancy, 0, 5.5f);
  block.SetFloat(kVorticity, 0, 6.5f);
  block.SetFloat(kTurbulence, 0, 7.5f);
  block.SetFloat(kSmokeRate, 0, 8.5f);
  block.SetFloat(kEmitNoise, 0, 0.125f);
  block.SetInt(kEmitMode, 0, 1);
  block.SetInt(kSubsteps, 0, 5);
  block.SetBool(kUseGPU, 0, false);
  block.SetBool(kVdbVelocity, 0, true);
  const FireParams p = Build();
  EXPECT_EQ(p.windX, 1.5f);
  EXPECT_EQ(p.windY, -2.5f);
  EXPECT_EQ(p.windZ, 3.5f);
  EXPECT_EQ(p.windDrag, 4.5f);
  EXPECT_EQ(p.buoyancy, 5.5f);
  EXPECT_EQ(p.vorticity, 6.5f);
  EXPECT_EQ(p.turbulence, 7.5f);
  EXPECT_EQ(p.emission.smokeRate, 8.5f);
  EXPECT_EQ(p.emitNoise, 0.125f);
  EXPECT_EQ(p.emitMode, 1);
  EXPECT_EQ(p.substeps, 5);
  EXPECT_FALSE(p.useGpu);
  EXPECT_TRUE(p.exportVelocity);
}

// ---- Time ----

TEST_F(BuildFireParamsTest, FrameTimeIsTheScaledFramePeriod) {
  block.SetFloat(kTimeScale, 0, 2.0f);
  EXPECT_FLOAT_EQ(Build(0, 24).frameTime, 2.0f / 24.0f);
  EXPECT_FLOAT_EQ(Build(0, 60).frameTime, 2.0f / 60.0f);
  // No frame rate: one frame lasts one scaled second.
  EXPECT_FLOAT_EQ(Build(0, 0).frameTime, 2.0f);
  EXPECT_FLOAT_EQ(Build(0, -25).frameTime, 2.0f);
}

TEST_F(BuildFireParamsTest, TimeIsTheScaledSceneTimeInSeconds) {
  block.SetFloat(kTimeScale, 0, 0.5f);
  const host::TimeSettings ts = AtFrameRate(24);
  EXPECT_FLOAT_EQ(Build(ts.FrameToTicks(48), 24).time, 1.0f);  // 2 s of scene time, half speed
  EXPECT_FLOAT_EQ(Build(-4800).time, -0.5f);
  block.SetFloat(kTimeScale, 0, 3.0f);
  EXPECT_EQ(Build(0).time, 0.0f);
}

TEST_F(BuildFireParamsTest, AnimatedSettingsAreReadAtTheGivenTime) {
  block.SetFloat(kIgnitionK, 0, 300.0f, true);
  block.SetFloat(kIgnitionK, 4800, 1300.0f, true);
  block.SetFloat(kTimeScale, 0, 1.0f, true);
  block.SetFloat(kTimeScale, 4800, 4.0f, true);
  block.SetFloat(kSurfThickness, 0, 1.0f, true);
  block.SetFloat(kSurfThickness, 4800, 6.0f, true);

  const FireParams first = Build(0, 30, 2.0f);
  EXPECT_FLOAT_EQ(first.ignitionTemp, 0.0f);
  EXPECT_FLOAT_EQ(first.frameTime, 1.0f / 30.0f);
  EXPECT_FLOAT_EQ(first.surfThickness, 0.5f);

  const FireParams later = Build(4800, 30, 2.0f);
  EXPECT_FLOAT_EQ(later.ignitionTemp, 1.0f);
  EXPECT_FLOAT_EQ(later.frameTime, 4.0f / 30.0f);
  EXPECT_FLOAT_EQ(later.time, 4.0f);
  EXPECT_FLOAT_EQ(later.surfThickness, 3.0f);

  // Between keys the record follows the curve, whatever its shape.
  const float mid = *block.GetFloat(kIgnitionK, 2400);
  EXPECT_FLOAT_EQ(Build(2400).ignitionTemp, (mid - 300.0f) / 1000.0f);
}

// ---- Boundaries ----

TEST_F(BuildFireParamsTest, ThreeCheckboxesMakeSixOpenSides) {
  struct Case {
    bool closedFloor, openSides, openTop;
    OpenSides expected;
  };
  for (const Case& c : {Case{true, false, false, {false, false, false, false, false, false}},
                        Case{false, false, false, {false, false, false, false, true, false}},
                        Case{true, true, false, {true, true, true, true, false, false}},
                        Case{true, false, true, {false, false, false, false, false, true}},
                        Case{false, true, true, {true, true, true, true, true, true}}}) {
    block.SetBool(kClosedFloor, 0, c.closedFloor);
    block.SetBool(kOpenSides, 0, c.openSides);
    block.SetBool(kOpenTop, 0, c.openTop);
    EXPECT_EQ(Build().openSides, c.expected)
        << "floor closed " << c.closedFloor << ", sides " << c.openSides << ", top " << c.openTop;
  }
}

// ---- Limits ----

TEST_F(BuildFireParamsTest, PressureQualityChoicesBecomeTolerances) {
  const float expected[3] = {0.001f, 0.0003f, 0.0001f};
  for (int q = 0; q < 3; ++q) {
    block.SetInt(kPressureQuality, 0, q);
    EXPECT_FLOAT_EQ(Build().pressureTolerance, expected[q]) << q;
  }
}

TEST_F(BuildFireParamsTest, EndFrameIsNeverBeforeStartFrame) {
  block.SetInt(kStartFrame, 0, 50);
  block.SetInt(kEndFrame, 0, 10);
  FireParams p = Build();
  EXPECT_EQ(p.startFrame, 50);
  EXPECT_EQ(p.endFrame, 50);
  block.SetInt(kStartFrame, 0, -20);
  block.SetInt(kEndFrame, 0, -5);
  p = Build();
  EXPECT_EQ(p.startFrame, -20);
  EXPECT_EQ(p.endFrame, -5);
}

TEST_F(BuildFireParamsTest, ADegenerateCellSizeDividesByTheSmallestCell) {
  block.SetFloat(kSurfThickness, 0, 2.0f);
  EXPECT_FLOAT_EQ(Build(0, 30, 0.0f).surfThickness, 2.0f / 1e-6f);
  EXPECT_FLOAT_EQ(Build(0, 30, -3.0f).surfThickness, 2.0f / 1e-6f);
  block.SetFloat(kSurfThickness, 0, 0.0f);
  EXPECT_EQ(Build(0, 30, 0.0f).surfThickness, 0.0f);
}

// Callers that hold a domain grid pass it whole; only its cell size in scene units counts, not
// its cell size in metres or its counts.
TEST_F(BuildFireParamsTest, GridOverloadUsesTheGridCellSizeInSceneUnits) {
  block.SetFloat(kSurfThickness, 0, 3.0f);
  block.SetFloat(kTimeScale, 0, 2.0f);
  DomainGrid grid;
  grid.nx = 85;
  grid.ny = 85;
  grid.nz = 128;
  grid.cellSize = 2.34375f;
  grid.cellSizeM = 0.05953125f;
  const FireParams fromGrid = BuildFireParams(block, 2400, AtFrameRate(24), grid);
  const FireParams fromCell = Build(2400, 24, 2.34375f);
  EXPECT_FLOAT_EQ(fromGrid.surfThickness, 1.28f);
  EXPECT_EQ(fromGrid.surfThickness, fromCell.surfThickness);
  EXPECT_EQ(fromGrid.frameTime, fromCell.frameTime);
  EXPECT_EQ(fromGrid.time, fromCell.time);
  EXPECT_EQ(fromGrid.openSides, fromCell.openSides);

  grid.cellSize = 0.0f;  // a degenerate grid still divides by the smallest cell
  EXPECT_FLOAT_EQ(BuildFireParams(block, 0, AtFrameRate(24), grid).surfThickness, 3.0f / 1e-6f);
}

// The panel's ranges keep these settings sane; the conversion must hold on its own for values
// that reach it some other way (a block of looser ranges stands in for those).
class LooseRangesTest : public ::testing::Test {
 protected:
  static host::ParamBlockDesc Loosened() {
    host::ParamBlockDesc d = FireParamBlockDesc();
    for (host::ParamDef& p : d.params) {
      p.hasRange = false;
      p.choices.clear();
    }
    return d;
  }
  FireParams Build() const { return BuildFireParams(block, 0, host::TimeSettings{}, 1.0f); }
  host::ParamBlockDesc desc = Loosened();
  host::ParamBlock block{desc, nullptr};
};

TEST_F(LooseRangesTest, TemperaturesBelow300KelvinGiveZero) {
  block.SetFloat(kIgnitionK, 0, 250.0f);
  block.SetFloat(kEmitTempK, 0, -40.0f);
  ASSERT_EQ(block.GetFloat(kIgnitionK, 0), 250.0f);
  const FireParams p = Build();
  EXPECT_EQ(p.ignitionTemp, 0.0f);
  EXPECT_EQ(p.emission.emitTemp, 0.0f);
}

TEST_F(LooseRangesTest, SubstepsAreAtLeastOne) {
  for (int n : {0, -3}) {
    block.SetInt(kSubsteps, 0, n);
    ASSERT_EQ(block.GetInt(kSubsteps, 0), n);
    EXPECT_EQ(Build().substeps, 1) << n;
  }
}

TEST_F(LooseRangesTest, PressureQualityOutsideTheChoicesUsesTheNearestEnd) {
  block.SetInt(kPressureQuality, 0, -2);
  ASSERT_EQ(block.GetInt(kPressureQuality, 0), -2);
  EXPECT_FLOAT_EQ(Build().pressureTolerance, 0.001f);
  block.SetInt(kPressureQuality, 0, 7);
  EXPECT_FLOAT_EQ(Build().pressureTolerance, 0.0001f);
}

TEST(BuildFireParams, ABlockWithoutTheSettingsLeavesTheRecordAtItsDefaults) {
  const host::ParamBlockDesc empty;
  const host::ParamBlock block(empty, nullptr);
  const FireParams p = BuildFireParams(block, 4800, host::TimeSettings{}, 1.0f);
  const FireParams d;
  EXPECT_FLOAT_EQ(p.frameTime, d.frameTime);
  EXPECT_EQ(p.ignitionTemp, d.ignitionTemp);
  EXPECT_EQ(p.emission.emitTemp, d.emission.emitTemp);
  EXPECT_EQ(p.pressureTolerance, d.pressureTolerance);
  EXPECT_EQ(p.surfThickness, d.surfThickness);
  EXPECT_EQ(p.openSides, d.openSides);
  EXPECT_EQ(p.endFrame, d.endFrame);
  ExpectUnmappedAtDefaults(p);
}

}  // namespace
}  // namespace tf
