#include "io/vdb_writer.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "host/core/atomic_file.h"
#include "host/core/platform.h"

namespace tf {

namespace {

// What the file says about itself.
constexpr int64_t kVdbMagic = 0x56444220;      // " BDV": the bytes 20 42 44 56 00 00 00 00
constexpr uint32_t kVdbFileVersion = 224;
constexpr uint32_t kVdbLibraryMajor = 10;
constexpr uint32_t kVdbLibraryMinor = 0;
constexpr uint32_t kCompressActiveMask = 2;    // inactive values are left out; no zip, no blosc
constexpr const char* kFloatTreeType = "Tree_float_5_4_3";
constexpr const char* kUniformMap = "UniformScaleTranslateMap";


constexpr int kUpperChildren = 32 * 32 * 32;
constexpr int kLowerChildren = 16 * 16 * 16;

// Little-endian appends to the file buffer.
class Out {
 public:
  explicit Out(std::vector<uint8_t>& bytes) : b_(bytes) {}
  size_t Size() const { return b_.size(); }
  void Reserve(size_t more) {
    if (b_.capacity() - b_.size() < more) b_.reserve(std::max(b_.size() + more, 2 * b_.capacity()));
  }
  void U8(uint8_t v) { b_.push_back(v); }
  void U32(uint32_t v) { Put(v); }
  void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
  void U64(uint64_t v) { Put(v); }
  void I64(int64_t v) { U64(static_cast<uint64_t>(v)); }
  void F32(float v) {
    uint32_t u;
    std::memcpy(&u, &v, 4);
    U32(u);
  }
  void F64(double v) {
    uint64_t u;
    std::memcpy(&u, &v, 8);
    U64(u);
  }
  void Bytes(const void* p, size_t n) {
    const auto* c = static_cast<const uint8_t*>(p);
    b_.insert(b_.end(), c, c + n);
  }
  void Zeros(size_t n) { b_.insert(b_.end(), n, 0); }
  void String(std::string_view s) {
    U32(static_cast<uint32_t>(s.size()));
    Bytes(s.data(), s.size());
  }
  void Mask(const uint64_t* words, size_t count) {
    for (size_t i = 0; i < count; ++i) U64(words[i]);
  }
  // Integers go out little-endian whatever the machine; on a little-endian one that is a copy.
  template <class T>
  void Put(T v) {
    uint8_t bytes[sizeof(T)];
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(bytes, &v, sizeof(T));
    } else {
      for (size_t i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<uint8_t>(v >> (8 * i));
    }
    const size_t at = b_.size();
    b_.resize(at + sizeof(T));
    std::memcpy(b_.data() + at, bytes, sizeof(T));
  }
  void PatchI64(size_t at, int64_t v) {
    for (int i = 0; i < 8; ++i) b_[at + i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
  }

 private:
  std::vector<uint8_t>& b_;
};

void StringMeta(Out& out, std::string_view name, std::string_view value) {
  out.String(name);
  out.String("string");
  out.String(value);  // the value size is the string's length
}

void Vec3iMeta(Out& out, std::string_view name, const VdbCoord& v) {
  out.String(name);
  out.String("vec3i");
  out.U32(12);
  for (int32_t c : v) out.I32(c);
}

void Int64Meta(Out& out, std::string_view name, int64_t v) {
  out.String(name);
  out.String("int64");
  out.U32(8);
  out.I64(v);
}

void SetBit(std::vector<uint64_t>& words, int n) { words[n >> 6] |= uint64_t{1} << (n & 63); }

// The grid's metadata (in the reader's alphabetical order) and its uniform transform.
void AppendMetaAndTransform(Out& out, const std::string& name, const VdbTree& tree, const VdbTransform& xf) {
  const bool empty = tree.ActiveCount() == 0;
  const VdbCoord zero{0, 0, 0};
  out.U32(6);
  StringMeta(out, "class", "fog volume");
  Vec3iMeta(out, "file_bbox_max", empty ? zero : tree.BoundsMax());
  Vec3iMeta(out, "file_bbox_min", empty ? zero : tree.BoundsMin());
  StringMeta(out, "file_compression", "active values");
  Int64Meta(out, "file_voxel_count", tree.ActiveCount());
  StringMeta(out, "name", name);

  const double h = xf.voxelSize;
  out.String(kUniformMap);
  for (double t : xf.translation) out.F64(t);
  for (int i = 0; i < 3; ++i) out.F64(h);  // scale
  for (int i = 0; i < 3; ++i) out.F64(h);  // voxel size
  for (int i = 0; i < 3; ++i) out.F64(1.0 / h);
  for (int i = 0; i < 3; ++i) out.F64(1.0 / (h * h));
  for (int i = 0; i < 3; ++i) out.F64(0.5 / h);
}

// Topology. No node holds an active tile, so every value mask is empty and the byte after it says
// that all inactive values equal the background (and none follow).
void AppendTopology(Out& out, const VdbTree& tree) {
  std::vector<uint64_t> upperMask(kUpperChildren / 64);
  std::vector<uint64_t> lowerMask(kLowerChildren / 64);
  for (const auto& [origin, upper] : tree.Root()) {
    for (int32_t c : origin) out.I32(c);
    std::fill(upperMask.begin(), upperMask.end(), 0);
    for (int i = 0; i < kUpperChildren; ++i) {
      if (upper.children[i]) SetBit(upperMask, i);
    }
    out.Mask(upperMask.data(), upperMask.size());
    out.Zeros(kUpperChildren / 8);
    out.U8(0);
    for (const auto& lower : upper.children) {
      if (!lower) continue;
      std::fill(lowerMask.begin(), lowerMask.end(), 0);
      for (int i = 0; i < kLowerChildren; ++i) {
        if (lower->children[i]) SetBit(lowerMask, i);
      }
      out.Mask(lowerMask.data(), lowerMask.size());
      out.Zeros(kLowerChildren / 8);
      out.U8(0);
      for (const auto& leaf : lower->children) {
        if (leaf) out.Mask(leaf->mask.data(), 8);
      }
    }
  }
}

// Leaf buffers, in the topology's order: the mask again, then the active values only.
void AppendLeafBuffers(Out& out, const VdbTree& tree) {
  for (const auto& upperEntry : tree.Root()) {
    for (const auto& lower : upperEntry.second.children) {
      if (!lower) continue;
      for (const auto& leaf : lower->children) {
        if (!leaf) continue;
        out.Mask(leaf->mask.data(), 8);
        out.U8(0);
        for (int w = 0; w < 8; ++w) {
          for (uint64_t bits = leaf->mask[w]; bits; bits &= bits - 1) {
            out.F32(leaf->values[w * 64 + std::countr_zero(bits)]);
          }
        }
      }
    }
  }
}

// One grid, from its name to its last leaf buffer.
void AppendGrid(Out& out, const std::string& name, const VdbTree& tree, const VdbTransform& xf) {
  // Room for the whole grid at once: descriptor, metadata and transform stay under 1 KiB plus the
  // name; then the nodes' masks and the active values.
  out.Reserve(1024 + 2 * name.size() + tree.Root().size() * (12 + kUpperChildren / 4 + 1) +
              static_cast<size_t>(tree.LowerCount()) * (kLowerChildren / 4 + 1) +
              static_cast<size_t>(tree.LeafCount()) * (3 * 64 + 1) + static_cast<size_t>(tree.ActiveCount()) * 4);
  out.String(name);
  out.String(kFloatTreeType);
  out.String("");  // no instance parent
  const size_t offsetsAt = out.Size();
  out.Zeros(3 * 8);  // grid, block and end positions, filled in below

  const size_t gridPos = out.Size();
  out.U32(kCompressActiveMask);
  AppendMetaAndTransform(out, name, tree, xf);
  out.U32(1);     // buffer count
  out.F32(0.0f);  // background
  out.U32(0);     // tiles
  out.U32(static_cast<uint32_t>(tree.Root().size()));
  AppendTopology(out, tree);
  const size_t blockPos = out.Size();
  AppendLeafBuffers(out, tree);
  const size_t endPos = out.Size();
  out.PatchI64(offsetsAt, static_cast<int64_t>(gridPos));
  out.PatchI64(offsetsAt + 8, static_cast<int64_t>(blockPos));
  out.PatchI64(offsetsAt + 16, static_cast<int64_t>(endPos));
}

bool FitsInt32(int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; }

}  // namespace

// ---- VdbTree -----------------------------------------------------------------------------------

VdbCoord VdbTree::UpperOrigin(int32_t x, int32_t y, int32_t z) { return {x & ~4095, y & ~4095, z & ~4095}; }

int VdbTree::UpperChildIndex(int32_t x, int32_t y, int32_t z) {
  return ((x & 4095) >> 7) << 10 | ((y & 4095) >> 7) << 5 | ((z & 4095) >> 7);
}

int VdbTree::LowerChildIndex(int32_t x, int32_t y, int32_t z) {
  return ((x >> 3) & 15) << 8 | ((y >> 3) & 15) << 4 | ((z >> 3) & 15);
}

int VdbTree::VoxelIndex(int32_t x, int32_t y, int32_t z) { return (x & 7) << 6 | (y & 7) << 3 | (z & 7); }

void VdbTree::SetValue(int32_t x, int32_t y, int32_t z, float v) {
  const VdbCoord leafKey{x >> 3, y >> 3, z >> 3};
  if (!lastLeaf_ || leafKey != lastLeafKey_) {
    VdbUpperNode& upper = root_[UpperOrigin(x, y, z)];
    std::unique_ptr<VdbLowerNode>& lower = upper.children[UpperChildIndex(x, y, z)];
    if (!lower) {
      lower = std::make_unique<VdbLowerNode>();
      ++lowerCount_;
    }
    std::unique_ptr<VdbLeaf>& leaf = lower->children[LowerChildIndex(x, y, z)];
    if (!leaf) {
      leaf = std::make_unique<VdbLeaf>();
      ++leafCount_;
    }
    lastLeaf_ = leaf.get();
    lastLeafKey_ = leafKey;
  }
  const int n = VoxelIndex(x, y, z);
  uint64_t& word = lastLeaf_->mask[n >> 6];
  const uint64_t bit = uint64_t{1} << (n & 63);
  if (!(word & bit)) {
    word |= bit;
    ++activeCount_;
  }
  lastLeaf_->values[n] = v;
  const VdbCoord c{x, y, z};
  for (int i = 0; i < 3; ++i) {
    if (c[i] < min_[i]) min_[i] = c[i];
    if (c[i] > max_[i]) max_[i] = c[i];
  }
}

bool BuildVdbTree(const VdbGridInput& g, VdbTree& tree) {
  if (!g.values || g.nx <= 0 || g.ny <= 0 || g.nz <= 0) return true;
  // Every coordinate of the box must be a 32-bit voxel coordinate.
  if (!FitsInt32(int64_t{g.ox} + g.nx - 1) || !FitsInt32(int64_t{g.oy} + g.ny - 1) ||
      !FitsInt32(int64_t{g.oz} + g.nz - 1)) {
    return false;
  }
  const size_t nx = static_cast<size_t>(g.nx), ny = static_cast<size_t>(g.ny);
  for (int32_t z = 0; z < g.nz; ++z) {
    for (int32_t y = 0; y < g.ny; ++y) {
      const float* row = g.values + nx * (static_cast<size_t>(y) + ny * static_cast<size_t>(z));
      for (int32_t x = 0; x < g.nx; ++x) {
        const float v = row[x];
        // Strictly greater: a value equal to the threshold stays out. NaN never passes.
        if (std::fabs(v) > g.threshold) tree.SetValue(x + g.ox, y + g.oy, z + g.oz, v * g.scale + g.offset);
      }
    }
  }
  return true;
}

// ---- Files -------------------------------------------------------------------------------------

bool EncodeVdbFile(const std::vector<VdbGridInput>& grids, const VdbTransform& transform,
                   const std::string& uuid, std::vector<uint8_t>& bytes, int64_t& activeVoxels,
                   std::string* error) {
  activeVoxels = 0;
  bytes.clear();
  Out out(bytes);
  out.I64(kVdbMagic);
  out.U32(kVdbFileVersion);
  out.U32(kVdbLibraryMajor);
  out.U32(kVdbLibraryMinor);
  out.U8(1);  // grid offsets follow each grid's descriptor
  std::string id = uuid;
  id.resize(36, '0');  // the field has no length: always exactly 36 bytes
  out.Bytes(id.data(), id.size());
  out.U32(0);  // no file metadata
  out.U32(static_cast<uint32_t>(grids.size()));
  for (const VdbGridInput& g : grids) {
    VdbTree tree;
    if (!BuildVdbTree(g, tree))
      return host::Fail(error, "voxel coordinates of grid \"" + g.name + "\" are out of range");
    activeVoxels += tree.ActiveCount();
    AppendGrid(out, g.name, tree, transform);
  }
  return true;
}

bool VdbTransformUsable(const VdbTransform& transform, std::string* error) {
  auto fail = [&](const char* why) {
    if (error) *error = why;
    return false;
  };
  if (!(transform.voxelSize > 0.0)) return fail("voxel size must be positive");
  // A cache frame read from a damaged file may claim any cell size; OpenVDB refuses to read a map
  // that is not finite.
  if (!std::isfinite(transform.voxelSize)) return fail("voxel size is not a finite number");
  for (double t : transform.translation)
    if (!std::isfinite(t)) return fail("grid position is not a finite number");
  return true;
}

VdbWriteResult WriteVdbFile(const std::filesystem::path& path, const std::vector<VdbGridInput>& grids,
                            const VdbTransform& transform) {
  VdbWriteResult result;
  if (!VdbTransformUsable(transform, &result.message)) return result;
  std::vector<uint8_t> bytes;
  try {
    if (!EncodeVdbFile(grids, transform, MakeVdbUuid(), bytes, result.activeVoxels, &result.message)) {
      return result;
    }
  } catch (const std::bad_alloc&) {
    result.message = kVdbOutOfMemory;
    return result;
  }

  host::AtomicFile file(path);
  if (!file.Open()) {
    result.message = "cannot create the file";
    return result;
  }
  if (!file.Write(bytes.data(), bytes.size()) || !file.Commit()) {
    // Only a full disk or quota gets the hint; any other cause (a folder in the way) names itself.
    result.message = file.MayBeOutOfSpace() ? "write failed (disk full?)" : "write failed: " + file.Error();
    return result;
  }
  result.ok = true;
  result.bytes = static_cast<int64_t>(bytes.size());
  return result;
}

std::string MakeVdbUuid(uint64_t counter, uint32_t processId, uint64_t milliseconds) {
  uint64_t s = counter ^ (uint64_t{processId} << 32) ^ milliseconds;
  uint8_t b[16];
  for (uint8_t& byte : b) {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    byte = static_cast<uint8_t>(s >> 24);
  }
  b[6] = static_cast<uint8_t>((b[6] & 0x0f) | 0x40);  // version 4
  b[8] = static_cast<uint8_t>((b[8] & 0x3f) | 0x80);  // RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0],
                b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return std::string(text, 36);
}

std::string MakeVdbUuid() {
  return MakeVdbUuid(host::HighResCounter(), host::ProcessId(), host::MillisecondsSinceStart());
}

}  // namespace tf
