// The preview and composite commands: settings from the domain's parameters, cameras from the
// viewport and the preview camera node, frame placement, preview naming and the composite.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "domain/fire_params_desc.h"
#include "host/objects/class_registry.h"
#include "host/view/bitmap.h"
#include "host/objects/camera.h"
#include "host/scene/objects.h"
#include "host/core/platform.h"
#include "host/scene/scene.h"
#include "host/view/viewport.h"
#include "io/png_writer.h"
#include "plugin/fire_obj_desc.h"
#include "plugin/fire_object.h"
#include "export/preview.h"
#include "tests/support/temp_folder.h"

namespace tf {
namespace {

constexpr host::TimeValue kTicksPerFrame = 160;  // a new scene runs at 30 frames per second

// A frame of an nx x ny x nz grid, h scene units a cell, with the given crop and one density for
// every cropped cell (no channel data when the crop is empty).
std::shared_ptr<CacheFrame> MakeFrame(int nx, int ny, int nz, float h, std::array<int32_t, 3> origin,
                                      std::array<int32_t, 3> size, float density, float temperature = 0.0f) {
  auto f = std::make_shared<CacheFrame>();
  f->header.nx = nx, f->header.ny = ny, f->header.nz = nz;
  f->header.cellSize = 0.05f;
  f->header.cellSizeScene = h;
  f->header.cropOrigin = origin;
  f->header.cropSize = size;
  f->header.channelMask = kCacheAlwaysMask;
  const size_t n = size_t(size[0]) * size_t(size[1]) * size_t(size[2]);
  if (n > 0) {
    f->channels[kChannelDensity].assign(n, density);
    f->channels[kChannelTemperature].assign(n, temperature);
    f->channels[kChannelFlame].assign(n, 0.0f);
    f->channels[kChannelFuel].assign(n, 0.0f);
  }
  return f;
}

class PreviewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(RegisterFireClass(&why)) << why;
    host::SetDocumentsFolder(docs_.path());
    auto obj = host::CreateObject(kFireClassName, &why);
    ASSERT_TRUE(obj) << why;
    domain_ = AsFireObject(obj.get());
    node_ = scene_.CreateNode("Fire", std::move(obj));
    // Live mode hands out whatever frame the test sets; the CPU keeps images repeatable.
    ASSERT_TRUE(domain_->Params()->SetInt(kLiveMode, 0, 1));
    ASSERT_TRUE(domain_->Params()->SetBool(kUseGPU, 0, false));
    SetView(1600, 900);
  }
  void TearDown() override {
    host::TheViewports().ClearActiveView();
    host::SetBitmapShowHook({});
    host::SetDocumentsFolder({});
  }

  // A perspective view from `eye` looking at `target`.
  static void SetView(int w, int h, host::Point3 eye = {0, -200, 60}, host::Point3 target = {0, 0, 0}) {
    host::View v;
    v.width = w, v.height = h;
    v.affineTM = host::LookAt(eye, target).Inverse();
    v.fov = 0.9f;
    v.orthoWidth = 80.0f;
    host::TheViewports().SetActiveView(v);
  }

  std::string WriteBackground(int w, int h) {
    std::vector<uint8_t> rgb(size_t(w) * size_t(h) * 3);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = uint8_t((i * 37 + i / 7) % 256);
    const std::string path = (work_.path() / "bg.png").string();
    EXPECT_TRUE(WritePng(path, rgb.data(), w, h));
    background_ = rgb;
    return path;
  }

  host::testing::TempFolder docs_, work_;
  host::Scene scene_;
  FireObject* domain_ = nullptr;
  host::Node* node_ = nullptr;
  std::vector<uint8_t> background_;
};

// ---- Settings and cameras -----------------------------------------------------------------------

