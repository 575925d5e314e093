#include "export/vdb_export.h"

#include <cstdio>
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "domain/fire_params_desc.h"
#include "host/core/atomic_file.h"
#include "cache/simulate_domain.h"
#include "host/core/text.h"
#include "host/scene/objects.h"
#include "host/scene/param_block.h"
#include "host/scene/scene.h"

namespace tf {

using host::Format;

namespace {

// A folder setting of the domain; a relative one is taken against the scene file's folder.
std::string FolderSetting(const DomainRef& d, int paramId) {
  std::string value = d.params->GetString(paramId, 0).value_or(std::string());
  const host::Scene* scene = d.object->GetScene();
  if (!value.empty() && scene) value = scene->ResolvePath(value).string();
  return value;
}

// The channels the domain's VDB switches choose.
VdbChannelMask ChannelSwitches(const host::ParamBlock& p) {
  VdbChannelMask mask = 0;
  for (const auto& [id, bit] : {std::pair{kVdbDensity, kVdbMaskDensity}, std::pair{kVdbTemp, kVdbMaskTemperature},
                               std::pair{kVdbFlame, kVdbMaskFlame}, std::pair{kVdbFuel, kVdbMaskFuel},
                               std::pair{kVdbVelocity, kVdbMaskVelocity}})
    if (p.GetBool(id, 0).value_or(false)) mask |= bit;
  return mask;
}

}  // namespace

std::string VdbExportFolder(std::string_view vdbPath, std::string_view outPath, std::string_view cacheFolder) {
  if (!vdbPath.empty()) return StripTrailingSeparators(vdbPath);
  return StripTrailingSeparators(OutputFolder(outPath, cacheFolder));
}

std::string VdbFileBaseName(std::string_view nodeName) {
  std::string name(nodeName);
  for (char& c : name) {
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) c = '_';
  }
  for (size_t at = name.find(".."); at != std::string::npos; at = name.find("..", at)) name.replace(at, 2, "__");
  return name.empty() ? std::string("fire") : name;
}

DomainGrid DomainGridOfFrame(const CacheFrame& frame) {
  const CacheFrameHeader& h = frame.header;
  DomainGrid g;
  g.nx = h.nx, g.ny = h.ny, g.nz = h.nz;
  g.cellSize = h.cellSizeScene;
  g.cellSizeM = h.cellSize;
  g.originX = float(h.nx) * -0.5f * h.cellSizeScene;
  g.originY = float(h.ny) * -0.5f * h.cellSizeScene;
  g.originZ = 0.0f;
  return g;
}

// ---- Cache frames ------------------------------------------------------------------------------

namespace {

struct ChannelGrid {
  VdbChannelMask bit;
  const char* name;
  int channel;
  float threshold, scale, offset;
};

// File order. Temperature is stored normalised ((K - 300) / 1000) and written in kelvin.
constexpr ChannelGrid kChannelGrids[] = {
    {kVdbMaskDensity, "density", kChannelDensity, 1e-4f, 1.0f, 0.0f},
    {kVdbMaskDensity, "dust", kChannelDust, 1e-4f, 1.0f, 0.0f},
    {kVdbMaskTemperature, "temperature", kChannelTemperature, 0.001f, 1000.0f, 300.0f},
    {kVdbMaskFlame, "flame", kChannelFlame, 1e-4f, 1.0f, 0.0f},
    {kVdbMaskFuel, "fuel", kChannelFuel, 1e-4f, 1.0f, 0.0f},
    {kVdbMaskVelocity, "vel.x", kChannelVelX, 1e-4f, 1.0f, 0.0f},
    {kVdbMaskVelocity, "vel.y", kChannelVelY, 1e-4f, 1.0f, 0.0f},
    {kVdbMaskVelocity, "vel.z", kChannelVelZ, 1e-4f, 1.0f, 0.0f},
};

}  // namespace

std::vector<VdbGridInput> VdbGridsOfFrame(const CacheFrame& frame, VdbChannelMask channels) {
  std::vector<VdbGridInput> grids;
  const CacheFrameHeader& h = frame.header;
  for (const ChannelGrid& c : kChannelGrids) {
    if (!(channels & c.bit) || frame.channels[c.channel].empty()) continue;
    VdbGridInput g;
    g.name = c.name;
    g.values = frame.channels[c.channel].data();
    g.nx = h.cropSize[0], g.ny = h.cropSize[1], g.nz = h.cropSize[2];
    g.ox = h.cropOrigin[0], g.oy = h.cropOrigin[1], g.oz = h.cropOrigin[2];
    g.threshold = c.threshold;
    g.scale = c.scale;
    g.offset = c.offset;
    grids.push_back(std::move(g));
  }
  return grids;
}

VdbTransform VdbTransformOfFrame(const CacheFrame& frame, const DomainGrid& grid) {
  VdbTransform t;
  t.voxelSize = static_cast<double>(frame.header.cellSizeScene);
  const double half = t.voxelSize / 2.0;
  t.translation = {double(grid.originX) + half, double(grid.originY) + half, double(grid.originZ) + half};
  return t;
}

