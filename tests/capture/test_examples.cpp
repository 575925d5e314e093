// The example scenes of examples/: each loads, its frame range agrees with its domain's, and a few
// captured frames at a small resolution put fire or smoke where its sources are.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "capture/capture_scene.h"
#include "capture/scene_inputs.h"
#include "domain/fire_params_desc.h"
#include "capture/sim_run.h"
#include "host/scene/scene.h"
#include "host/scene_file/scene_file.h"
#include "plugin/fire_obj_desc.h"
#include "solver/fire_sim_impl.h"

namespace tf {
namespace {

namespace fs = std::filesystem;

class ExampleRun {
 public:
  bool Load(const std::string& file) {
    RegisterFireClass();
    std::string error;
    if (!host::LoadScene(scene, fs::path(TFR_EXAMPLES_DIR) / file, &error)) {
      ADD_FAILURE() << error;
      return false;
    }
    for (const auto& n : scene.Nodes())
      if (n->GetObject() && n->GetObject()->ClassName() == "TolvarisFire") node = n.get();
    if (!node) {
      ADD_FAILURE() << file << " holds no TolvarisFire domain";
      return false;
    }
    block = node->GetObject()->GetParamBlockById(kFireParamBlockId);
    return block != nullptr;
  }

  // Small grids keep the suite quick; the scenes themselves bake at their own resolution. The run
  // covers the whole box: placing an adaptive window is the bake's work, not the capture's, and the
  // fields below are read on the box's grid.
  bool Open(int resolution) {
    block->SetInt(kResolution, 0, resolution);
    block->SetBool(kAdaptive, 0, false);
    std::string message;
    const bool ok = OpenSimRun(run, node->GetObject(), node, false, &message);
    EXPECT_TRUE(ok) << message;
    return ok;
  }

  void Capture(int frames) {
    const int start = block->GetInt(kStartFrame, 0).value_or(0);
    for (int f = start; f < start + frames; ++f) CaptureScene(run, f);
    lastFrame = start + frames - 1;
  }

  std::vector<float> Field(FieldId id) {
    std::vector<float> out(size_t(run.grid.nx) * size_t(run.grid.ny) * size_t(run.grid.nz));
    EXPECT_TRUE(run.sim->CopyField(id, out.data()));
    return out;
  }

  // Whether some cell within `radius` cells of the world point holds more than `threshold`.
  bool AnyNear(const std::vector<float>& field, const host::Point3& world, float radius, float threshold) {
    const CaptureContext ctx = MakeCaptureContext(run, lastFrame);
    const host::Point3 g = ctx.W.PointTransform(world);
    const int nx = run.grid.nx, ny = run.grid.ny, nz = run.grid.nz;
    for (int z = 0; z < nz; ++z)
      for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x) {
          const host::Point3 c(float(x) + 0.5f, float(y) + 0.5f, float(z) + 0.5f);
          if (host::Length(c - g) <= radius && field[size_t(x) + size_t(nx) * (size_t(y) + size_t(ny) * size_t(z))] > threshold)
            return true;
        }
    return false;
  }
  host::Point3 NodePosition(const std::string& name) {
    const host::Node* n = scene.FindNode(name);
    EXPECT_NE(n, nullptr) << name;
    return n ? n->GetNodeTM(scene.time.FrameToTicks(lastFrame)).GetTrans() : host::Point3();
  }
  FireSim::Impl& Solver() { return run.sim->Internals(); }