TEST_F(PreviewTest, SettingsFollowTheLookParameters) {
  host::ParamBlock& p = *domain_->Params();
  ASSERT_TRUE(p.SetFloat(kLightIntensity, 0, 2.0f));
  ASSERT_TRUE(p.SetFloat(kSkyAmount, 0, 3.0f));
  ASSERT_TRUE(p.SetFloat(kSmokeDensityR, 0, 7.0f));
  ASSERT_TRUE(p.SetColour(kFireTint, 0, host::Point3(0.5f, 0.25f, 1.0f)));
  ASSERT_TRUE(p.SetFloat(kExposure, 0, -2.0f));
  ASSERT_TRUE(p.SetFloat(kDetailScale, 0, 3.0f));
  const RenderSettings s = MakeRenderSettings(&p, 0);
  EXPECT_FALSE(s.useGpu);
  EXPECT_FLOAT_EQ(s.lightColor.x, 2.4f);
  EXPECT_FLOAT_EQ(s.lightColor.y, 2.3f);
  EXPECT_FLOAT_EQ(s.lightColor.z, 2.2f);
  EXPECT_FLOAT_EQ(s.skyColor.x, 0.3f);
  EXPECT_FLOAT_EQ(s.skyColor.y, 0.36f);
  EXPECT_FLOAT_EQ(s.skyColor.z, 0.48f);
  EXPECT_EQ(s.smokeDensity, 7.0f);
  EXPECT_EQ(s.fireTint.y, 0.25f);
  EXPECT_EQ(s.exposure, -2.0f);
  EXPECT_EQ(s.detailScale, 3.0f);
  EXPECT_EQ(s.detailAmount, 0.4f);  // the parameter's default, not the renderer's 0
  // Neither the light direction nor the background comes from the parameters.
  const RenderSettings d = DefaultRenderSettings();
  EXPECT_EQ(s.lightDir.x, d.lightDir.x);
  EXPECT_EQ(s.background.z, d.background.z);
  // No block: the defaults.
  EXPECT_EQ(MakeRenderSettings(nullptr, 0).smokeDensity, 3.0f);
}

TEST_F(PreviewTest, ViewportCameraSizeIsClamped) {
  RenderCamera c;
  ASSERT_TRUE(ViewportCamera(domain_, node_, 0, 10, c));
  EXPECT_EQ(c.width, 64);
  EXPECT_EQ(c.height, 64);  // 36 rows raised to the minimum
  ASSERT_TRUE(ViewportCamera(domain_, node_, 0, 1000, c));
  EXPECT_EQ(c.height, 563);  // lround(1000 * 900 / 1600)
  SetView(100, 100000);      // a very tall window
  ASSERT_TRUE(ViewportCamera(domain_, node_, 0, 1280, c));
  EXPECT_EQ(c.width, 1280);
  EXPECT_EQ(c.height, 8192);
  EXPECT_FALSE(ViewportCamera(nullptr, node_, 0, 100, c));
  EXPECT_FALSE(ViewportCamera(domain_, nullptr, 0, 100, c));
  host::TheViewports().ClearActiveView();
  EXPECT_FALSE(ViewportCamera(domain_, node_, 0, 100, c));
}

TEST_F(PreviewTest, ViewportCameraLivesInTheDomainsSpace) {
  node_->transform.position = host::Point3Track(host::Point3(10, 0, 0));
  SetView(400, 200, {10, -100, 0}, {10, 0, 0});  // along +y
  RenderCamera c;
  ASSERT_TRUE(ViewportCamera(domain_, node_, 0, 400, c));
  EXPECT_EQ(c.height, 200);
  EXPECT_FALSE(c.ortho);
  EXPECT_NEAR(c.tanHalfFov, std::tan(0.45f), 1e-6f);
  EXPECT_NEAR(c.position.x, 0.0f, 1e-4f);  // the domain sits 10 units along x
  EXPECT_NEAR(c.position.y, -100.0f, 1e-4f);
  EXPECT_NEAR(c.forward.y, 1.0f, 1e-5f);
  EXPECT_NEAR(c.up.z, 1.0f, 1e-5f);
  // Above, left of and behind the viewer: 0.8 up - 0.4 right - 0.45 forward, normalised.
  const float n = std::sqrt(0.8f * 0.8f + 0.4f * 0.4f + 0.45f * 0.45f);
  EXPECT_NEAR(c.lightDir.z, 0.8f / n, 1e-5f);
  EXPECT_NEAR(c.lightDir.x, -0.4f / n, 1e-5f);
  EXPECT_NEAR(c.lightDir.y, -0.45f / n, 1e-5f);
}

