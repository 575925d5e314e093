// The domain's parameter block description: what the host and the rest of the plug-in rely on.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "domain/fire_params_desc.h"
#include "host/objects/class_registry.h"
#include "host/scene/class_desc.h"
#include "host/scene/objects.h"

namespace tf {
namespace {

using host::ParamDef;
using host::ParamType;

const host::ParamBlockDesc& Desc() { return FireParamBlockDesc(); }

// A stand-in class carrying the block, so that the host builds and registers it as it would the
// domain's.
class BlockOnlyDesc : public host::ClassDesc {
 public:
  host::ClassId ClassID() const override { return {0x7e57b10c, 0x0000f1e7}; }
  host::SuperClassId SuperClassID() const override { return host::kGeomObjectSuperClass; }
  std::string_view ClassName() const override { return "FireBlockTestObject"; }
  std::string_view Category() const override { return "Tests"; }
  bool IsPublic() const override { return false; }
  std::unique_ptr<host::Object> Create() const override { return std::make_unique<host::Object>(*this); }
  std::span<const host::ParamBlockDesc* const> ParamBlockDescs() const override { return blocks_; }

 private:
  const host::ParamBlockDesc* blocks_[1] = {&FireParamBlockDesc()};
};

// ---- The block as a whole ----

TEST(FireParamBlockDesc, PassesTheHostsValidation) {
  std::string error;
  EXPECT_TRUE(host::ValidateParamBlockDesc(Desc(), &error)) << error;
  EXPECT_EQ(Desc().id, 0);
  EXPECT_EQ(Desc().internalName, "params");
  EXPECT_EQ(Desc().flags, 0x26u);  // auto-construct, auto-UI, several rollouts
}

TEST(FireParamBlockDesc, RegistersWithAClassAndBuildsWithTheObject) {
  BlockOnlyDesc cls;
  std::string error;
  ASSERT_TRUE(host::RegisterClassDesc(cls, &error)) << error;
  std::unique_ptr<host::Object> obj = host::CreateObject("FireBlockTestObject", &error);
  EXPECT_TRUE(host::UnregisterClassDesc(cls.ClassID()));
  ASSERT_TRUE(obj) << error;
  ASSERT_EQ(obj->NumParamBlocks(), 1);
  EXPECT_EQ(obj->GetParamBlockById(kFireParamBlockId)->Owner(), obj.get());
}

TEST(FireParamBlockDesc, IdsRunFromZeroTo91WithoutGapsOrRepeats) {
  std::set<int> ids;
  for (const ParamDef& d : Desc().params) EXPECT_TRUE(ids.insert(d.id).second) << "id " << d.id << " twice";
  ASSERT_EQ(Desc().params.size(), size_t(kFireParamCount));
  EXPECT_EQ(*ids.begin(), 0);
  EXPECT_EQ(*ids.rbegin(), kFireParamCount - 1);
  for (int id = 0; id < kFireParamCount; ++id) EXPECT_NE(Desc().Find(id), nullptr) << id;
}

TEST(FireParamBlockDesc, IdConstantsNameTheirParameters) {
  // Every constant is kName with the internal name's first letter capitalised.
  struct Probe {
    int id;
    const char* name;
  };
  for (const Probe& p : {Probe{kSizeX, "sizeX"}, {kClosedFloor, "closedFloor"}, {kUseGPU, "useGPU"},
                         {kEmitTempK, "emitTempK"}, {kPressureQuality, "pressureQuality"},
                         {kVdbVelocity, "vdbVelocity"}, {kWorldSpace, "worldSpace"},
                         {kEventsUnits, "eventsUnits"}, {kDustSources, "dustSources"},
                         {kFlowDisplaceSize, "flowDisplaceSize"}}) {
    const ParamDef* d = Desc().FindByName(p.name);
    ASSERT_NE(d, nullptr) << p.name;
    EXPECT_EQ(d->id, p.id) << p.name;
  }
}

// ---- Rollouts ----

TEST(FireParamBlockDesc, TenRolloutsWithTheirResourcesAndOpenState) {
  ASSERT_EQ(Desc().rollouts.size(), size_t(kFireMapCount));
  std::set<std::string> titles;
  for (size_t i = 0; i < Desc().rollouts.size(); ++i) {
    const host::RolloutDesc& r = Desc().rollouts[i];
    SCOPED_TRACE(r.title);
    EXPECT_EQ(r.map, int(i));
    EXPECT_EQ(r.dialogId, 1800 + r.map);
    EXPECT_EQ(r.titleId, 1900 + r.map);
    EXPECT_EQ(r.open, r.map < 2);
    EXPECT_FALSE(r.groups.empty());
    EXPECT_TRUE(titles.insert(r.title).second);
  }
  EXPECT_EQ(Desc().rollouts[0].title, "Tolvaris Fire - Domain");
  EXPECT_EQ(Desc().rollouts[7].title, "Outputs (written by SIMULATE)");
}

TEST(FireParamBlockDesc, EveryParameterShowsInARolloutAndEveryRolloutShowsSome) {
  std::set<int> used;
  for (const ParamDef& d : Desc().params) {
    EXPECT_GE(d.map, 0) << d.name;
    EXPECT_LT(d.map, kFireMapCount) << d.name;
    EXPECT_FALSE(d.label.empty()) << d.name;
    used.insert(d.map);
  }
  EXPECT_EQ(used.size(), size_t(kFireMapCount));
}

// ---- Types, defaults, ranges ----

TEST(FireParamBlockDesc, EveryDefaultLiesInsideItsRange) {
  for (const ParamDef& d : Desc().params) {
    SCOPED_TRACE(d.name);
    switch (d.type) {
      case ParamType::Float:
      case ParamType::World:
        ASSERT_TRUE(d.hasRange);
        EXPECT_LT(d.minValue, d.maxValue);
        EXPECT_GE(double(d.defaultFloat), d.minValue);
        EXPECT_LE(double(d.defaultFloat), d.maxValue);
        break;
      case ParamType::Int:
        ASSERT_TRUE(d.hasRange);
        EXPECT_LT(d.minValue, d.maxValue);
        EXPECT_GE(double(d.defaultInt), d.minValue);
        EXPECT_LE(double(d.defaultInt), d.maxValue);
        break;
      case ParamType::Bool:
        EXPECT_TRUE(d.defaultInt == 0 || d.defaultInt == 1);
        break;
      case ParamType::Colour:
        for (float c : {d.defaultColour.x, d.defaultColour.y, d.defaultColour.z}) {
          EXPECT_GE(c, 0.0f);
          EXPECT_LE(c, 1.0f);
        }
        break;
      default:
        EXPECT_FALSE(d.hasRange);
        break;
    }
  }
}

TEST(FireParamBlockDesc, NumbersAndColoursAnimateEverythingElseDoesNot) {
  for (const ParamDef& d : Desc().params) {
    const bool animType = d.type == ParamType::Float || d.type == ParamType::World || d.type == ParamType::Colour;
    EXPECT_EQ(d.animatable, animType) << d.name;
  }
}

TEST(FireParamBlockDesc, RadioChoicesCoverTheWholeIntRange) {
  int radios = 0;
  for (const ParamDef& d : Desc().params) {
    if (d.choices.empty()) continue;
    SCOPED_TRACE(d.name);
    ++radios;
    ASSERT_EQ(d.type, ParamType::Int);
    EXPECT_EQ(d.minValue, 0.0);
    EXPECT_EQ(d.maxValue, double(d.choices.size() - 1));
    for (const std::string& c : d.choices) EXPECT_FALSE(c.empty());
  }
  // Emit from, Push, Positions in, Live, Pressure, Show.
  EXPECT_EQ(radios, 6);
  EXPECT_EQ(Desc().Find(kPressureQuality)->choices.size(), size_t(3));
  EXPECT_EQ(Desc().Find(kVpMode)->choices.size(), size_t(5));
}

// ---- A block built from the description ----

class FireBlockTest : public ::testing::Test {
 protected:
  host::ParamBlock block{FireParamBlockDesc(), nullptr};
};

TEST_F(FireBlockTest, ANewBlockHoldsEveryDefaultAndEmptyLists) {
  for (const ParamDef& d : Desc().params) {
    SCOPED_TRACE(d.name);
    switch (d.type) {
      case ParamType::Float:
      case ParamType::World:
        EXPECT_EQ(block.GetFloat(d.id, 0), d.defaultFloat);
        break;
      case ParamType::Int:
      case ParamType::Bool:
        EXPECT_EQ(block.GetInt(d.id, 0), d.defaultInt);
        break;
      case ParamType::Colour: {
        const auto c = block.GetColour(d.id, 0);
        ASSERT_TRUE(c);
        EXPECT_EQ(c->x, d.defaultColour.x);
        EXPECT_EQ(c->y, d.defaultColour.y);
        EXPECT_EQ(c->z, d.defaultColour.z);
        break;
      }
      case ParamType::Filename:
        EXPECT_EQ(block.GetString(d.id, 0), std::string());
        break;
      case ParamType::Node:
        EXPECT_EQ(block.GetNode(d.id, 0), std::optional<host::Node*>(nullptr));
        break;
      case ParamType::NodeList:
        EXPECT_EQ(block.Count(d.id), 0);
        break;
    }
  }
}

TEST_F(FireBlockTest, ResolutionZeroAndAnyFrameOrderAreAccepted) {
  ASSERT_TRUE(block.SetInt(kResolution, 0, 0));
  EXPECT_EQ(block.GetInt(kResolution, 0), 0);
  ASSERT_TRUE(block.SetInt(kStartFrame, 0, -40));
  ASSERT_TRUE(block.SetInt(kEndFrame, 0, -60));
  EXPECT_EQ(block.GetInt(kStartFrame, 0), -40);
  EXPECT_EQ(block.GetInt(kEndFrame, 0), -60);
}

}  // namespace
}  // namespace tf
