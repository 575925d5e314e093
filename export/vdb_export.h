// export/vdb_export.h: one OpenVDB file per cached frame of a domain, after the bake.
//
// The export reads the domain's settings at time 0 (frame range, the five VDB switches, the VDB
// and output folders), reads each cached frame of the range that exists and writes it with
// ExportFrameVdb. It never runs the solver: frames missing from the cache are skipped.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "domain/domain_grid.h"
#include "host/core/progress.h"
#include "host/core/status.h"
#include "io/vdb_writer.h"
#include "cache/cache_file.h"

namespace host {
class Node;
class Object;
}  // namespace host

namespace tf {

// ok: at least one file written and no write failed; message: for the status line.
struct ExportResult : host::Status {
  bool cancelled = false;   // the progress callback asked to stop
  int32_t framesWritten = 0;
};

// Called after each written file with (frames done, frames in the range, text); returns false to
// stop. A callback with a leading pointer argument gets null there.
using host::ProgressFn;

// The grids of a cache frame, in file order, for the chosen channels: density, dust (bit 1),
// temperature in kelvin (bit 2), flame (4), fuel (8), vel.x, vel.y, vel.z (16). Channels that are
// empty in the frame are left out. The pointers refer into `frame`.
std::vector<VdbGridInput> VdbGridsOfFrame(const CacheFrame& frame, VdbChannelMask channels);

// Where the voxels of a frame go: voxel size = the frame's scene-unit cell size, translation =
// the grid's minimum corner plus half a cell, so voxel centres sit on cell centres.
VdbTransform VdbTransformOfFrame(const CacheFrame& frame, const DomainGrid& grid);

// Writes one frame's chosen channels to `path`. On success stores the file size in `*bytes` (when
// given); on failure stores the writer's message in `error` (when given).
bool ExportFrameVdb(const CacheFrame& frame, const DomainGrid& grid, const std::filesystem::path& path,
                    VdbChannelMask channels, std::string* error, int64_t* bytes = nullptr);

// Writes <folder>/<node name>_####.vdb for every cached frame from startFrame to endFrame of the
// domain `object`. When it is no domain the result is returned untouched. `node` and `progress`
// may be null; without a node the files are named "fire".
ExportResult ExportVdbSequence(host::Object* object, const host::Node* node, const ProgressFn& progress);

// The folder the files go to: vdbPath when set, else outPath, else <cacheFolder>/out; trailing
// "/" and "\" removed.
std::string VdbExportFolder(std::string_view vdbPath, std::string_view outPath, std::string_view cacheFolder);

// A node name made safe as the start of a file name: path separators, ".." and control
// characters become "_"; an empty name becomes "fire".
std::string VdbFileBaseName(std::string_view nodeName);

// Where a frame's cells sit in the domain: the sizing rule (grid centred on the pivot in x and y,
// standing on it in z) applied to the grid size and cell size the frame stores, so a frame keeps
// its place even when the domain's resolution changed after the bake.
DomainGrid DomainGridOfFrame(const CacheFrame& frame);

}  // namespace tf
