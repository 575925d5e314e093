// Opening a simulation run: the grid it gets, the solver it creates and the messages on failure.
// The solver runs on the CPU here; with useGPU on and no usable GPU the run must still open.
#include <gtest/gtest.h>

#include <memory>

#include "capture/build_fire_params.h"
#include "domain/domain_sizing.h"
#include "domain/fire_params_desc.h"
#include "capture/sim_run.h"
#include "host/scene/class_desc.h"
#include "host/scene/objects.h"
#include "host/scene/scene.h"
#include "solver/fire_sim_impl.h"

namespace tf {
namespace {

class TestDomainClass : public host::ClassDesc {
 public:
  host::ClassId ClassID() const override { return {0x5e5701, 0x5e5702}; }
  host::SuperClassId SuperClassID() const override { return host::kGeomObjectSuperClass; }
  std::string_view ClassName() const override { return "TestDomain"; }
  std::string_view Category() const override { return "Tests"; }
  std::unique_ptr<host::Object> Create() const override { return std::make_unique<host::Object>(*this); }
};

class OpenSimRunTest : public ::testing::Test {
 protected:
  OpenSimRunTest() {
    auto object = std::make_unique<host::Object>(cls);
    block = object->AddParamBlock(FireParamBlockDesc());
    domain = object.get();
    node = scene.CreateNode("Domain001", std::move(object));
    // The fire block's defaults: a 200 x 200 x 300 box, useGPU on. Small grids keep the tests quick.
    block->SetInt(kResolution, 0, 32);
  }
  TestDomainClass cls;
  host::Scene scene;
  host::ParamBlock* block = nullptr;
  host::Object* domain = nullptr;
  host::Node* node = nullptr;
  SimRun run;
  std::string message;
};

TEST_F(OpenSimRunTest, BakeRunOpensOnTheCpuWithTheSizedGrid) {
  ASSERT_TRUE(OpenSimRun(run, domain, node, false, &message)) << run.sim->LastError();
  EXPECT_TRUE(message.empty());  // a missing GPU is no reason to say anything
  EXPECT_EQ(run.domain, domain);
  EXPECT_EQ(run.node, node);
  EXPECT_FALSE(run.live);
  EXPECT_EQ(run.grid.nx, 21);  // 200 / 9.375 = 21.33
  EXPECT_EQ(run.grid.ny, 21);
  EXPECT_EQ(run.grid.nz, 32);
  EXPECT_FLOAT_EQ(run.grid.cellSizeM, 9.375f * 0.0254f);

  ASSERT_NE(run.sim, nullptr);
  const FireSim::Impl& impl = run.sim->Internals();
  EXPECT_TRUE(impl.ready);
  EXPECT_EQ(impl.grid.nx, 21);
  EXPECT_EQ(impl.grid.ny, 21);
  EXPECT_EQ(impl.grid.nz, 32);
  EXPECT_FLOAT_EQ(impl.grid.cellSize, run.grid.cellSizeM);
  EXPECT_EQ(run.sim->UsesGpu(), GpuPresent());
  EXPECT_GT(run.sim->Stats().bytesAllocated, 0u);
}

TEST_F(OpenSimRunTest, SceneUnitScaleAndBoundarySettingsReachTheSolver) {
  scene.time.metresPerUnit = 0.01;
  block->SetBool(kClosedFloor, 0, false);
  block->SetBool(kOpenSides, 0, false);
  block->SetBool(kOpenTop, 0, false);
  ASSERT_TRUE(OpenSimRun(run, domain, node, false, &message));
  EXPECT_FLOAT_EQ(run.sim->Internals().grid.cellSize, 0.09375f);
  EXPECT_EQ(run.sim->Internals().openSides, (OpenSides{false, false, false, false, true, false}));
}

TEST_F(OpenSimRunTest, LiveRunUsesTheLiveResolution) {
  block->SetInt(kResolution, 0, 128);
  block->SetInt(kLiveResolution, 0, 16);
  ASSERT_TRUE(OpenSimRun(run, domain, node, true, &message));
  EXPECT_TRUE(run.live);
  EXPECT_EQ(run.grid.nz, 16);
  EXPECT_EQ(run.grid.nx, 11);  // 200 / 18.75 = 10.67
  EXPECT_EQ(run.sim->Internals().grid.nz, 16);
}

TEST_F(OpenSimRunTest, OpeningClearsOnlyTheSolidsAndQuenchMarks) {
  run.capture.solidsUploaded = true;
  run.capture.quenchUploaded = true;
  run.capture.velocityUploaded = true;
  run.capture.flammablesUploaded = true;
  ASSERT_TRUE(OpenSimRun(run, domain, node, false, &message));
  EXPECT_FALSE(run.capture.solidsUploaded);
  EXPECT_FALSE(run.capture.quenchUploaded);
  EXPECT_TRUE(run.capture.velocityUploaded);
  EXPECT_TRUE(run.capture.flammablesUploaded);
}

TEST_F(OpenSimRunTest, GridTheSolverRefusesFailsWithItsReason) {
  // 4096 cells a side cannot be indexed on either path.
  block->SetFloat(kSizeX, 0, 300);
  block->SetFloat(kSizeY, 0, 300);
  block->SetInt(kResolution, 0, 4096);
  run.capture.solidsUploaded = true;
  EXPECT_FALSE(OpenSimRun(run, domain, node, false, &message));
  EXPECT_EQ(message, "Could not allocate the domain: out of memory for 4096x4096x4096");
  EXPECT_EQ(run.grid.nx, 4096);
  EXPECT_FALSE(run.sim->Internals().ready);
  EXPECT_EQ(run.sim->Stats().bytesAllocated, 0u);
  EXPECT_TRUE(run.capture.solidsUploaded);  // a failed open leaves the run's state alone

  block->SetBool(kUseGPU, 0, false);
  message.clear();
  EXPECT_FALSE(OpenSimRun(run, domain, node, false, &message));
  EXPECT_EQ(message, "Could not allocate the domain: out of memory for 4096x4096x4096");
}

TEST_F(OpenSimRunTest, MissingDomainOrNodeAsksForTheDomain) {
  EXPECT_FALSE(OpenSimRun(run, nullptr, node, false, &message));
  EXPECT_EQ(message, "Select the TolvarisFire domain first.");
  EXPECT_EQ(run.sim, nullptr);

  message.clear();
  EXPECT_FALSE(OpenSimRun(run, domain, nullptr, true, &message));
  EXPECT_EQ(message, "Select the TolvarisFire domain first.");
  EXPECT_EQ(run.sim, nullptr);
  EXPECT_TRUE(run.live);

  // An object without the domain's settings is not a domain either.
  host::Object other(cls);
  message.clear();
  EXPECT_FALSE(OpenSimRun(run, &other, node, false, &message));
  EXPECT_EQ(message, "Select the TolvarisFire domain first.");
}

}  // namespace
}  // namespace tf