TEST_F(PreviewTest, PreviewCameraUsesACameraNodeOnlyWhenItIsOne) {
  std::string why;
  host::Node* sphere = scene_.CreateNode("Ball", host::CreateObject("Sphere", &why));
  ASSERT_TRUE(sphere) << why;
  ASSERT_TRUE(domain_->Params()->SetNode(kPreviewCamera, 0, sphere));
  RenderCamera c;
  ASSERT_TRUE(PreviewCamera(domain_, node_, 0, 800, c));
  EXPECT_EQ(c.height, 450);  // the viewport's 16:9

  host::Node* cam = scene_.CreateNode("Cam", host::CreateObject(host::CameraClassDesc(), &why));
  ASSERT_TRUE(cam) << why;
  ASSERT_TRUE(domain_->Params()->SetNode(kPreviewCamera, 0, cam));
  scene_.render.width = 640, scene_.render.height = 480;
  ASSERT_TRUE(PreviewCamera(domain_, node_, 0, 800, c));
  EXPECT_EQ(c.height, 600);  // the render output's 4:3
  EXPECT_NEAR(c.tanHalfFov, std::tan(45.0 * M_PI / 360.0), 1e-6);
  host::TheViewports().ClearActiveView();  // a camera node needs no viewport
  EXPECT_TRUE(PreviewCamera(domain_, node_, 0, 10, c));
  EXPECT_EQ(c.width, 64);
}

// ---- Frames -------------------------------------------------------------------------------------

// One dense column at grid cell (7, 2) of a 10 x 10 grid, seen from straight above: it must
// appear where the grid's placement puts it (x = 2.5, y = -2.5), not mirrored.
TEST_F(PreviewTest, FrameIsPlacedByItsCropOrigin) {
  auto frame = MakeFrame(10, 10, 4, 1.0f, {7, 2, 0}, {1, 1, 4}, 50.0f);
  DomainGrid grid;
  grid.nx = grid.ny = 10, grid.nz = 4;
  grid.cellSize = 1.0f;
  grid.originX = grid.originY = -5.0f, grid.originZ = 0.0f;
  RenderCamera c;
  c.ortho = true;
  c.position = Vec3f{0, 0, 20};
  c.forward = Vec3f{0, 0, -1};
  c.right = Vec3f{1, 0, 0};
  c.up = Vec3f{0, 1, 0};
  c.orthoHalfWidth = 5.0f;
  c.width = c.height = 20;
  c.lightDir = Vec3f{0, 0, 1};
  std::vector<uint8_t> bytes;
  std::string message;
  float ms = -1.0f;
  bool gpu = true;
  RenderSettings s;
  s.useGpu = false;
  ASSERT_TRUE(RenderFrameToBytes(*frame, grid, c, s, bytes, &message, &ms, &gpu)) << message;
  ASSERT_EQ(bytes.size(), 20u * 20u * 3u);
  EXPECT_FALSE(gpu);
  EXPECT_GE(ms, 0.0f);
  auto at = [&](int x, int y) { return int(bytes[(size_t(y) * 20 + size_t(x)) * 3]); };
  const int background = at(0, 0);
  for (int y : {14, 15})
    for (int x : {14, 15}) EXPECT_GT(at(x, y), background + 40) << x << "," << y;
  EXPECT_EQ(at(5, 14), background);   // mirrored in x
  EXPECT_EQ(at(14, 5), background);   // mirrored in y
  EXPECT_EQ(at(12, 14), background);  // a cell to the left

  // A channel that does not cover the crop is refused instead of read past its end.
  frame->channels[kChannelTemperature].resize(2);
  EXPECT_FALSE(RenderFrameToBytes(*frame, grid, c, s, bytes, &message));
  EXPECT_EQ(message.rfind("render failed: ", 0), 0u) << message;
}

