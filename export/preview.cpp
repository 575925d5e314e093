// Settings, cameras and frame rendering for the preview and composite commands.
#include "export/preview.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "domain/domain_sizing.h"
#include "domain/fire_params_desc.h"
#include "host/core/atomic_file.h"
#include "host/core/text.h"
#include "host/view/bitmap.h"
#include "host/scene/objects.h"
#include "host/scene/param_block.h"
#include "host/scene/scene.h"
#include "host/view/viewport.h"
#include "io/png_writer.h"
#include "export/vdb_export.h"
#include "cache/cache_file.h"
#include "cache/simulate_domain.h"

namespace tf {

using host::Format;

namespace {

constexpr const char* kSelectDomain = "Select the TolvarisFire domain first.";

Vec3f ToVec(const host::Point3& p) { return Vec3f{p.x, p.y, p.z}; }

void SetFloat(const host::ParamBlock& b, int id, host::TimeValue t, float& out) {
  if (const std::optional<float> v = b.GetFloat(id, t)) out = *v;
}

void SetColour(const host::ParamBlock& b, int id, host::TimeValue t, Vec3f& out) {
  if (const std::optional<host::Point3> v = b.GetColour(id, t)) out = ToVec(*v);
}

int32_t ClampRows(long rows) { return int32_t(std::clamp(rows, 64L, 8192L)); }

// Position and axes from a camera-to-domain transform, and the key light proposed for them:
// above, to the left of and behind the viewer.
void PlaceCamera(const host::Matrix3& m, RenderCamera& camera) {
  const host::Point3 right = host::Normalize(m.VectorTransform({1, 0, 0}));
  const host::Point3 up = host::Normalize(m.VectorTransform({0, 1, 0}));
  const host::Point3 forward = host::Normalize(m.VectorTransform({0, 0, -1}));
  camera.position = ToVec(m.GetTrans());
  camera.right = ToVec(right);
  camera.up = ToVec(up);
  camera.forward = ToVec(forward);
  camera.lightDir = ToVec(host::Normalize(up * 0.8f - right * 0.4f - forward * 0.45f));
}

// An orthographic camera sees the whole box: its position moves back along the view direction
// by four box diagonals.
void PullBack(const DomainBox& box, RenderCamera& camera) {
  const float back = 4.0f * host::Length(box.max - box.min);
  camera.position = Vec3f{camera.position.x - camera.forward.x * back, camera.position.y - camera.forward.y * back,
                          camera.position.z - camera.forward.z * back};
}

int TicksPerFrame(const host::Node* node) {
  const host::Scene* scene = node != nullptr ? node->GetScene() : nullptr;
  return scene != nullptr ? scene->time.TicksPerFrame() : host::TimeSettings().TicksPerFrame();
}

// Every stored channel must cover the crop exactly and the cell size must be usable; a frame
// that breaks this would make the renderer read past its arrays.
bool FrameUsable(const CacheFrame& frame) {
  const uint64_t values = CacheCropValues(frame.header);
  for (const auto& channel : frame.channels)
    if (!channel.empty() && channel.size() != values) return false;
  if (values > 0 && !(frame.header.cellSizeScene > 0.0f && std::isfinite(frame.header.cellSizeScene))) return false;
  return true;
}

// The full grid placement that a frame implies: centred in x and y on the pivot, standing on it.
host::Point3 FrameGridOrigin(const CacheFrame& frame) {
  const float h = frame.header.cellSizeScene;
  return {-float(frame.header.nx) * h / 2.0f, -float(frame.header.ny) * h / 2.0f, 0.0f};
}

// The last preview shown; replaced by every new preview.
std::unique_ptr<host::Bitmap>& PreviewBitmap() {
  static std::unique_ptr<host::Bitmap> bitmap;
  return bitmap;
}

// A host bitmap of the rendered bytes, shown in a window titled `title`; null when it cannot be made.
std::unique_ptr<host::Bitmap> ShowImage(const std::vector<uint8_t>& bytes, const RenderCamera& camera,
                                        const std::string& name, const std::string& title) {
  std::string why;
  std::unique_ptr<host::Bitmap> shown = host::CreateBitmap(camera.width, camera.height, 8, name, &why);
  if (!shown) return nullptr;
  std::vector<host::Rgba16> row(size_t(camera.width));
  for (int32_t y = 0; y < camera.height; ++y) {
    const uint8_t* src = bytes.data() + size_t(y) * size_t(camera.width) * 3;
    for (int32_t x = 0; x < camera.width; ++x)
      row[size_t(x)] = host::Rgba16{uint16_t(src[x * 3] * 257), uint16_t(src[x * 3 + 1] * 257),
                                    uint16_t(src[x * 3 + 2] * 257), 65535};
    shown->PutRow(y, row);
  }
  host::ShowBitmap(*shown, title, &why);
  return shown;
}

std::string NothingToRender(int32_t frameNumber) {
  return Format("Nothing to render at frame %d - simulate first, turn on Live, or move the time slider.", frameNumber);
}


}  // namespace

RenderSettings MakeRenderSettings(const host::ParamBlock* block, host::TimeValue t, const RenderSettings& base) {
  RenderSettings s = base;
  if (block == nullptr) return s;
  if (const std::optional<bool> gpu = block->GetBool(kUseGPU, t)) s.useGpu = *gpu;
  SetFloat(*block, kFireIntensity, t, s.fireIntensity);
  SetColour(*block, kFireTint, t, s.fireTint);
  SetColour(*block, kSmokeColor, t, s.smokeColor);
  SetFloat(*block, kFireTempScale, t, s.fireTempScale);
  SetFloat(*block, kGlow, t, s.glow);
  SetFloat(*block, kSmokeDensityR, t, s.smokeDensity);
  if (const std::optional<float> light = block->GetFloat(kLightIntensity, t))
    s.lightColor = Vec3f{*light * 1.2f, *light * 1.15f, *light * 1.1f};
  if (const std::optional<float> sky = block->GetFloat(kSkyAmount, t))
    s.skyColor = Vec3f{*sky * 0.1f, *sky * 0.12f, *sky * 0.16f};
  SetFloat(*block, kShadowAmount, t, s.shadowAmount);
  SetFloat(*block, kExposure, t, s.exposure);
  SetFloat(*block, kDetailAmount, t, s.detailAmount);
  SetFloat(*block, kDetailScale, t, s.detailScale);
  return s;
}

bool ViewportCamera(host::Object* domain, const host::Node* node, host::TimeValue t, int32_t requestedWidth,
                    RenderCamera& camera) {
  const host::View* view = host::TheViewports().ActiveView();
  const std::optional<DomainRef> d = DomainRefOf(domain);
  if (view == nullptr || !d || node == nullptr) return false;
  const int w = std::max(1, view->width), h = std::max(1, view->height);
  camera.width = std::max<int32_t>(64, requestedWidth);
  camera.height = ClampRows(std::lround(double(camera.width) * h / w));
  const host::Matrix3 nodeTM = node->GetNodeTM(t);
  PlaceCamera(view->affineTM.Inverse() * nodeTM.Inverse(), camera);
  camera.ortho = !view->perspective;
  camera.tanHalfFov = std::tan(view->fov * 0.5f);
  if (camera.ortho) {
    const DomainBox box = GetDomainBox(*d->params, t);
    const host::Point3 centre = ((box.min + box.max) * 0.5f) * nodeTM;
    const float s = host::Length(nodeTM.VectorTransform({1, 0, 0}));
    camera.orthoHalfWidth = view->WorldWidthAt(centre) * 0.5f / std::max(s, 1e-6f);
    PullBack(box, camera);
  }
  return true;
}

bool PreviewCamera(host::Object* domain, const host::Node* node, host::TimeValue t, int32_t requestedWidth,
                   RenderCamera& camera) {
  const std::optional<DomainRef> d = DomainRefOf(domain);
  if (!d || node == nullptr) return false;
  const std::optional<host::Node*> camNode = d->params->GetNode(kPreviewCamera, t);
  host::CameraState state;
  if (!camNode || *camNode == nullptr || (*camNode)->GetObject() == nullptr ||
      !(*camNode)->GetObject()->EvalCameraState(t, state))
    return ViewportCamera(domain, node, t, requestedWidth, camera);

  const host::Scene* scene = node->GetScene();
  const host::RenderOutput out = scene != nullptr ? scene->render : host::RenderOutput{};
  camera.width = std::max<int32_t>(64, requestedWidth);
  camera.height =
      ClampRows(std::lround(double(std::max(1, out.height)) * double(camera.width) / double(std::max(1, out.width))));
  PlaceCamera((*camNode)->GetNodeTM(t) * node->GetNodeTM(t).Inverse(), camera);
  camera.ortho = state.ortho;
  camera.tanHalfFov = std::tan(state.fov * 0.5f);
  if (camera.ortho) {
    camera.orthoHalfWidth = camera.tanHalfFov * state.targetDistance;
    PullBack(GetDomainBox(*d->params, t), camera);
  }
  return true;
}

RenderVolume VolumeFromFrame(const CacheFrame& frame, const host::Point3& gridOrigin) {
  const CacheFrameHeader& h = frame.header;
  auto channel = [&](int c) { return frame.channels[size_t(c)].empty() ? nullptr : frame.channels[size_t(c)].data(); };
  RenderVolume v;
  v.density = channel(kChannelDensity);
  v.temperature = channel(kChannelTemperature);
  v.flame = channel(kChannelFlame);
  v.nx = h.cropSize[0], v.ny = h.cropSize[1], v.nz = h.cropSize[2];
  v.cellSize = h.cellSizeScene;
  v.origin = Vec3f{float(h.cropOrigin[0]) * h.cellSizeScene + gridOrigin.x,
                   float(h.cropOrigin[1]) * h.cellSizeScene + gridOrigin.y,
                   float(h.cropOrigin[2]) * h.cellSizeScene + gridOrigin.z};
  return v;
}

bool RenderFrameToBytes(const CacheFrame& frame, const DomainGrid& grid, const RenderCamera& camera,
                        RenderSettings settings, std::vector<uint8_t>& bytes, std::string* message,
                        float* milliseconds, bool* usedGpu) {
  if (!FrameUsable(frame)) return host::Fail(message, "render failed: the frame's channels do not match its size");
  const RenderVolume volume = VolumeFromFrame(frame, {grid.originX, grid.originY, grid.originZ});
  settings.lightDir = camera.lightDir;
  std::vector<float> image;
  try {
    image.assign(size_t(std::max(camera.width, 0)) * size_t(std::max(camera.height, 0)) * 3, 0.0f);
  } catch (const std::bad_alloc&) {
    return host::Fail(message, "render failed: out of memory");
  }
  char text[200] = {};
  bool gpu = false;
  float ms = 0.0f;
  if (!RenderPreview(volume, camera, settings, image.empty() ? nullptr : image.data(), gpu, text, sizeof text, &ms))
    return host::Fail(message, std::string("render failed: ") + text);
  try {
    bytes.resize(image.size());
  } catch (const std::bad_alloc&) {
    return host::Fail(message, "render failed: out of memory");
  }
  ToneMapToBytes(image.data(), camera.width, camera.height, bytes.data());
  if (milliseconds != nullptr) *milliseconds = ms;
  if (usedGpu != nullptr) *usedGpu = gpu;
  return true;
}

std::string PreviewImagePath(std::string_view cacheFolder, int32_t frame) {
  std::string path(cacheFolder);
  if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '/';
  return path + "preview_" + std::to_string(frame) + ".png";
}

namespace {

// The frame a domain shows at time t and its number; a refusal when there is no domain or frame.
host::Status FrameToRender(const DomainRef& domain, const host::Node* node, host::TimeValue t,
                           std::shared_ptr<const CacheFrame>& frame, int32_t& frameNumber) {
  if (node == nullptr) return {false, kSelectDomain};
  frameNumber = int32_t(t / TicksPerFrame(node));
  frame = domain.folders->GetDisplayFrame(t);
  if (!frame) return {false, NothingToRender(frameNumber)};
  return {true, {}};
}

// The display frame of time t rendered as the preview (its camera, `previewWidth` wide) or, with
// `fromView`, as the active viewport sees it at the viewport's size; with the status line's first part.
struct RenderedPreview {
  std::vector<uint8_t> bytes;
  RenderCamera camera;
  int32_t frameNumber = 0;
  std::string status;
};

host::Status RenderDisplayFrame(const DomainRef& domain, const host::Node* node, host::TimeValue t,
                                RenderedPreview& out, bool fromView = false) {
  std::shared_ptr<const CacheFrame> frame;
  if (host::Status found = FrameToRender(domain, node, t, frame, out.frameNumber); !found.ok) return found;
  const host::View* view = fromView ? host::TheViewports().ActiveView() : nullptr;
  const int32_t previewWidth = domain.params->GetInt(kPreviewWidth, t).value_or(1280);
  const bool placed = fromView ? view != nullptr && ViewportCamera(domain.object, node, t, view->width, out.camera)
                               : PreviewCamera(domain.object, node, t, previewWidth, out.camera);
  if (!placed) return {false, "No active viewport."};
  const RenderSettings settings = MakeRenderSettings(domain.params, t);
  const CacheFrameHeader& h = frame->header;

  float ms = 0.0f;
  bool gpu = false;
  std::string why;
  if (!RenderFrameToBytes(*frame, DomainGridOfFrame(*frame), out.camera, settings, out.bytes, &why, &ms, &gpu))
    return {false, why};
  const char* device = gpu ? "GPU" : "CPU";
  out.status = fromView ? Format("View of frame %d: %.0f ms on the %s, %d x %d.", out.frameNumber, double(ms), device,
                                 out.camera.width, out.camera.height)
                        : Format("Preview of frame %d: %.0f ms on the %s, %d x %d (%dx%dx%d cells).", out.frameNumber,
                                 double(ms), device, out.camera.width, out.camera.height, h.nx, h.ny, h.nz);
  return {true, ""};
}

// Saves the rendered image; the image is only reported as saved when it really is on disk.
host::Status SaveRendered(const RenderedPreview& image, const std::string& path) {
  const std::string folder = std::filesystem::path(path).parent_path().string();
  if ((!folder.empty() && !EnsureDirectory(folder)) ||
      !WritePng(path, image.bytes.data(), image.camera.width, image.camera.height))
    return {false, image.status + "\nCould not save " + path};
  return {true, image.status + "\nSaved " + path};
}

}  // namespace

host::Status PreviewFrame(host::Object* object, const host::Node* node, host::TimeValue t) {
  const std::optional<DomainRef> domain = DomainRefOf(object);
  if (!domain) return {false, kSelectDomain};
  // The image goes into the cache folder: not while a bake or a cache clear works there.
  const std::string folder = domain->folders->CacheFolder();
  host::FileLock lock;
  std::string refused;
  if (!ShareCacheFolder(lock, folder, "A preview render", &refused)) return {false, refused};
  RenderedPreview image;
  const host::Status rendered = RenderDisplayFrame(*domain, node, t, image);
  if (!rendered.ok) return rendered;

  std::unique_ptr<host::Bitmap>& shown = PreviewBitmap();
  shown.reset();
  shown = ShowImage(image.bytes, image.camera, "Tolvaris Fire preview",
                    Format("Tolvaris Fire - preview, frame %d", image.frameNumber));
  return SaveRendered(image, PreviewImagePath(folder, image.frameNumber));
}

host::Status SavePreviewImage(host::Object* object, const host::Node* node, host::TimeValue t, const std::string& path) {
  const std::optional<DomainRef> domain = DomainRefOf(object);
  if (!domain) return {false, kSelectDomain};
  RenderedPreview image;
  const host::Status rendered = RenderDisplayFrame(*domain, node, t, image);
  return rendered.ok ? SaveRendered(image, path) : rendered;
}

host::Status RenderViewFrame(host::Object* object, const host::Node* node, host::TimeValue t) {
  const std::optional<DomainRef> domain = DomainRefOf(object);
  if (!domain) return {false, kSelectDomain};
  RenderedPreview image;
  const host::Status rendered = RenderDisplayFrame(*domain, node, t, image, true);
  if (!rendered.ok) return rendered;
  ShowImage(image.bytes, image.camera, "Tolvaris Fire view", Format("Tolvaris Fire - view, frame %d", image.frameNumber));
  return {true, image.status};
}

host::Status CompositeFrame(host::Object* object, const host::Node* node, host::TimeValue t,
                            const std::string& backgroundPath, const std::string& outputPath) {
  const std::optional<DomainRef> domain = DomainRefOf(object);
  if (!domain || node == nullptr) return {false, kSelectDomain};
  host::FileLock lock;
  std::string refused;
  if (!ShareCacheFolder(lock, domain->folders->CacheFolder(), "A composite", &refused)) return {false, refused};
  const std::shared_ptr<const CacheFrame> frame = domain->folders->GetDisplayFrame(t);
  if (!frame) return {false, "Nothing to render at this frame."};
  std::string why;
  const std::unique_ptr<host::Bitmap> background = host::LoadBitmapFile(backgroundPath, &why);
  if (!background) return {false, "cannot read " + backgroundPath};
  const int32_t width = background->Width(), height = background->Height();
  RenderCamera camera;
  if (!PreviewCamera(object, node, t, width, camera)) return {false, "No camera."};
  // The buffers and the output have the background's size, narrow backgrounds included.
  camera.width = width;
  camera.height = height;
  RenderSettings settings = MakeRenderSettings(domain->params, t);
  settings.lightDir = camera.lightDir;
  if (!FrameUsable(*frame)) return {false, "render failed"};
  const RenderVolume volume = VolumeFromFrame(*frame, FrameGridOrigin(*frame));

  const size_t pixels = size_t(width) * size_t(height);
  std::vector<float> black, white;
  std::vector<uint8_t> fire, out;
  try {
    black.assign(pixels * 3, 0.0f);
    white.assign(pixels * 3, 0.0f);
    fire.resize(pixels * 3);
    out.resize(pixels * 3);
  } catch (const std::bad_alloc&) {
    return {false, "render failed"};
  }
  bool gpu = false;
  char text[200] = {};
  settings.background = Vec3f{0.0f, 0.0f, 0.0f};
  const bool okBlack = RenderPreview(volume, camera, settings, black.data(), gpu, text, sizeof text);
  settings.background = Vec3f{1.0f, 1.0f, 1.0f};
  const bool okWhite = RenderPreview(volume, camera, settings, white.data(), gpu, text, sizeof text);
  if (!okBlack || !okWhite) return {false, "render failed"};
  ToneMapToBytes(black.data(), width, height, fire.data());

  std::vector<host::Rgba16> row(static_cast<size_t>(width));
  for (int32_t y = 0; y < height; ++y) {
    background->GetRow(y, row);
    for (int32_t x = 0; x < width; ++x) {
      const size_t i = (size_t(y) * size_t(width) + size_t(x)) * 3;
      const float diff = ((white[i] - black[i]) + (white[i + 1] - black[i + 1]) + (white[i + 2] - black[i + 2])) / 3.0f;
      const float T = diff > 0.0f ? std::min(diff, 1.0f) : 0.0f;  // NaN counts as opaque
      const uint16_t bg[3] = {row[size_t(x)].r, row[size_t(x)].g, row[size_t(x)].b};
      for (int c = 0; c < 3; ++c)
        out[i + size_t(c)] = uint8_t(std::min(255.0f, float(bg[c]) / 257.0f * T + float(fire[i + size_t(c)])));
    }
  }
  if (!WritePng(outputPath, out.data(), width, height)) return {false, "cannot write " + outputPath};
  return {true, "composited " + outputPath};
}

}  // namespace tf
