// CaptureScene on small runs: domain motion, force fields, the fluid bridge, uploaded inputs that
// are cleared once, dust against fire, flicker and events.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "capture/capture_scene.h"
#include "capture/scene_inputs.h"
#include "capture_test_util.h"
#include "host/objects/hair.h"
#include "host/objects/particles.h"
#include "host/objects/space_warps.h"
#include "solver/fire_sim_impl.h"

namespace tf {
namespace {

using testing::DomainScene;
using testing::TempFolder;
using testing::WriteText;

float Max(const std::vector<float>& v) { return *std::max_element(v.begin(), v.end()); }
float Min(const std::vector<float>& v) { return *std::min_element(v.begin(), v.end()); }

// ---- Domain motion ----

class DomainMotionTest : public ::testing::Test {
 protected:
  // An emitter box near the middle burns on frame 0 only; the domain stands still or, when `move`
  // is set, slides by 2.6 cells (10.4 units) along x by frame 1.
  void Bake(DomainScene& s, bool move, int manualShift) {
    host::Node* box = s.AddBox("Burner", {0, 0, 8}, 16, 16, 8);
    s.block->SetNodes(kEmitters, {box});
    if (move) {
      s.node->transform.position.SetKey(0, {0, 0, 0});
      s.node->transform.position.SetKey(s.scene.time.FrameToTicks(1), {10.4f, 0, 0});
    }
    ASSERT_TRUE(s.Open());
    CaptureScene(s.run, 0);
    s.block->SetNodes(kEmitters, {});
    if (manualShift) s.run.sim->Shift(manualShift, 0, 0);
    if (!move) s.block->SetBool(kWorldSpace, 0, false);
    CaptureScene(s.run, 1);
  }
};

TEST_F(DomainMotionTest, WholeCellsShiftAndTheRestIsKept) {
  DomainScene moving, shiftedBy3, shiftedBy2;
  Bake(moving, true, 0);
  EXPECT_NEAR(moving.run.capture.motionRemainder[0], -0.4f, 1e-4f);
  EXPECT_EQ(moving.run.capture.motionRemainder[1], 0.0f);
  EXPECT_EQ(moving.run.capture.motionRemainder[2], 0.0f);
  EXPECT_TRUE(moving.run.capture.hasPreviousTM);
  EXPECT_EQ(moving.run.capture.previousTM.GetTrans().x, 10.4f);

  // The same fire shifted by hand by 3 cells (and by 2) before a still frame: only the shift by 3
  // matches the moving domain.
  Bake(shiftedBy3, false, 3);
  Bake(shiftedBy2, false, 2);
  const std::vector<float> a = moving.Field(FieldId::Density);
  EXPECT_GT(Max(a), 0.0f);
  EXPECT_EQ(a, shiftedBy3.Field(FieldId::Density));
  EXPECT_NE(a, shiftedBy2.Field(FieldId::Density));
}

TEST_F(DomainMotionTest, HalfCellsRoundAwayFromZero) {
  DomainScene s;
  // Half a cell (2 units) along -x and along +y every frame.
  s.node->transform.position.SetKey(0, {0, 0, 0});
  s.node->transform.position.SetKey(s.scene.time.FrameToTicks(10), {-20, 20, 0});
  ASSERT_TRUE(s.Open());
  CaptureScene(s.run, 0);
  CaptureScene(s.run, 1);
  EXPECT_FLOAT_EQ(s.run.capture.motionRemainder[0], 0.5f);   // -0.5 went to -1
  EXPECT_FLOAT_EQ(s.run.capture.motionRemainder[1], -0.5f);  // +0.5 went to +1
  CaptureScene(s.run, 2);  // the next half cell brings both back to 0 without a shift
  EXPECT_NEAR(s.run.capture.motionRemainder[0], 0.0f, 1e-5f);
  EXPECT_NEAR(s.run.capture.motionRemainder[1], 0.0f, 1e-5f);
}

TEST_F(DomainMotionTest, WorldSpaceOffMovesTheFireWithTheBoxButKeepsTheTransform) {
  DomainScene s;
  s.block->SetBool(kWorldSpace, 0, false);
  s.node->transform.position.SetKey(0, {0, 0, 0});
  s.node->transform.position.SetKey(s.scene.time.FrameToTicks(1), {10.4f, 0, 0});
  ASSERT_TRUE(s.Open());
  CaptureScene(s.run, 0);
  CaptureScene(s.run, 1);
  EXPECT_EQ(s.run.capture.motionRemainder[0], 0.0f);
  EXPECT_EQ(s.run.capture.previousTM.GetTrans().x, 10.4f);
  // Turning it on now sees no motion: the previous frame is where the box already was.
  s.block->SetBool(kWorldSpace, 0, true);
  CaptureScene(s.run, 2);
  EXPECT_EQ(s.run.capture.motionRemainder[0], 0.0f);
}

// ---- Force fields ----

TEST(ForceFields, RotatedDomainTurnsWorldGravityIntoItsY) {
  DomainScene s;
  s.node->transform.rotation.SetConstant(host::Quat::AxisAngle({1, 0, 0}, 1.5707963f));
  host::Node* gravity = s.AddObject("Gravity001", host::GravityClassDesc());
  s.block->SetNodes(kForces, {gravity});
  ASSERT_TRUE(s.Open());
  CaptureScene(s.run, 0);
  const RunCaptureState& c = s.run.capture;
  ASSERT_EQ(c.forceY.size(), size_t(16 * 16 * 16));
  for (size_t i = 0; i < c.forceY.size(); i += 97) {
    EXPECT_NEAR(std::abs(c.forceY[i]), 9.81f, 1e-3f);
    EXPECT_NEAR(c.forceX[i], 0.0f, 1e-4f);
    EXPECT_NEAR(c.forceZ[i], 0.0f, 1e-4f);
  }
  EXPECT_TRUE(s.run.sim->Internals().hasExtForce);
  EXPECT_EQ(c.invalidForceSamples, 0);

  // Removing the field drops the solver's external force.
  s.block->SetNodes(kForces, {});
  CaptureScene(s.run, 1);
  EXPECT_FALSE(s.run.sim->Internals().hasExtForce);
}

TEST(ForceFields, NonFiniteSamplesAreCountedPerBlockAndExtremesClamped) {
  DomainScene s;
  s.block->SetInt(kResolution, 0, 64);
  host::Node* nan = s.AddObject("Nan", host::GravityClassDesc());
  host::Node* inf = s.AddObject("Inf", host::WindClassDesc());
  nan->GetObject()->GetParamBlock(0)->SetInt(host::kForceTestOutput, 0, 1);
  inf->GetObject()->GetParamBlock(0)->SetInt(host::kForceTestOutput, 0, 2);
  ASSERT_TRUE(s.Open());
  ASSERT_EQ(s.run.grid.nx, 64);
  CaptureContext ctx = MakeCaptureContext(s.run, 0);
  CaptureForceFields(ctx, {nan});
  EXPECT_EQ(s.run.capture.invalidForceSamples, 4096);  // (64 / 4)^3 blocks
  CaptureForceFields(ctx, {nan, inf});
  EXPECT_EQ(s.run.capture.invalidForceSamples, 4096 * 3);
  EXPECT_EQ(Max(s.run.capture.forceX), 0.0f);
  EXPECT_EQ(Min(s.run.capture.forceX), 0.0f);

  // 5000 m/s^2 along world x is held to 2000; a normal field beside it still adds up.
  host::Node* strong = s.AddObject("Strong", host::WindClassDesc());
  strong->GetObject()->GetParamBlock(0)->SetFloat(host::kForceStrength, 0, 5000.0f);
  host::Node* wind = s.AddObject("Wind", host::WindClassDesc());  // 1 m/s^2 along +x
  CaptureForceFields(ctx, {strong, nan, wind});
  EXPECT_NEAR(Max(s.run.capture.forceX), 2001.0f, 0.05f);
  EXPECT_NEAR(Min(s.run.capture.forceX), 2001.0f, 0.05f);
  EXPECT_EQ(s.run.capture.invalidForceSamples, 4096 * 4);

  // The count of a very long bake stops at the top of its range instead of wrapping.
  s.run.capture.invalidForceSamples = std::numeric_limits<int>::max() - 10;
  CaptureForceFields(ctx, {nan});
  EXPECT_EQ(s.run.capture.invalidForceSamples, std::numeric_limits<int>::max());
}

TEST(ForceFields, PartialBlocksAtTheGridsEndStillGetTheField) {
  DomainScene s;
  s.block->SetFloat(kSizeX, 0, 40.0f);  // 10 cells of 4: blocks of 4, 4 and 2 cells along x
  host::Node* wind = s.AddObject("Wind", host::WindClassDesc());
  ASSERT_TRUE(s.Open());
  ASSERT_EQ(s.run.grid.nx, 10);
  CaptureContext ctx = MakeCaptureContext(s.run, 0);
  CaptureForceFields(ctx, {wind});
  EXPECT_NEAR(Min(s.run.capture.forceX), 1.0f, 1e-4f);
  EXPECT_NEAR(Max(s.run.capture.forceX), 1.0f, 1e-4f);
}

// ---- Inputs that are cleared exactly once ----

TEST(UploadedInputs, RemovedInputsAreClearedOnceAndThenLeftAlone) {
  DomainScene s;
  host::Node* wood = s.AddBox("Wood", {0, 0, 4}, 16, 16, 8);
  host::Node* wall = s.AddBox("Wall", {-20, 0, 0}, 8, 40, 40);
  host::Node* water = s.AddBox("Water", {20, 0, 0}, 8, 8, 8);
  s.block->SetNodes(kFlammables, {wood});
  s.block->SetNodes(kColliders, {wall});
  s.block->SetNodes(kExtinguishers, {water});
  ASSERT_TRUE(s.Open());
  FireSim::Impl& impl = s.run.sim->Internals();
  CaptureScene(s.run, 0);
  EXPECT_TRUE(impl.hasFlammable);
  EXPECT_TRUE(impl.hasQuench);
  EXPECT_TRUE(impl.hasEmitVel);  // inheritMotion is on by default
  EXPECT_TRUE(s.run.capture.flammablesUploaded && s.run.capture.solidsUploaded && s.run.capture.quenchUploaded);
  const std::vector<float> solid = s.Field(FieldId::Solid);
  EXPECT_GT(Max(solid), 0.0f);

  s.block->SetNodes(kFlammables, {});
  s.block->SetNodes(kColliders, {});
  s.block->SetNodes(kExtinguishers, {});
  s.block->SetFloat(kInheritMotion, 0, 0.0f);
  CaptureScene(s.run, 1);
  EXPECT_FALSE(impl.hasFlammable);
  EXPECT_FALSE(impl.hasQuench);
  EXPECT_FALSE(impl.hasEmitVel);
  EXPECT_EQ(Max(s.Field(FieldId::Solid)), 0.0f);
  EXPECT_FALSE(s.run.capture.flammablesUploaded || s.run.capture.solidsUploaded ||
               s.run.capture.quenchUploaded || s.run.capture.velocityUploaded);

  // Once cleared, nothing is uploaded again for them: flags set behind capture's back survive.
  impl.hasFlammable = impl.hasQuench = impl.hasEmitVel = true;
  CaptureScene(s.run, 2);
  EXPECT_TRUE(impl.hasFlammable);
  EXPECT_TRUE(impl.hasQuench);
  EXPECT_TRUE(impl.hasEmitVel);
  impl.hasFlammable = impl.hasQuench = impl.hasEmitVel = false;
}

TEST(UploadedInputs, CollidersWithoutMeshesUploadNoSolidCellAndWaterBlocks) {
  DomainScene s;
  host::Node* empty = s.scene.CreateNode("Nothing");
  host::Node* particles = s.AddObject("Parts", host::ParticleEmitterClassDesc());
  s.block->SetNodes(kColliders, {empty, particles});
  ASSERT_TRUE(s.Open());
  CaptureScene(s.run, 0);
  EXPECT_TRUE(s.run.capture.solidsUploaded);
  EXPECT_EQ(Max(s.Field(FieldId::Solid)), 0.0f);

  // Water of 16 units (4 cells) a side blocks where it is dense; without waterBlocks it does not.
  host::Node* water = s.AddBox("Water", {0, 0, 16}, 16, 16, 16);
  s.block->SetNodes(kExtinguishers, {water});
  CaptureScene(s.run, 1);
  const std::vector<float> solid = s.Field(FieldId::Solid);
  EXPECT_GT(solid[s.Index(8, 8, 6)], 0.0f);
  EXPECT_EQ(solid[s.Index(8, 8, 12)], 0.0f);
  s.block->SetBool(kWaterBlocks, 0, false);
  CaptureScene(s.run, 2);
  EXPECT_EQ(Max(s.Field(FieldId::Solid)), 0.0f);
  EXPECT_TRUE(s.run.sim->Internals().hasQuench);
}

// ---- Emitters, dust and flicker ----

TEST(Emitters, DustNeverReplacesFireAndNodesWithoutGeometryAddNothing) {
  DomainScene s;
  s.block->SetFloat(kSmokeRate, 0, 2.0f);  // dust amount 0.5
  host::Node* fire = s.AddBox("Fire", {0, 0, 8}, 16, 16, 16);
  host::Node* dust = s.AddBox("Dust", {8, 0, 8}, 24, 16, 16);  // overlaps the fire's +x half
  host::Node* nothing = s.scene.CreateNode("Helper");
  s.block->SetNodes(kEmitters, {fire, nothing});
  s.block->SetNodes(kDustSources, {dust, nothing});
  ASSERT_TRUE(s.Open());
  CaptureScene(s.run, 0);
  const std::vector<float> mask = s.Field(FieldId::EmitterMask);
  // Fire cells (x 6..9 over -8..8 units) stay positive; dust-only cells (x 10, 11) are -0.5.
  EXPECT_EQ(mask[s.Index(8, 8, 4)], 1.0f);
  EXPECT_EQ(mask[s.Index(9, 8, 4)], 1.0f);
  EXPECT_FLOAT_EQ(mask[s.Index(11, 8, 4)], -0.5f);
  EXPECT_FLOAT_EQ(Min(mask), -0.5f);
  EXPECT_EQ(mask[s.Index(2, 2, 12)], 0.0f);
  EXPECT_EQ(Max(mask), 1.0f);
}

TEST(Emitters, FlickerStaysWithinBoundsAndLeavesDustAlone) {
  DomainScene plain, flicker;
  for (DomainScene* s : {&plain, &flicker}) {
    s->block->SetFloat(kSmokeRate, 0, 2.0f);
    s->block->SetFloat(kEventsRadius, 0, 8.0f);
    host::Node* fire = s->AddBox("Fire", {0, 0, 8}, 32, 32, 16);
    host::Node* dust = s->AddBox("Dust", {0, 0, 40}, 24, 24, 16);
    s->block->SetNodes(kEmitters, {fire});
    s->block->SetNodes(kDustSources, {dust});
  }
  flicker.block->SetFloat(kEmitNoise, 0, 1.0f);
  for (DomainScene* s : {&plain, &flicker}) ASSERT_TRUE(s->Open());
  for (int frame : {0, 7}) {
    CaptureScene(plain.run, frame);
    CaptureScene(flicker.run, frame);
    const std::vector<float> a = plain.Field(FieldId::EmitterMask);
    const std::vector<float> b = flicker.Field(FieldId::EmitterMask);
    int changed = 0;
    for (size_t i = 0; i < a.size(); ++i) {
      if (a[i] <= 0.0f) {
        EXPECT_EQ(b[i], a[i]);
      } else {
        EXPECT_LE(b[i], 1.5f);
        EXPECT_GE(b[i], 0.0f);
        changed += b[i] != a[i] ? 1 : 0;
      }
    }
    EXPECT_GT(changed, 0);
    EXPECT_LT(Min(b), 0.0f);
    EXPECT_GT(Max(b), 1.0f);  // full cells with noise above one half rise above 1
  }
}

// ---- Emitter velocities ----

// The solver's emitter velocity of a cell, as last uploaded.
host::Point3 EmitVelocity(DomainScene& s, int x, int y, int z) {
  const FireSim::Impl& impl = s.run.sim->Internals();
  const size_t i = s.Index(x, y, z);
  return {impl.emitVelX[i], impl.emitVelY[i], impl.emitVelZ[i]};
}

TEST(EmitterVelocity, OverlappingSourcesTakeTheLaterOnTiesAndFollowTheirAxes) {
  DomainScene s;
  s.block->SetInt(kEmitDirMode, 0, 1);  // along each node's z axis
  s.block->SetFloat(kEmitSpeed, 0, 2.0f);
  s.block->SetFloat(kInheritMotion, 0, 0.0f);
  host::Node* up = s.AddBox("Up", {0, 0, 8}, 32, 32, 32);
  host::Node* side = s.AddBox("Side", {0, 0, 16}, 8, 8, 8);
  side->transform.rotation.SetConstant(host::Quat::AxisAngle({0, 1, 0}, 1.5707963f));  // z turns to +x
  ASSERT_TRUE(s.Open());
  s.block->SetNodes(kEmitters, {up, side});
  CaptureScene(s.run, 0);
  ASSERT_TRUE(s.run.sim->Internals().hasEmitVel);
  // Inside both (full coverage each) the later source wins; elsewhere in the big box it is "Up".
  host::Point3 v = EmitVelocity(s, 8, 8, 5);
  EXPECT_NEAR(v.x, 2.0f, 1e-5f);
  EXPECT_NEAR(v.z, 0.0f, 1e-5f);
  v = EmitVelocity(s, 3, 3, 8);
  EXPECT_NEAR(v.z, 2.0f, 1e-5f);
  EXPECT_NEAR(v.x, 0.0f, 1e-5f);
  EXPECT_EQ(EmitVelocity(s, 8, 8, 14), host::Point3(0, 0, 0));  // above every source

  s.block->SetNodes(kEmitters, {side, up});
  CaptureScene(s.run, 1);
  v = EmitVelocity(s, 8, 8, 5);
  EXPECT_NEAR(v.z, 2.0f, 1e-5f);
  EXPECT_NEAR(v.x, 0.0f, 1e-5f);
}

TEST(EmitterVelocity, MovingNodesHandTheirMotionOn) {
  DomainScene s;
  s.block->SetFloat(kEmitSpeed, 0, 0.0f);
  s.block->SetFloat(kInheritMotion, 0, 0.5f);
  host::Node* box = s.AddBox("Mover", {0, 0, 8}, 16, 16, 16);
  // 4 units a frame at 30 fps in centimetres: 1.2 m/s, of which half is inherited.
  box->transform.position.SetKey(0, {-20, 0, 8});
  box->transform.position.SetKey(s.scene.time.FrameToTicks(10), {20, 0, 8});
  s.block->SetNodes(kEmitters, {box});
  ASSERT_TRUE(s.Open());
  CaptureScene(s.run, 5);  // the box is at x = 0 then
  const host::Point3 v = EmitVelocity(s, 8, 8, 3);
  EXPECT_NEAR(v.x, 0.6f, 1e-4f);
  EXPECT_NEAR(v.z, 0.0f, 1e-5f);
}

TEST(EmitterVelocity, ParticlesPushTheirOwnWayInACubeAroundTheirCell) {
  DomainScene s;
  TempFolder dir;
  s.scene.SetFilePath(dir / "scene.json");
  // One particle at the centre cell (8, 8, 8), moving 100 units (1 m) a second along x.
  WriteText(dir / "p_0000.txt", "# x y z vx vy vz\n2 2 34 100 0 0\n");
  host::Node* parts = s.AddObject("Parts", host::ParticleFileClassDesc());
  parts->GetObject()->GetParamBlock(0)->SetString(host::kParticleFile, 0, "p_####.txt");
  s.block->SetInt(kEmitDirMode, 0, 2);
  s.block->SetFloat(kSurfThickness, 0, 4.0f);  // one cell: the cube reaches one cell each way
  s.block->SetNodes(kEmitters, {parts});
  ASSERT_TRUE(s.Open());
  CaptureScene(s.run, 0);
  for (int x = 7; x <= 9; ++x) {
    EXPECT_NEAR(EmitVelocity(s, x, 7, 9).x, 1.0f, 1e-5f);
    EXPECT_NEAR(EmitVelocity(s, x, 9, 7).x, 1.0f, 1e-5f);
  }
  EXPECT_EQ(EmitVelocity(s, 10, 8, 8), host::Point3(0, 0, 0));
  EXPECT_EQ(EmitVelocity(s, 8, 8, 6), host::Point3(0, 0, 0));
  const std::vector<float> mask = s.Field(FieldId::EmitterMask);
  EXPECT_EQ(mask[s.Index(8, 8, 8)], 1.0f);
  EXPECT_EQ(mask[s.Index(8, 8, 11)], 0.0f);
}

// ---- Hair ----

TEST(Hair, BurnsAsTheShellOfItsSurface) {
  DomainScene s;
  host::Node* skin = s.AddBox("Skin", {0, 0, 0}, 48, 48, 48);  // 12 cells a side, x and y 2 .. 13
  host::Node* fur = s.AddObject("Fur", host::TuftFxClassDesc());
  host::ParamBlock* hair = fur->GetObject()->GetParamBlock(0);
  hair->SetFloat(host::kTuftLength, 0, 4.0f);  // one cell
  host::Node* bald = s.AddObject("Bald", host::TuftFxClassDesc());  // no surface: nothing

  host::Node* surface = nullptr;
  float length = 0.0f;
  EXPECT_FALSE(ReadHairObject(*fur, 0, surface, length));
  hair->SetNode(host::kTuftSurface, 0, skin);
  ASSERT_TRUE(ReadHairObject(*fur, 0, surface, length));
  EXPECT_EQ(surface, skin);
  EXPECT_EQ(length, 4.0f);
  EXPECT_FALSE(ReadHairObject(*skin, 0, surface, length));

  s.block->SetNodes(kEmitters, {fur, bald});
  s.block->SetNodes(kFlammables, {fur});
  ASSERT_TRUE(s.Open());
  CaptureScene(s.run, 0);
  const std::vector<float> mask = s.Field(FieldId::EmitterMask);
  EXPECT_EQ(mask[s.Index(8, 8, 11)], 1.0f);  // just under the top face at z = 48 (cell 12)
  EXPECT_EQ(mask[s.Index(2, 8, 6)], 1.0f);   // at the -x face
  EXPECT_EQ(mask[s.Index(8, 8, 6)], 0.0f);   // the inside does not burn
  EXPECT_EQ(mask[s.Index(8, 8, 15)], 0.0f);
  EXPECT_TRUE(s.run.sim->Internals().hasFlammable);
}

// ---- Events ----

TEST(Events, ImpactsFadeOverTheirBurnTimeAndMetresScale) {
  DomainScene s;
  TempFolder dir;
  s.scene.SetFilePath(dir / "shot.v2.json");
  s.block->SetFloat(kEventsBurnTime, 0, 0.1f);  // V = 3 frames at 30 fps
  s.block->SetFloat(kEventsRadius, 0, 4.0f);    // 1 cell
  s.block->SetFloat(kInheritMotion, 0, 0.0f);
  // 0.2 m in a centimetre scene is 20 units: the cell at x = (20 + 32) / 4 = 13.
  WriteText(dir / "shot_cyclone/events.txt", "# units meters\n10 0.2 0 0.3 impact 1\n");
  ASSERT_TRUE(s.Open());
  const size_t at = s.Index(13, 8, 7);
  for (int frame = 9; frame <= 14; ++frame) {
    CaptureScene(s.run, frame);
    const std::vector<float> mask = s.Field(FieldId::EmitterMask);
    const float expected = frame < 10 || frame > 13 ? 0.0f : (1.0f - float(frame - 10) / 4.0f) * 1.2f;
    EXPECT_FLOAT_EQ(mask[at], expected) << "frame " << frame;
    EXPECT_FLOAT_EQ(Max(mask), expected) << "frame " << frame;
  }
  EXPECT_TRUE(s.run.capture.eventsInMetres);

  // Raising the minimum energy re-reads the file and drops the event.
  s.block->SetFloat(kEventsMinEnergy, 0, 2.0f);
  CaptureScene(s.run, 10);
  EXPECT_TRUE(s.run.capture.events.empty());
  EXPECT_EQ(Max(s.Field(FieldId::EmitterMask)), 0.0f);
  s.block->SetFloat(kEventsMinEnergy, 0, 1.0f);
  CaptureScene(s.run, 10);
  EXPECT_EQ(s.run.capture.events.size(), 1u);
}

TEST(Events, SparksLastTwoFramesAndDustHalfASecondWithoutReplacingFire) {
  DomainScene s;
  TempFolder dir;
  s.scene.SetFilePath(dir / "shot.json");
  s.block->SetFloat(kEventsRadius, 0, 8.0f);  // 2 cells
  s.block->SetFloat(kInheritMotion, 0, 0.0f);
  s.block->SetFloat(kSmokeRate, 0, 0.0f);
  // A spark at the cell (4, 8, 4), dust centred on a fire emitter in the cell (12, 8, 4).
  WriteText(dir / "shot_cyclone/events.txt", "5 -14 2 18 spark 3\n5 18 2 18 dust 3\n");
  host::Node* fire = s.AddBox("Fire", {18, 2, 14}, 4, 4, 8);  // the cell (12, 8, 4) only
  s.block->SetNodes(kEmitters, {fire});
  ASSERT_TRUE(s.Open());
  const size_t spark = s.Index(4, 8, 4), dustOnly = s.Index(14, 8, 4), both = s.Index(12, 8, 4);
  for (int frame : {4, 5, 6, 7, 20, 21}) {
    CaptureScene(s.run, frame);
    const std::vector<float> mask = s.Field(FieldId::EmitterMask);
    EXPECT_FLOAT_EQ(mask[spark], frame == 5 || frame == 6 ? 1.5f : 0.0f) << frame;
    EXPECT_FLOAT_EQ(mask[dustOnly], frame >= 5 && frame <= 20 ? -0.9f : 0.0f) << frame;  // 2 cells out of a sphere of 2
    EXPECT_EQ(mask[both], 1.0f) << frame;
  }
}

// ---- The sibling fluid plug-in ----

using ReleaseCountFn = int (*)();

TEST(FluidBridge, FluidParticlesBurnAndQuenchInBakesOnly) {
  // Before the module is loaded a fluid node contributes nothing, and the lookup tries again later.
  DomainScene s;
  s.block->SetFloat(kInheritMotion, 0, 0.0f);
  s.block->SetFloat(kSurfThickness, 0, 0.0f);
  host::Node* fluid = s.scene.CreateNode("Fluid001");
  s.block->SetNodes(kEmitters, {fluid});
  ASSERT_TRUE(s.Open());
  CaptureScene(s.run, 0);
  EXPECT_EQ(Max(s.Field(FieldId::EmitterMask)), 0.0f);

  void* module = dlopen(TFR_TEST_FLUID_MODULE, RTLD_NOW | RTLD_GLOBAL);
  ASSERT_NE(module, nullptr) << dlerror();
  auto releases = reinterpret_cast<ReleaseCountFn>(dlsym(module, "TFL_TestReleaseCount"));
  ASSERT_NE(releases, nullptr);
  const int releasedBefore = releases();

  // Particles at (0..2, 0..2, 20) world units (4 cells a unit of the fluid's space of scale 2),
  // radius 3 * 0.5 * 2 / 4 = 0.75 cells, around the cell (8, 8, 5).
  std::vector<host::Point3> points;
  float radius = 0.0f;
  CaptureContext ctx = MakeCaptureContext(s.run, 0);
  ASSERT_TRUE(ReadFluidParticles(*fluid, 0, ctx.W, 1.0f / ctx.cellSize, points, radius));
  EXPECT_FLOAT_EQ(radius, 0.75f);
  ASSERT_EQ(points.size(), 4u);
  EXPECT_NEAR(points[0].x, 8.0f, 1e-5f);
  EXPECT_NEAR(points[0].z, 5.0f, 1e-5f);
  EXPECT_NEAR(points[1].x, 8.5f, 1e-5f);
  EXPECT_EQ(releases(), releasedBefore + 1);
  host::Node* other = s.scene.CreateNode("Water001");
  EXPECT_FALSE(ReadFluidParticles(*other, 0, ctx.W, 1.0f / ctx.cellSize, points, radius));

  CaptureScene(s.run, 1);
  const std::vector<float> mask = s.Field(FieldId::EmitterMask);
  EXPECT_EQ(mask[s.Index(8, 8, 5)], 1.0f);
  EXPECT_EQ(mask[s.Index(8, 8, 10)], 0.0f);

  // As water it quenches and, dense, blocks.
  s.block->SetNodes(kEmitters, {});
  s.block->SetNodes(kExtinguishers, {fluid});
  s.block->SetFloat(kQuenchRadius, 0, 0.0f);
  CaptureScene(s.run, 2);
  EXPECT_TRUE(s.run.sim->Internals().hasQuench);
  EXPECT_GT(s.Field(FieldId::Solid)[s.Index(8, 8, 5)], 0.0f);

  // A live run leaves the sibling's particles alone for emitters and water.
  DomainScene live;
  host::Node* liveFluid = live.scene.CreateNode("Fluid002");
  live.block->SetNodes(kEmitters, {liveFluid});
  live.block->SetNodes(kExtinguishers, {liveFluid});
  live.block->SetInt(kLiveResolution, 0, 16);
  ASSERT_TRUE(live.Open(true));
  CaptureScene(live.run, 0);
  EXPECT_EQ(Max(live.Field(FieldId::EmitterMask)), 0.0f);
  EXPECT_EQ(Max(live.Field(FieldId::Solid)), 0.0f);
}

}  // namespace
}  // namespace tf