TEST_F(PreviewTest, PreviewOfANegativeFrameIsSavedInTheCacheFolder) {
  std::string title;
  int shownWidth = 0;
  host::SetBitmapShowHook([&](const host::Bitmap& b, const std::string& t, std::string*) {
    title = t;
    shownWidth = b.Width();
    return true;
  });
  ASSERT_TRUE(domain_->Params()->SetInt(kPreviewWidth, 0, 64));
  host::Status status;
  status = PreviewFrame(domain_, node_, -3 * kTicksPerFrame);
  EXPECT_FALSE(status.ok);
  EXPECT_EQ(status.message, "Nothing to render at frame -3 - simulate first, turn on Live, or move the time slider.");

  domain_->SetLiveFrame(MakeFrame(12, 10, 8, 2.0f, {3, 3, 0}, {6, 4, 5}, 1.0f, 1.2f));
  status = PreviewFrame(domain_, node_, -3 * kTicksPerFrame);
  ASSERT_TRUE(status.ok) << status.message;
  const std::string path = domain_->CacheFolder() + "/preview_-3.png";
  EXPECT_EQ(path, PreviewImagePath(domain_->CacheFolder(), -3));
  EXPECT_TRUE(std::filesystem::exists(path));
  std::string why;
  const auto saved = host::LoadBitmapFile(path, &why);
  ASSERT_TRUE(saved) << why;
  EXPECT_EQ(saved->Width(), 64);
  EXPECT_EQ(saved->Height(), 64);
  EXPECT_EQ(title, "Tolvaris Fire - preview, frame -3");
  EXPECT_EQ(shownWidth, 64);
  // "Preview of frame -3: <n> ms on the CPU, 64 x 64 (12x10x8 cells).\nSaved <path>"
  EXPECT_EQ(status.message.rfind("Preview of frame -3: ", 0), 0u) << status.message;
  EXPECT_NE(status.message.find(" ms on the CPU, 64 x 64 (12x10x8 cells).\nSaved " + path), std::string::npos) << status.message;

  status = PreviewFrame(nullptr, node_, 0);
  EXPECT_FALSE(status.ok);
  EXPECT_EQ(status.message, "Select the TolvarisFire domain first.");
  host::TheViewports().ClearActiveView();
  status = PreviewFrame(domain_, node_, 0);
  EXPECT_FALSE(status.ok);
  EXPECT_EQ(status.message, "No active viewport.");
}

// ---- Composite ----------------------------------------------------------------------------------

