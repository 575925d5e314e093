// The domain in the viewports: voxel selection, budget and jitter of the point cloud, temperature
// colours, the render item's rebuilds and what it draws, hit testing, the label and the boxes.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "domain/fire_params_desc.h"
#include "host/objects/class_registry.h"
#include "host/scene/class_desc.h"
#include "host/view/raster.h"
#include "host/scene/scene.h"
#include "cache/simulate_domain.h"
#include "viewport/domain_display.h"
#include "viewport/domain_label.h"
#include "viewport/fire_point_item.h"
#include "viewport/frame_points.h"

namespace tf {
namespace {

// A frame whose crop starts at the grid's corner, one density and temperature for every voxel; the
// temperature is also the frame's maximum.
std::shared_ptr<CacheFrame> MakeFrame(std::array<int32_t, 3> grid, std::array<int32_t, 3> crop, float h,
                                      float density, float temperature, int32_t number = 1) {
  auto f = std::make_shared<CacheFrame>();
  f->header.nx = grid[0], f->header.ny = grid[1], f->header.nz = grid[2];
  f->header.cellSizeScene = h, f->header.frame = number, f->header.cropSize = crop;
  f->header.channelMax[kChannelTemperature] = temperature;
  const size_t n = size_t(CacheCropValues(f->header));
  f->channels[kChannelDensity].assign(n, density);
  f->channels[kChannelTemperature].assign(n, temperature);
  return f;
}

std::vector<float> Shaded(size_t voxels, float alpha) {
  std::vector<float> c(voxels * 4, 0.5f);
  for (size_t i = 0; i < voxels; ++i) c[4 * i + 3] = alpha;
  return c;
}

size_t PointCount(const std::vector<PointBatchData>& batches) {
  size_t n = 0;
  for (const auto& b : batches) n += b.positions.size();
  return n;
}

struct KeepCase { const char* name; int mode; float density, temperature, alpha; bool kept; };
void PrintTo(const KeepCase& c, std::ostream* os) { *os << c.name; }
class VoxelSelection : public ::testing::TestWithParam<KeepCase> {};

TEST_P(VoxelSelection, FollowsTheModeTable) {
  const KeepCase& c = GetParam();
  const auto frame = MakeFrame({4, 4, 4}, {1, 1, 1}, 1.0f, c.density, c.temperature);
  EXPECT_EQ(PointCount(BuildFramePoints(*frame, {.mode = c.mode}, Shaded(1, c.alpha))) > 0, c.kept);
}

INSTANTIATE_TEST_SUITE_P(Modes, VoxelSelection,
    ::testing::Values(KeepCase{"FireSmokeVisible", 0, 0, 0, 0.02f, true}, KeepCase{"FireSmokeFaint", 0, 1, 1, 0.01f, false},
                      KeepCase{"FireHot", 1, 0, 0.4f, 0.5f, true}, KeepCase{"FireCool", 1, 1, 0.2f, 0.5f, false},
                      KeepCase{"SmokeCool", 2, 0.01f, 0.5f, 0.5f, true}, KeepCase{"SmokeHot", 2, 0.01f, 0.7f, 0.5f, false},
                      KeepCase{"SmokeWithoutDensity", 2, 0, 0, 0.5f, false}, KeepCase{"BoxOnly", 4, 1, 1, 1, false},
                      KeepCase{"TemperatureWarm", 3, 0, 0.03f, 0, true}, KeepCase{"TemperatureCold", 3, 1, 0.01f, 1, false}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(FramePoints, BudgetSetsPointsPerVoxelStrideBatchesAndJitter) {
  // Few voxels: eight jittered points inside each voxel's cell (the grid centred in x and y).
  const auto few = MakeFrame({10, 1, 1}, {10, 1, 1}, 2.0f, 1.0f, 0.0f);
  const auto points = BuildFramePoints(*few, {}, Shaded(10, 1.0f));
  ASSERT_EQ(PointCount(points), 80u);
  for (size_t p = 0; p < 80; ++p) {
    const host::Point3 q = points[0].positions[p];
    const float left = float(p / 8) * 2.0f - 10.0f;
    EXPECT_TRUE(q.x >= left && q.x < left + 2.0f && q.y >= -1.0f && q.y < 1.0f && q.z >= 0.0f && q.z < 2.0f) << p;
  }
  // The jitter repeats for a frame number and changes with it.
  const auto renumbered = MakeFrame({10, 1, 1}, {10, 1, 1}, 2.0f, 1.0f, 0.0f, 2);
  EXPECT_EQ(BuildFramePoints(*few, {}, Shaded(10, 1.0f))[0].positions, points[0].positions);
  EXPECT_NE(BuildFramePoints(*renumbered, {}, Shaded(10, 1.0f))[0].positions, points[0].positions);
  // A batch closes once more points than the limit wait: 32 + 32 + 16.
  const auto split = BuildFramePoints(*few, {.splitAbove = 30}, Shaded(10, 1.0f));
  ASSERT_EQ(split.size(), 3u);
  EXPECT_EQ(split[2].positions.size(), 16u);

  // Twice the budget: every second voxel, one point at its centre.
  auto many = MakeFrame({100, 100, 60}, {100, 100, 60}, 1.0f, 0.0f, 0.0f);
  many->channels = {};
  const auto thinned = BuildFramePoints(*many, {.budget = 300000}, Shaded(600000, 1.0f));
  ASSERT_EQ(PointCount(thinned), 300000u);
  EXPECT_EQ(thinned[0].positions[1], host::Point3(2.5f - 50.0f, 0.5f - 50.0f, 0.5f));
}

TEST(FramePoints, TemperatureColours) {
  struct Case { float raw, max, scale; uint32_t argb; };
  for (const Case c : {Case{0.03f, 0.0f, 1.0f, 0xFFFF0000u},    // no maximum: 0.001 stands in
                       Case{0.5f, 1.0f, 1.0f, 0xFF7F197Fu},     // halfway from blue to red
                       Case{-0.5f, 1.0f, -1.0f, 0xFF0033FFu}}) {  // below zero: as cold as it gets
    auto frame = MakeFrame({4, 4, 4}, {1, 1, 1}, 1.0f, 0.0f, c.raw);
    frame->header.channelMax[kChannelTemperature] = c.max;
    const auto points = BuildFramePoints(*frame, {.mode = kVpTemperature, .fireTempScale = c.scale}, {});
    ASSERT_EQ(PointCount(points), 8u) << c.raw;
    EXPECT_EQ(points[0].colors[0], c.argb) << c.raw;
  }
}

TEST(FramePoints, NothingToShowGivesNoBatch) {
  auto frame = MakeFrame({4, 4, 4}, {2, 2, 2}, 1.0f, 1.0f, 1.0f);
  EXPECT_TRUE(BuildFramePoints(*frame, {}, Shaded(8, 0.0f)).empty());  // no voxel kept
  EXPECT_TRUE(BuildFramePoints(*frame, {}, Shaded(7, 1.0f)).empty());  // colours short of the crop
  frame->channels[kChannelTemperature].resize(3);
  EXPECT_TRUE(BuildFramePoints(*frame, {.mode = kVpTemperature}, {}).empty());
}

// A domain whose display frame and generation the test sets; any class will do for its object.
class TestDomain final : public host::Object, public SimulateDomain {
 public:
  TestDomain() : host::Object(*host::FindClassDesc("Box")) { AddParamBlock(FireParamBlockDesc()); }
  std::string CacheFolder() const override { return {}; }
  std::string OutputFolder() const override { return {}; }
  void InvalidateDisplayFrame() override {}
  std::shared_ptr<const CacheFrame> GetDisplayFrame(host::TimeValue) override { return frame; }
  uint64_t DisplayGeneration() const override { return generation; }
  uint64_t LookCounter() const override { return 1; }
  std::recursive_mutex& DisplayMutex() const override { return mutex; }
  CellBox DisplayWindow(host::TimeValue) override { return window; }

  std::shared_ptr<const CacheFrame> frame;
  CellBox window;
  uint64_t generation = 1;
  mutable std::recursive_mutex mutex;
};

class FirePointItemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    node_ = scene_.CreateNode("Fire", std::make_unique<TestDomain>());
    domain_ = static_cast<TestDomain*>(node_->GetObject());
    params_ = domain_->GetParamBlockById(kFireParamBlockId);
    item_ = std::make_shared<FirePointItem>(domain_, node_);
  }
  // Realizes at time 0; the points drawn: the primitives beyond the edges and label of the
  // default 200 x 200 x 300 box.
  int64_t Realize() {
    item_->Realize(host::View(), 0);
    return item_->PrimitiveTotal() - int64_t(24 + BuildDomainLabel({-100, -100, 0}, {100, 100, 300}).size()) / 2;
  }

  host::Scene scene_;
  host::Node* node_ = nullptr;
  TestDomain* domain_ = nullptr;
  host::ParamBlock* params_ = nullptr;
  std::shared_ptr<FirePointItem> item_;
};

TEST_F(FirePointItemTest, FramesWithoutPointsShowBoxAndLabelOrNothing) {
  for (const auto& frame : {MakeFrame({20, 20, 30}, {0, 0, 0}, 10.0f, 0.0f, 0.0f),
                            MakeFrame({20, 20, 30}, {3, 3, 3}, 10.0f, 0.0f, 0.0f)}) {
    domain_->frame = frame;
    ++domain_->generation;
    EXPECT_EQ(Realize(), 0);
    ASSERT_EQ(item_->Batches().size(), 1u);
    EXPECT_EQ(item_->Batches()[0].colorsArgb[23], kDomainBoxColor);
    EXPECT_EQ(item_->Batches()[0].colorsArgb[24], kDomainLabelColor);
  }
  ASSERT_TRUE(params_->SetInt(kVpMode, 0, kVpBoxOnly) && params_->SetBool(kShowDomain, 0, false));
  domain_->frame = MakeFrame({20, 20, 30}, {2, 2, 2}, 10.0f, 20.0f, 1.0f);
  item_->Realize(host::View(), 0);
  EXPECT_TRUE(item_->Batches().empty() && item_->PrimitiveTotal() == 0);
}

TEST_F(FirePointItemTest, AnAdaptiveWindowIsDrawnInsideTheBox) {
  // A 20 x 20 x 30 grid of 10-unit cells stands on the pivot from (-100, -100, 0).
  domain_->frame = MakeFrame({20, 20, 30}, {0, 0, 0}, 10.0f, 0.0f, 0.0f);
  domain_->window = CellBox{{2, 4, 0}, {12, 10, 15}};
  EXPECT_EQ(Realize(), 12) << "the window's twelve edges beyond the box and label";
  const host::RenderBatch& lines = item_->Batches()[0];
  std::vector<host::Point3> window;
  for (size_t i = 0; i < lines.positions.size(); ++i)
    if (lines.colorsArgb[i] == kWindowBoxColor) window.push_back(lines.positions[i]);
  ASSERT_EQ(window.size(), 24u);
  host::Point3 lo = window[0], hi = window[0];
  for (const host::Point3& p : window) {
    lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
    hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
  }
  EXPECT_TRUE(lo == host::Point3(-80, -60, 0) && hi == host::Point3(20, 0, 150));
  // A window that does not fit the frame's grid (left from another bake) is not drawn.
  domain_->window = CellBox{{0, 0, 0}, {21, 20, 30}};
  EXPECT_EQ(Realize(), 0);
}

TEST_F(FirePointItemTest, RebuildsOnlyOnGenerationOrKeyChange) {
  domain_->frame = MakeFrame({20, 20, 30}, {2, 1, 1}, 10.0f, 20.0f, 0.0f);
  EXPECT_EQ(Realize(), 16);
  domain_->frame = MakeFrame({20, 20, 30}, {4, 1, 1}, 10.0f, 20.0f, 0.0f);
  EXPECT_EQ(Realize(), 16);
  ++domain_->generation;
  EXPECT_EQ(Realize(), 32);
  ASSERT_TRUE(params_->SetInt(kVpMode, 0, kVpBoxOnly));
  EXPECT_EQ(Realize(), 0);
  scene_.DeleteNode(node_);
  item_->Realize(host::View(), 0);
  EXPECT_TRUE(item_->Batches().empty());
}

TEST_F(FirePointItemTest, ViewShowsTheDomainAndHitsItsStrokes) {
  auto frame = MakeFrame({20, 20, 30}, {8, 8, 12}, 10.0f, 20.0f, 1.5f);
  frame->header.cropOrigin = {6, 6, 0};
  domain_->frame = frame;
  node_->transform.position.SetConstant({30, 0, 0});
  host::View view;
  view.affineTM = host::LookAt({150, -600, 450}, {0, -40, 120}).Inverse();
  view.fov = 0.9f;
  host::RgbImage image;
  ASSERT_TRUE(host::RasterizeView(view, std::vector<std::shared_ptr<host::CustomRenderItem>>{item_}, 0, image, {}, nullptr));
  int box = 0, label = 0;
  for (size_t i = 0; i < image.pixels.size(); i += 3) {
    const uint8_t* p = &image.pixels[i];
    box += p[0] == 0xFF && p[1] == 0x8A && p[2] == 0x1E;
    label += p[0] == 0xB4 && p[1] == 0xFF && p[2] == 0xE0;
  }
  EXPECT_GT(box, 500);
  EXPECT_GT(label, 200);

  const DomainBox domainBox{{-100, -100, 0}, {100, 100, 300}};
  const std::vector<host::Point3> strokes = BuildDomainLabel(domainBox.min, domainBox.max);
  const host::Matrix3 tm = node_->GetNodeTM(0);
  const auto hitsAt = [&](const host::Point3& local) {
    host::ScreenPoint s;
    EXPECT_TRUE(view.Project(local * tm, &s));
    return HitTestDomain(view, host::HitRegion::AroundPoint(int(s.x), int(s.y)), tm, domainBox);
  };
  EXPECT_TRUE(hitsAt({0, -100, 0}));                     // middle of the front bottom edge
  EXPECT_TRUE(hitsAt((strokes[0] + strokes[1]) / 2));  // the emblem's first stroke
  EXPECT_FALSE(hitsAt({250, -100, 0}));
}

TEST(DomainShape, LabelAndBoxes) {
  const DomainBox box{{-100, -100, 0}, {100, 100, 300}};
  const float c = 0.06f * host::Length(box.max - box.min);
  float right = box.min.x, bottom = box.min.y;
  for (const host::Point3& p : BuildDomainLabel(box.min, box.max)) {
    EXPECT_TRUE(p.z == 0.0f && p.y < box.min.y);
    right = std::max(right, p.x), bottom = std::min(bottom, p.y);
  }
  // The last letter's cell ends 1.15 + 12 * 0.288 + 0.186 units to the right of the emblem.
  EXPECT_NEAR(right, box.min.x + 4.792f * c, 1e-3f);
  const DomainBox local = DomainLocalBox(box);
  EXPECT_TRUE(local.min.y == bottom && local.max == box.max);
  // A quarter turn about z swaps the extents in x and y; the deform box leaves the label out.
  const host::Matrix3 turn = host::Matrix3::RotateZ(1.5707964f) * host::Matrix3::Translation({0, 0, 5});
  const DomainBox world = DomainWorldBox(local, turn), deform = DomainDeformBox(box, &turn);
  EXPECT_NEAR(world.max.x - world.min.x, local.max.y - local.min.y, 1e-3f);
  EXPECT_TRUE(std::abs(deform.max.x - deform.min.x - 200.0f) < 1e-3f && std::abs(deform.max.z - 305.0f) < 1e-3f);
}

}  // namespace
}  // namespace tf
