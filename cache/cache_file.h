// cache/cache_file.h: one simulated frame on disk, little-endian.
//
//   [header 132 B][channel 0: sx*sy*sz halves][channel 1 ...] ... [channel 7 ...]
//
// Only channels whose mask bit is set are stored, in index order, each covering the crop box with
// x fastest, then y, then z. When any crop size is 0 the body is empty whatever the mask says.
// There is no index and no checksum: the length is always
//   132 + 2 * sx * sy * sz * popcount(mask)
// and the reader insists on exactly that length, so a file cut short or grown is refused whole.
//
// Header layout (byte offsets):
//     0 u32 magic "TFC1"        4 u32 version (1)
//     8 i32 grid nx            12 i32 grid ny           16 i32 grid nz
//    20 f32 cell size, metres  24 f32 cell size, scene units
//    28 i32 frame number
//    32 i32 crop origin x,y,z  44 i32 crop size x,y,z   (cells)
//    56 u32 channel mask       60 f32 step wall-clock ms
//    64 i32 pressure iterations                         68 f32 largest divergence
//    72 f32 x 8 largest |value| per channel            104 28 reserved bytes, zero
//
// Frames are written as <name>.part and then renamed onto <name>, so a reader never sees half a
// frame and a failed write leaves an older file of the same frame untouched.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace host {
class FileLock;
}  // namespace host

namespace tf {

inline constexpr uint32_t kCacheMagic = 0x31434654u;  // the bytes 'T' 'F' 'C' '1'
inline constexpr uint32_t kCacheVersion = 1;
inline constexpr size_t kCacheHeaderBytes = 132;
inline constexpr int kCacheChannels = 8;
// Larger crops are refused on read: a corrupt size must not turn into a huge allocation.
inline constexpr uint32_t kCacheMaxCropSize = 8192;

// Channel indices, in file order.
enum CacheChannel : int {
  kChannelDensity = 0,
  kChannelTemperature = 1,  // normalised: (K - 300) / 1000
  kChannelFlame = 2,
  kChannelFuel = 3,
  kChannelVelX = 4,  // at cell centres
  kChannelVelY = 5,
  kChannelVelZ = 6,
  kChannelDust = 7,
};
// Density, temperature, flame and fuel: present in every frame.
inline constexpr uint32_t kCacheAlwaysMask = 0x0Fu;

// The header in memory. Field order and sizes mirror the file, but the file is written and read
// field by field (EncodeCacheHeader/DecodeCacheHeader), never by copying this struct.
struct CacheFrameHeader {
  uint32_t magic = kCacheMagic;
  uint32_t version = kCacheVersion;
  int32_t nx = 0, ny = 0, nz = 0;
  float cellSize = 0.0f;       // metres
  float cellSizeScene = 0.0f;  // scene units
  int32_t frame = 0;
  std::array<int32_t, 3> cropOrigin{};
  std::array<int32_t, 3> cropSize{};
  uint32_t channelMask = 0;
  float stepMs = 0.0f;
  int32_t pressureIterations = 0;
  float maxDivergence = 0.0f;
  std::array<float, kCacheChannels> channelMax{};
  std::array<uint8_t, 28> reserved{};
};
static_assert(sizeof(CacheFrameHeader) == kCacheHeaderBytes, "header fields must add up to 132 bytes");

// One frame: the header and eight channels (empty when absent).
struct CacheFrame {
  CacheFrameHeader header;
  std::array<std::vector<float>, kCacheChannels> channels;

