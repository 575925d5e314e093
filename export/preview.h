// The renderer's face towards the host: render settings from a domain's "Fire Look" parameters,
// cameras from the preview camera node or the active viewport, one cache frame rendered to 8-bit
// RGB, and the two commands built on them: the preview of the current frame (shown in a host
// bitmap window and saved beside the cache as preview_<frame>.png) and the composite of the
// current frame over a background image.
//
// Everything is rendered in the domain's own space: cameras are expressed relative to the domain
// node, and a frame's volume starts at the grid's minimum corner plus its crop origin.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "domain/domain_grid.h"
#include "host/core/math.h"
#include "host/core/status.h"
#include "render/render.h"
#include "cache/cache_file.h"

namespace host {
class Node;
class Object;
class ParamBlock;
}  // namespace host

namespace tf {

// `base` (the preview defaults unless given) with the look parameters of `block` at time t
// applied; a parameter that cannot be read keeps the value of `base`. lightDir and background
// are left alone.
RenderSettings MakeRenderSettings(const host::ParamBlock* block, host::TimeValue t,
                                  const RenderSettings& base = DefaultRenderSettings());

// The active viewport as a camera in the domain's space, `requestedWidth` wide (at least 64) with
// the window's aspect (64 to 8192 rows). False without an active view, domain or node.
bool ViewportCamera(host::Object* domain, const host::Node* node, host::TimeValue t, int32_t requestedWidth,
                    RenderCamera& camera);

// The domain's `previewCamera` node when it is set and evaluates to a camera (its size from the
// scene's render output size), otherwise ViewportCamera.
bool PreviewCamera(host::Object* domain, const host::Node* node, host::TimeValue t, int32_t requestedWidth,
                   RenderCamera& camera);

// The volume of a frame: density, temperature and flame channels (null when empty), the crop
// size, the frame's cell size in scene units, and the origin crop origin * h + gridOrigin.
RenderVolume VolumeFromFrame(const CacheFrame& frame, const host::Point3& gridOrigin);

// Renders `frame` placed by `grid` to camera.width * camera.height * 3 bytes. The settings'
// lightDir is replaced by the camera's. False with "render failed: ..." in `message`.
bool RenderFrameToBytes(const CacheFrame& frame, const DomainGrid& grid, const RenderCamera& camera,
                        RenderSettings settings, std::vector<uint8_t>& bytes, std::string* message,
                        float* milliseconds = nullptr, bool* usedGpu = nullptr);

// <cacheFolder>/preview_<frame>.png, the frame in plain decimal ("-3" for frame -3).
std::string PreviewImagePath(std::string_view cacheFolder, int32_t frame);

// Renders the display frame of time t, shows it in the host's bitmap window and saves it beside
// the cache. The message says what happened.
host::Status PreviewFrame(host::Object* domain, const host::Node* node, host::TimeValue t);

// Renders the display frame of time t as the active viewport sees it, at the viewport's size (at
// least 64 pixels a side), and shows it in the host's bitmap window; nothing is saved.
host::Status RenderViewFrame(host::Object* domain, const host::Node* node, host::TimeValue t);

// Renders the display frame of time t as the preview does and saves it as a PNG at `path` (its
// folder made when missing), without showing it: the frames of a flipbook.
host::Status SavePreviewImage(host::Object* domain, const host::Node* node, host::TimeValue t, const std::string& path);

// Renders the display frame of time t over the image at `backgroundPath` (at its size) and saves
// the result as a PNG at `outputPath`.
host::Status CompositeFrame(host::Object* domain, const host::Node* node, host::TimeValue t,
                            const std::string& backgroundPath, const std::string& outputPath);

}  // namespace tf
