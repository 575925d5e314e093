// io/vdb_writer.h: dense float grids written as one OpenVDB file (format 224, library 10.0) with
// no volume library. It knows nothing of cache frames: export/vdb_export.h turns those into grids.
//
// Every grid is a float tree with 5-4-3 branching: a root keyed by upper-node origins (multiples
// of 4096), upper nodes of 32^3 lower nodes, lower nodes of 16^3 leaves, leaves of 8^3 voxels.
// Only active voxels are stored; the background, and every inactive value, is 0.
//
//   [header: magic, 224, 10, 0, 1, uuid(36), 0 file metadata, grid count]
//   per grid: [name][type "Tree_float_5_4_3"][parent ""][gridPos][blockPos][endPos]
//             gridPos -> [flags 2][6 metadata][transform][1 buffer][background 0][0 tiles]
//                        [child count][topology of every upper node, root order]
//             blockPos -> [every leaf: active mask, 0, active values in voxel order]
//             endPos  -> next grid
//
// Integers and floats are little-endian; strings are a u32 byte count and the bytes. The whole
// file is assembled in memory, written with one call as <target>.part and renamed onto the
// target, so the target is only ever replaced by a complete file.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/core/status.h"

namespace tf {

// One grid to write. The writer only reads the fields; `values` must hold nx * ny * nz floats,
// x fastest, then y, then z, or be null (an empty grid).
struct VdbGridInput {
  std::string name;
  const float* values = nullptr;
  int32_t nx = 0, ny = 0, nz = 0;
  int32_t ox = 0, oy = 0, oz = 0;  // added to each cell's (x, y, z) to give its voxel coordinate
  float threshold = 0.0f;          // a cell is active only when |value| is strictly greater
  float scale = 1.0f;              // written value = value * scale + offset
  float offset = 0.0f;
};

// Voxel size (> 0) and the world position of the centre of voxel (0, 0, 0).
struct VdbTransform {
  double voxelSize = 1.0;
  std::array<double, 3> translation{};
};

// ok: true only once the file is in place under its final name; message: why not, empty on
// success.
struct VdbWriteResult : host::Status {
  int64_t bytes = 0;          // size of the written file
  int64_t activeVoxels = 0;   // over all grids, counted even when the write then fails
};

// Which cache channels become grids: bit 1 density and dust, 2 temperature, 4 flame, 8 fuel,
// 16 the three velocity components.
using VdbChannelMask = uint32_t;
inline constexpr VdbChannelMask kVdbMaskDensity = 1;
inline constexpr VdbChannelMask kVdbMaskTemperature = 2;
inline constexpr VdbChannelMask kVdbMaskFlame = 4;
inline constexpr VdbChannelMask kVdbMaskFuel = 8;
inline constexpr VdbChannelMask kVdbMaskVelocity = 16;

// ---- The sparse tree ---------------------------------------------------------------------------

using VdbCoord = std::array<int32_t, 3>;

struct VdbLeaf {
  std::array<uint64_t, 8> mask{};  // voxel n is active when bit (n & 63) of word n >> 6 is set
  std::array<float, 512> values{};
};

// Children by index, null where there is none; walking the indexes in order gives the file's order.
struct VdbLowerNode {
  std::array<std::unique_ptr<VdbLeaf>, 4096> children;  // 16^3 leaves
};

struct VdbUpperNode {
  std::array<std::unique_ptr<VdbLowerNode>, 32768> children;  // 32^3 lower nodes
};

// One grid's tree while it is being written. The root map keeps upper nodes in the order the file
// needs (origin x, then y, then z); the nodes keep their children by index.
class VdbTree {
 public:
  // Sets voxel (x, y, z) active with value v, creating the nodes on its path.
  void SetValue(int32_t x, int32_t y, int32_t z, float v);

  const std::map<VdbCoord, VdbUpperNode>& Root() const { return root_; }
  int64_t ActiveCount() const { return activeCount_; }
  int64_t LowerCount() const { return lowerCount_; }
  int64_t LeafCount() const { return leafCount_; }
  // Inclusive bounds of the active voxels; min above max while the tree is empty.
  const VdbCoord& BoundsMin() const { return min_; }
  const VdbCoord& BoundsMax() const { return max_; }

  static VdbCoord UpperOrigin(int32_t x, int32_t y, int32_t z);
  static int UpperChildIndex(int32_t x, int32_t y, int32_t z);
  static int LowerChildIndex(int32_t x, int32_t y, int32_t z);
  static int VoxelIndex(int32_t x, int32_t y, int32_t z);

 private:
  std::map<VdbCoord, VdbUpperNode> root_;
  int64_t activeCount_ = 0;
  int64_t lowerCount_ = 0, leafCount_ = 0;
  VdbCoord min_{INT32_MAX, INT32_MAX, INT32_MAX};
  VdbCoord max_{INT32_MIN, INT32_MIN, INT32_MIN};
  // The leaf of the last voxel set: a row of x visits each leaf eight voxels in a row.
  VdbLeaf* lastLeaf_ = nullptr;
  VdbCoord lastLeafKey_{};
};

// The tree of one input: every cell whose |value| exceeds the threshold, scaled and offset.
// False (and an empty tree) when a voxel coordinate would leave the 32-bit range.
bool BuildVdbTree(const VdbGridInput& grid, VdbTree& tree);

// ---- Files -------------------------------------------------------------------------------------

// The error when the file cannot be built in memory.
inline constexpr const char* kVdbOutOfMemory = "not enough memory to build the file";

// Whether a transform can be written so that OpenVDB reads it back: a voxel size above 0 (else
// "voxel size must be positive") and finite, with a finite translation. False with the reason.
bool VdbTransformUsable(const VdbTransform& transform, std::string* error);

// Writes the grids, in the given order, to `path`. The errors, word for word: "voxel size must be
// positive" (nothing touched), "cannot create the file" (the target untouched), "write failed
// (disk full?)" for a full disk or quota, else "write failed: <cause>" (the temporary file removed,
// an older target left as it was).
VdbWriteResult WriteVdbFile(const std::filesystem::path& path, const std::vector<VdbGridInput>& grids,
                            const VdbTransform& transform);

// The file's bytes, as WriteVdbFile writes them; `activeVoxels` receives the total count.
// False with `error` set when the input cannot be written.
bool EncodeVdbFile(const std::vector<VdbGridInput>& grids, const VdbTransform& transform,
                   const std::string& uuid, std::vector<uint8_t>& out, int64_t& activeVoxels,
                   std::string* error);

// A fresh version-4 UUID as 36 lower-case characters ("xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx"),
// from the counter, the process id and the milliseconds since start.
std::string MakeVdbUuid();
std::string MakeVdbUuid(uint64_t counter, uint32_t processId, uint64_t milliseconds);

}  // namespace tf