bool ExportFrameVdb(const CacheFrame& frame, const DomainGrid& grid, const std::filesystem::path& path,
                    VdbChannelMask channels, std::string* error, int64_t* bytes) {
  // A channel shorter than its crop box would be read past its end.
  const uint64_t cells = CacheCropValues(frame.header);
  for (const ChannelGrid& c : kChannelGrids) {
    if (!(channels & c.bit) || frame.channels[c.channel].empty()) continue;
    if (frame.channels[c.channel].size() != cells)
      return host::Fail(error, std::string("the \"") + c.name + "\" channel does not fill the frame's crop box");
  }
  VdbWriteResult r;
  try {
    r = WriteVdbFile(path, VdbGridsOfFrame(frame, channels), VdbTransformOfFrame(frame, grid));
  } catch (const std::bad_alloc&) {
    r.message = kVdbOutOfMemory;
  }
  if (!r.ok) return host::Fail(error, r.message);
  if (bytes) *bytes = r.bytes;
  return true;
}

ExportResult ExportVdbSequence(host::Object* object, const host::Node* node, const ProgressFn& progress) {
  ExportResult result;
  const std::optional<DomainRef> domain = DomainRefOf(object);
  if (!domain) return result;
  const host::ParamBlock& p = *domain->params;
  const std::string cacheFolder = domain->folders->CacheFolder();

  const int startFrame = p.GetInt(kStartFrame, 0).value_or(0);
  const int endFrame = p.GetInt(kEndFrame, 0).value_or(0);
  const VdbChannelMask mask = ChannelSwitches(p);

  // A bake writing the same frames would have them torn or replaced under the export.
  host::FileLock lock;
  if (!ShareCacheFolder(lock, cacheFolder, "A VDB export", &result.message)) return result;
  const std::string folder =
      VdbExportFolder(FolderSetting(*domain, kVdbPath), FolderSetting(*domain, kOutPath), cacheFolder);
  if (!EnsureDirectory(folder)) {
    result.message = "Cannot create the VDB folder " + folder;
    return result;
  }
  const std::string base = VdbFileBaseName(node ? std::string_view(node->Name()) : std::string_view());

  // 64-bit so that no setting can overflow the count.
  const int64_t total = int64_t{endFrame} - startFrame + 1;
  int64_t totalBytes = 0;
  CacheFrame frame;
  std::vector<int> unreadable;  // frames whose file is there but is no valid frame
  for (int64_t f64 = startFrame; f64 <= endFrame; ++f64) {
    const int f = static_cast<int>(f64);
    std::string error;
    int64_t bytes = 0;
    bool written = false;
    try {
      const std::string cached = MakeFramePath(cacheFolder, "fire", f, "tfc");
      if (!ReadCacheFrame(cached, frame)) {
        std::error_code ec;
        if (std::filesystem::exists(std::filesystem::symlink_status(cached, ec))) unreadable.push_back(f);
        continue;
      }
      written = ExportFrameVdb(frame, DomainGridOfFrame(frame), MakeFramePath(folder, base, f, "vdb"), mask, &error, &bytes);
    } catch (const std::bad_alloc&) {
      error = "not enough memory for the frame";
    }
    if (!written) {
      result.message = "VDB write failed at frame " + std::to_string(f) + ": " + error;
      return result;
    }
    ++result.framesWritten;
    totalBytes += bytes;
    if (progress) {
      const std::string text = Format("VDB frame %d: %.1f MB", f, double(bytes) / 1048576.0);
      if (!progress(static_cast<int32_t>(f64 - startFrame + 1), static_cast<int32_t>(total), text)) {
        result.cancelled = true;
        break;
      }
    }
  }

  result.ok = result.framesWritten > 0;
  if (result.framesWritten > 0) {
    result.message = Format(
        "%d VDB frame%s, %.1f MB each on average, in %s. Load them with a V-Ray VolumeGrid or Corona "
        "VolumeGrid placed at this domain's pivot (units: scene units).",
        result.framesWritten, result.framesWritten == 1 ? "" : "s",
        double(totalBytes) / 1048576.0 / result.framesWritten, folder.c_str());
  } else {
    result.message = Format("No cached frames between %d and %d - simulate first.", startFrame, endFrame);
  }
  if (!unreadable.empty()) {
    std::string frames;
    for (size_t i = 0; i < unreadable.size() && i < 5; ++i) frames += (i ? ", " : "") + std::to_string(unreadable[i]);
    if (unreadable.size() > 5) frames += ", ...";
    result.message += Format(" WARNING: %d cached frame%s could not be read (damaged, or not a cache file) and got no VDB "
                             "file: %s.",
                             int(unreadable.size()), unreadable.size() == 1 ? "" : "s", frames.c_str());
  }
  return result;
}

}  // namespace tf