TEST_F(PreviewTest, EmptyVolumeCompositeReproducesTheBackground) {
  const std::string bg = WriteBackground(40, 30);  // narrower than the 64-pixel render minimum
  const std::string out = (work_.path() / "out.png").string();
  host::Status status;
  std::string why;
  // An empty crop and a crop of empty cells composite the same way.
  for (auto frame : {MakeFrame(8, 8, 8, 1.0f, {0, 0, 0}, {0, 0, 0}, 0.0f),
                     MakeFrame(8, 8, 8, 1.0f, {2, 2, 0}, {4, 4, 4}, 0.0f)}) {
    domain_->SetLiveFrame(frame);
    for (float exposure : {0.0f, -1.0f}) {
      SCOPED_TRACE(exposure);
      ASSERT_TRUE(domain_->Params()->SetFloat(kExposure, 0, exposure));
      status = CompositeFrame(domain_, node_, 0, bg, out);
      ASSERT_TRUE(status.ok) << status.message;
      EXPECT_EQ(status.message, "composited " + out);
      const auto img = host::LoadBitmapFile(out, &why);
      ASSERT_TRUE(img) << why;
      ASSERT_EQ(img->Width(), 40);
      ASSERT_EQ(img->Height(), 30);
      std::vector<host::Rgba16> row(40);
      int wrong = 0;
      for (int y = 0; y < 30; ++y) {
        img->GetRow(y, row);
        for (int x = 0; x < 40; ++x) {
          const uint8_t* b = &background_[(size_t(y) * 40 + size_t(x)) * 3];
          // Exposure -1 halves the transmittance: the background at half, truncated.
          const int scale = exposure == 0.0f ? 2 : 1;
          wrong += row[size_t(x)].r / 257 != b[0] * scale / 2;
          wrong += row[size_t(x)].b / 257 != b[2] * scale / 2;
        }
      }
      EXPECT_EQ(wrong, 0);
    }
  }
}

TEST_F(PreviewTest, DenseSmokeHidesTheBackground) {
  const std::string bg = WriteBackground(64, 48);
  const std::string out = (work_.path() / "dense.png").string();
  // The camera sits inside a block of very dense, cold smoke: every ray is absorbed at once.
  SetView(64, 48, {0, -1, 4}, {0, 5, 4});
  domain_->SetLiveFrame(MakeFrame(16, 16, 16, 1.0f, {0, 0, 0}, {16, 16, 16}, 500.0f));
  ASSERT_TRUE(domain_->Params()->SetFloat(kSkyAmount, 0, 0.0f));
  ASSERT_TRUE(domain_->Params()->SetFloat(kLightIntensity, 0, 0.0f));
  host::Status status;
  std::string why;
  status = CompositeFrame(domain_, node_, 0, bg, out);
  ASSERT_TRUE(status.ok) << status.message;
  const auto img = host::LoadBitmapFile(out, &why);
  ASSERT_TRUE(img) << why;
  std::vector<host::Rgba16> row(64);
  img->GetRow(24, row);
  for (int x = 0; x < 64; ++x) EXPECT_EQ(row[size_t(x)].r, 0) << x;  // unlit smoke, nothing behind it
}

TEST_F(PreviewTest, CompositeReportsEachFailure) {
  host::Status status;
  const std::string out = (work_.path() / "c.png").string();
  status = CompositeFrame(domain_, nullptr, 0, "x.png", out);
  EXPECT_FALSE(status.ok);
  EXPECT_EQ(status.message, "Select the TolvarisFire domain first.");
  status = CompositeFrame(domain_, node_, 0, "x.png", out);
  EXPECT_FALSE(status.ok);
  EXPECT_EQ(status.message, "Nothing to render at this frame.");
  domain_->SetLiveFrame(MakeFrame(8, 8, 8, 1.0f, {0, 0, 0}, {0, 0, 0}, 0.0f));
  const std::string missing = (work_.path() / "none.png").string();
  status = CompositeFrame(domain_, node_, 0, missing, out);
  EXPECT_FALSE(status.ok);
  EXPECT_EQ(status.message, "cannot read " + missing);
  const std::string bg = WriteBackground(8, 8);
  host::TheViewports().ClearActiveView();
  status = CompositeFrame(domain_, node_, 0, bg, out);
  EXPECT_FALSE(status.ok);
  EXPECT_EQ(status.message, "No camera.");
  SetView(100, 100);
  const std::string nowhere = (work_.path() / "no" / "such" / "c.png").string();
  status = CompositeFrame(domain_, node_, 0, bg, nowhere);
  EXPECT_FALSE(status.ok);
  EXPECT_EQ(status.message, "cannot write " + nowhere);
  EXPECT_FALSE(std::filesystem::exists(out));
}

}  // namespace
}  // namespace tf