  void Clear();
};

void EncodeCacheHeader(const CacheFrameHeader& header, uint8_t (&bytes)[kCacheHeaderBytes]);
CacheFrameHeader DecodeCacheHeader(const uint8_t (&bytes)[kCacheHeaderBytes]);

// Magic, version and every crop size, taken as unsigned, at most kCacheMaxCropSize.
bool CacheHeaderValid(const CacheFrameHeader& header);
// Values per stored channel: sx*sy*sz when all three sizes are positive, else 0.
uint64_t CacheCropValues(const CacheFrameHeader& header);
// The exact length of a file with this header (call only on a valid header).
uint64_t CacheFileBytes(const CacheFrameHeader& header);

// Writes the frame to `path` through `path`.<pid>.part. False when the header is one the reader would
// refuse, a stored channel does not hold exactly sx*sy*sz values, or any file operation fails; the
// .part file is gone afterwards and an older file at `path` is unchanged. `error` gets the reason
// when it is not the disk running out (see AtomicFile::MayBeOutOfSpace), and stays as it was when
// it may be.
bool WriteCacheFrame(const CacheFrame& frame, const std::string& path, std::string* error = nullptr);

// Reads and validates a whole file. On any failure (missing, wrong magic or version, crop sizes
// out of range, a length that is not exactly what the header declares) `frame` is left empty and
// the result is false. Nothing is allocated before the length has been checked.
bool ReadCacheFrame(const std::string& path, CacheFrame& frame);

// ---- Names and folders -------------------------------------------------------------------------

// folder + "/" (unless empty or already ending in "/" or "\") + base + "_%04d." (or "_m%04d." with
// -frame for negative frames) + ext. Frame 12 -> fire_0012.tfc, -3 -> fire_m0003.tfc.
std::string MakeFramePath(std::string_view folder, std::string_view base, int frame, std::string_view ext);

// Removes every trailing "/" and "\".
std::string StripTrailingSeparators(std::string_view path);

// The domain's cache folder: `cachePath` when not empty, else
// <documents>/TolvarisFire/cache_<cacheId as %016llx>; trailing separators removed.
std::string CacheFolder(std::string_view cachePath, uint64_t cacheId);
// Where bake outputs go: `outPath` when not empty, else <cacheFolder>/out; trailing separators removed.
std::string OutputFolder(std::string_view outPath, std::string_view cacheFolder);

// A new domain's cache id: (counter * 0x9E3779B97F4A7C15) ^ (pid << 40) ^ address, in 64-bit
// unsigned arithmetic. The first form reads the counter and process id from the host.
uint64_t MakeCacheId(const void* address);
uint64_t MakeCacheId(uint64_t counter, uint32_t processId, uint64_t address);
// The cache id of a domain whose scene file saved none: a 64-bit hash of the scene file's
// absolute path and the domain node's handle, so every run on that file finds the same folder.
uint64_t SceneCacheId(std::string_view sceneFilePath, uint32_t nodeHandle);

// Files of `folder` named "fire_*.tfc".
int CountCachedFrames(const std::string& folder);
// Deletes the files of `folder` named base + "_*.tfc"; failures are ignored.
void DeleteCachedFrames(const std::string& folder, std::string_view base);

// Deletes the temporary files of `folder` named base + "_*.part" (what killed writers left);
// only the holder of the folder's writer lock may call it.
void DeleteLeftoverTemporaryFiles(const std::string& folder, std::string_view base);

// One writer at a time for a domain's cache folder and the output folders that go with it: the
// bake, the VDB export, preview images, composites and clearing the cache all take the lock file
// ".bake.lock" in the cache folder (made when missing), hold it while they write and note in it
// who they are (`holder`, "A bake", "A VDB export", ...). While another holds it the result is
// false with "<holder> is writing to <folder> - wait for it to finish or stop it."; with
// `waitSeconds` a holder that is not a bake (an export, a preview: they end by themselves) is
// waited for that long, unless a stop is requested. "Cannot create the cache folder <folder>"
// when the folder cannot be made. The lock goes with `lock`, or with the process when it dies.
inline constexpr const char* kBakeHolder = "A bake";
bool LockCacheFolder(host::FileLock& lock, const std::string& cacheFolder, std::string_view holder,
                     std::string* message, double waitSeconds = 0.0);
// The same lock for a command that only reads the cache and writes outputs under temporary names
// of its own (the VDB export, preview images, composites): such commands run beside each other,
// as the chunks of one export on a render farm do, but never beside a bake or a cache clear.
bool ShareCacheFolder(host::FileLock& lock, const std::string& cacheFolder, std::string_view holder,
                      std::string* message);

// Creates the folder and its missing parents. An empty path fails; an existing path succeeds.
bool EnsureDirectory(const std::string& path);

// "Deleted 3 cached frames." / "Deleted 1 cached frame."
std::string ClearCacheMessage(int count);

}  // namespace tf