  host::Scene scene;
  host::Node* node = nullptr;
  host::ParamBlock* block = nullptr;
  SimRun run;
  int lastFrame = 0;
};

float Max(const std::vector<float>& v) { return *std::max_element(v.begin(), v.end()); }

struct ExampleCase {
  const char* file;
  int frames;
  // Sources whose pivot must have heat or smoke within a few cells after the frames.
  std::vector<std::string> sources;
  std::function<void(ExampleRun&)> check;
};

// CTest lists a case by its scene file instead of a dump of its bytes.
void PrintTo(const ExampleCase& c, std::ostream* os) { *os << c.file; }
class Examples : public ::testing::TestWithParam<ExampleCase> {};

TEST_P(Examples, BakesFireNearItsSources) {
  const ExampleCase& c = GetParam();
  ExampleRun e;
  ASSERT_TRUE(e.Load(c.file));
  // The scene's range and the domain's frames agree, so a bake covers the animation.
  EXPECT_EQ(e.scene.time.TicksToFrame(e.scene.time.animStart), e.block->GetInt(kStartFrame, 0).value_or(-1));
  EXPECT_EQ(e.scene.time.TicksToFrame(e.scene.time.animEnd), e.block->GetInt(kEndFrame, 0).value_or(-1));
  ASSERT_TRUE(e.Open(24));
  e.Capture(c.frames);
  const std::vector<float> temperature = e.Field(FieldId::Temperature);
  const std::vector<float> density = e.Field(FieldId::Density);
  EXPECT_GT(Max(temperature) + Max(density), 0.01f);
  for (const std::string& source : c.sources) {
    const host::Point3 p = e.NodePosition(source);
    EXPECT_TRUE(e.AnyNear(temperature, p, 4.0f, 0.05f) || e.AnyNear(density, p, 4.0f, 0.01f))
        << c.file << ": nothing near " << source;
  }
  if (c.check) c.check(e);
}

const ExampleCase kCases[] = {
    {"campfire.json", 6, {"Log A", "Log B"},
     [](ExampleRun& e) {
       // The logs emit, the sparks particle system and the ground do not.
       EXPECT_EQ(e.block->GetNodes(kEmitters).size(), 2u);
       const std::vector<float> mask = e.Field(FieldId::EmitterMask);
       EXPECT_TRUE(e.AnyNear(mask, e.NodePosition("Log A"), 3.0f, 0.1f));
       EXPECT_TRUE(e.Solver().hasExtForce);
     }},
    {"torch.json", 8, {"Torch Head"},
     [](ExampleRun& e) {
       // The emitter follows the moving torch, which hands its motion on to the gas.
       EXPECT_TRUE(e.AnyNear(e.Field(FieldId::EmitterMask), e.NodePosition("Torch Head"), 2.0f, 0.1f));
       EXPECT_TRUE(e.Solver().hasEmitVel);
       const size_t n = size_t(e.run.grid.nx) * size_t(e.run.grid.ny) * size_t(e.run.grid.nz);
       EXPECT_GT(*std::max_element(e.Solver().emitVelX, e.Solver().emitVelX + n), 0.5f);  // 1.4 m/s along +x
     }},
    {"chimney.json", 10, {"Vent"},
     [](ExampleRun& e) {
       EXPECT_GT(Max(e.Field(FieldId::Density)), 0.05f);
       EXPECT_GT(Max(e.Field(FieldId::Solid)), 0.0f);  // the chimney stands in the way
       EXPECT_TRUE(e.Solver().hasExtForce);
       EXPECT_NEAR(*std::min_element(e.run.capture.forceX.begin(), e.run.capture.forceX.end()), 3.0f, 1e-3f);
     }},
    {"collider.json", 10, {"Burner"},
     [](ExampleRun& e) {
       const std::vector<float> solid = e.Field(FieldId::Solid);
       const std::vector<float> temperature = e.Field(FieldId::Temperature);
       int solids = 0;
       for (size_t i = 0; i < solid.size(); ++i)
         if (solid[i] > 0.0f) {
           ++solids;
           EXPECT_EQ(temperature[i], 0.0f);
         }
       EXPECT_GT(solids, 50);  // a ball of 60 units on cells of about 11
     }},
    {"sparks.json", 10, {"Spark Fountain"},
     [](ExampleRun& e) {
       EXPECT_TRUE(e.Solver().hasEmitVel);
       EXPECT_GT(Max(e.Field(FieldId::EmitterMask)), 0.1f);
       const size_t n = size_t(e.run.grid.nx) * size_t(e.run.grid.ny) * size_t(e.run.grid.nz);
       EXPECT_GT(*std::max_element(e.Solver().emitVelZ, e.Solver().emitVelZ + n), 1.0f);  // 1.5 m/s up
     }},
    {"forcefield.json", 8, {"Burner"},
     [](ExampleRun& e) {
       EXPECT_TRUE(e.Solver().hasExtForce);
       EXPECT_GT(*std::min_element(e.run.capture.forceX.begin(), e.run.capture.forceX.end()), 1.0f);
     }},
    {"quench.json", 14, {"Burner"},
     [](ExampleRun& e) {
       EXPECT_TRUE(e.Solver().hasQuench);
       EXPECT_TRUE(e.run.capture.quenchUploaded);
       // The falling block of water is dense enough to block.
       EXPECT_TRUE(e.AnyNear(e.Field(FieldId::Solid), e.NodePosition("Water Block"), 3.0f, 0.0f));
     }},
    {"catch_fire.json", 16, {"Igniter"},
     [](ExampleRun& e) {
       EXPECT_TRUE(e.Solver().hasFlammable);
       const size_t n = size_t(e.run.grid.nx) * size_t(e.run.grid.ny) * size_t(e.run.grid.nz);
       EXPECT_GT(*std::max_element(e.Solver().burnAge, e.Solver().burnAge + n), 0.0f) << "the plank never caught";
     }},
    {"impact.json", 4, {},
     [](ExampleRun& e) {
       // impact_cyclone/events.txt beside the scene: seven events reach the minimum energy.
       EXPECT_EQ(e.run.capture.events.size(), 7u);
       EXPECT_TRUE(e.AnyNear(e.Field(FieldId::Temperature), {0, 0, 20}, 3.0f, 0.05f));
     }},
};

INSTANTIATE_TEST_SUITE_P(Scenes, Examples, ::testing::ValuesIn(kCases), [](const auto& p) {
  std::string name = p.param.file;
  name = name.substr(0, name.find('.'));
  std::erase(name, '_');
  return name;
});

}  // namespace
}  // namespace tf
