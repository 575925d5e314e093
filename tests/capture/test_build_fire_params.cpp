// BuildFireParams: the domain's settings at a time, converted into the solver's record.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>

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

// ---- Each setting and its field ----

// The record's fields that settings reach, by name (the open sides have their own table below).
std::map<std::string, double> Fields(const FireParams& p) {
  const EmissionParams& e = p.emission;
  return {{"substeps", p.substeps},       {"frameTime", p.frameTime},         {"smokeWeight", p.smokeWeight},
          {"buoyancy", p.buoyancy},       {"vorticity", p.vorticity},         {"turbulence", p.turbulence},
          {"turbScale", p.turbScale},     {"ignitionTemp", p.ignitionTemp},   {"burnRate", p.burnRate},
          {"heat", p.heat},               {"smokeYield", p.smokeYield},       {"expansion", p.expansion},
          {"smokeDissipate", p.smokeDissipate}, {"cooling", p.cooling},       {"windX", p.windX},
          {"windY", p.windY},             {"windZ", p.windZ},                 {"windDrag", p.windDrag},
          {"pressureTolerance", p.pressureTolerance}, {"fuelRate", e.fuelRate}, {"emitTemp", e.emitTemp},
          {"smokeRate", e.smokeRate},     {"emitSpeed", e.emitSpeed},         {"emitBlend", e.emitBlend},
          {"emitMode", p.emitMode},       {"surfThickness", p.surfThickness}, {"emitNoise", p.emitNoise},
          {"useGpu", p.useGpu},           {"exportVelocity", p.exportVelocity}, {"startFrame", p.startFrame},
          {"endFrame", p.endFrame}};
}

struct Mapping {
  int param;
  double value;  // set on a new domain, at 30 frames per second and cells of 0.5 units
  const char* field;
  double expected;
};

// Values unlike each other and unlike the defaults, so that a swapped pair shows; the converted
// ones in kelvin, quality steps, units and scaled time come out in the solver's terms.
const Mapping kMappings[] = {
    {kSubsteps, 5, "substeps", 5},
    {kTimeScale, 2.0, "frameTime", 2.0 / 30.0},
    {kSmokeWeight, -0.75, "smokeWeight", -0.75},
    {kBuoyancy, 5.5, "buoyancy", 5.5},
    {kVorticity, 6.5, "vorticity", 6.5},
    {kTurbulence, 7.5, "turbulence", 7.5},
    {kTurbScale, 0.625, "turbScale", 0.625},
    {kIgnitionK, 800, "ignitionTemp", 0.5},
    {kBurnRate, 9.5, "burnRate", 9.5},
    {kHeat, 10.5, "heat", 10.5},
    {kSmokeYield, 1.25, "smokeYield", 1.25},
    {kExpansion, 1.75, "expansion", 1.75},
    {kSmokeDissipate, 2.25, "smokeDissipate", 2.25},
    {kCooling, 3.25, "cooling", 3.25},
    {kWindX, 1.5, "windX", 1.5},
    {kWindY, -2.5, "windY", -2.5},
    {kWindZ, 3.5, "windZ", 3.5},
    {kWindDrag, 4.5, "windDrag", 4.5},
    {kPressureQuality, 0, "pressureTolerance", 0.001},
    {kPressureQuality, 1, "pressureTolerance", 0.0003},
    {kPressureQuality, 2, "pressureTolerance", 0.0001},
    {kFuelRate, 11.5, "fuelRate", 11.5},
    {kEmitTempK, 1500, "emitTemp", 1.2},
    {kSmokeRate, 8.5, "smokeRate", 8.5},
    {kEmitSpeed, -12.5, "emitSpeed", -12.5},
    {kEmitBlend, 0.875, "emitBlend", 0.875},
    {kEmitMode, 1, "emitMode", 1},
    {kSurfThickness, 3.0, "surfThickness", 6.0},
    {kEmitNoise, 0.125, "emitNoise", 0.125},
    {kUseGPU, 0, "useGpu", 0},
    {kVdbVelocity, 1, "exportVelocity", 1},
    {kStartFrame, -7, "startFrame", -7},
    {kEndFrame, 40, "endFrame", 40},
};

void Set(host::ParamBlock& block, int id, double value) {
  const host::ParamDef* def = block.Def(id);
  ASSERT_NE(def, nullptr) << id;
  switch (def->type) {
    case host::ParamType::Float:
    case host::ParamType::World:
      ASSERT_TRUE(block.SetFloat(id, 0, float(value)));
      ASSERT_EQ(block.GetFloat(id, 0), float(value)) << def->name << " is clamped: pick a value in its range";
      break;
    case host::ParamType::Bool:
      ASSERT_TRUE(block.SetBool(id, 0, value != 0.0));
      break;
    default:
      ASSERT_TRUE(block.SetInt(id, 0, int(value)));
      ASSERT_EQ(block.GetInt(id, 0), int(value)) << def->name << " is clamped: pick a value in its range";
  }
}

TEST(BuildFireParams, EachSettingReachesItsOwnFieldAndNoOther) {
  const host::ParamBlock fresh{FireParamBlockDesc(), nullptr};
  const std::map<std::string, double> before = Fields(BuildFireParams(fresh, 0, AtFrameRate(30), 0.5f));
  for (const Mapping& m : kMappings) {
    const host::ParamDef* def = FireParamBlockDesc().Find(m.param);
    ASSERT_NE(def, nullptr) << m.field;
    SCOPED_TRACE(std::string(def->name) + " = " + std::to_string(m.value));
    ASSERT_TRUE(before.contains(m.field)) << m.field;
    host::ParamBlock block{FireParamBlockDesc(), nullptr};
    Set(block, m.param, m.value);
    const FireParams p = BuildFireParams(block, 0, AtFrameRate(30), 0.5f);
    std::map<std::string, double> after = Fields(p);
    EXPECT_NEAR(after[m.field], m.expected, 1e-6 * std::max(1.0, std::abs(m.expected)));
    after[m.field] = before.at(m.field);
    EXPECT_EQ(after, before) << "another field moved too";
    ExpectUnmappedAtDefaults(p);
  }
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
  EXPECT_EQ(Fields(p), Fields(FireParams{}));
  EXPECT_EQ(p.openSides, FireParams{}.openSides);
  ExpectUnmappedAtDefaults(p);
}

}  // namespace
}  // namespace tf
