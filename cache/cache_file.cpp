#include "cache/cache_file.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <thread>

#include "host/core/atomic_file.h"
#include "host/core/platform.h"
#include "host/core/status.h"
#include "cache/half.h"

namespace tf {
namespace fs = std::filesystem;

namespace {

// ---- Little-endian fields, independent of the machine's byte order ---------------------------

void PutU32(uint8_t* at, uint32_t v) {
  at[0] = static_cast<uint8_t>(v);
  at[1] = static_cast<uint8_t>(v >> 8);
  at[2] = static_cast<uint8_t>(v >> 16);
  at[3] = static_cast<uint8_t>(v >> 24);
}
void PutI32(uint8_t* at, int32_t v) { PutU32(at, static_cast<uint32_t>(v)); }
void PutF32(uint8_t* at, float v) { PutU32(at, std::bit_cast<uint32_t>(v)); }

uint32_t GetU32(const uint8_t* at) {
  return uint32_t(at[0]) | (uint32_t(at[1]) << 8) | (uint32_t(at[2]) << 16) | (uint32_t(at[3]) << 24);
}
int32_t GetI32(const uint8_t* at) { return static_cast<int32_t>(GetU32(at)); }
float GetF32(const uint8_t* at) { return std::bit_cast<float>(GetU32(at)); }

bool EndsWithSeparator(std::string_view s) { return !s.empty() && (s.back() == '/' || s.back() == '\\'); }

}  // namespace

void CacheFrame::Clear() {
  header = CacheFrameHeader{};
  for (auto& channel : channels) std::vector<float>().swap(channel);  // give the memory back too
}

void EncodeCacheHeader(const CacheFrameHeader& h, uint8_t (&b)[kCacheHeaderBytes]) {
  PutU32(b + 0, h.magic);
  PutU32(b + 4, h.version);
  PutI32(b + 8, h.nx);
  PutI32(b + 12, h.ny);
  PutI32(b + 16, h.nz);
  PutF32(b + 20, h.cellSize);
  PutF32(b + 24, h.cellSizeScene);
  PutI32(b + 28, h.frame);
  for (int a = 0; a < 3; ++a) PutI32(b + 32 + 4 * a, h.cropOrigin[a]);
  for (int a = 0; a < 3; ++a) PutI32(b + 44 + 4 * a, h.cropSize[a]);
  PutU32(b + 56, h.channelMask);
  PutF32(b + 60, h.stepMs);
  PutI32(b + 64, h.pressureIterations);
  PutF32(b + 68, h.maxDivergence);
  for (int c = 0; c < kCacheChannels; ++c) PutF32(b + 72 + 4 * c, h.channelMax[c]);
  std::memcpy(b + 104, h.reserved.data(), h.reserved.size());
}

CacheFrameHeader DecodeCacheHeader(const uint8_t (&b)[kCacheHeaderBytes]) {
  CacheFrameHeader h;
  h.magic = GetU32(b + 0);
  h.version = GetU32(b + 4);
  h.nx = GetI32(b + 8);
  h.ny = GetI32(b + 12);
  h.nz = GetI32(b + 16);
  h.cellSize = GetF32(b + 20);
  h.cellSizeScene = GetF32(b + 24);
  h.frame = GetI32(b + 28);
  for (int a = 0; a < 3; ++a) h.cropOrigin[a] = GetI32(b + 32 + 4 * a);
  for (int a = 0; a < 3; ++a) h.cropSize[a] = GetI32(b + 44 + 4 * a);
  h.channelMask = GetU32(b + 56);
  h.stepMs = GetF32(b + 60);
  h.pressureIterations = GetI32(b + 64);
  h.maxDivergence = GetF32(b + 68);
  for (int c = 0; c < kCacheChannels; ++c) h.channelMax[c] = GetF32(b + 72 + 4 * c);
  std::memcpy(h.reserved.data(), b + 104, h.reserved.size());
  return h;
}

bool CacheHeaderValid(const CacheFrameHeader& h) {
  if (h.magic != kCacheMagic || h.version != kCacheVersion) return false;
  for (int32_t size : h.cropSize)
    if (static_cast<uint32_t>(size) > kCacheMaxCropSize) return false;  // negative sizes wrap high
  return true;
}

uint64_t CacheCropValues(const CacheFrameHeader& h) {
  if (h.cropSize[0] <= 0 || h.cropSize[1] <= 0 || h.cropSize[2] <= 0) return 0;
  return uint64_t(h.cropSize[0]) * uint64_t(h.cropSize[1]) * uint64_t(h.cropSize[2]);
}

uint64_t CacheFileBytes(const CacheFrameHeader& h) {
  // Only the eight defined bits count; at most 8192^3 * 2 * 8 bytes, well inside 64 bits.
  const uint64_t stored = uint64_t(std::popcount(h.channelMask & 0xFFu));
  return kCacheHeaderBytes + 2 * CacheCropValues(h) * stored;
}

bool WriteCacheFrame(const CacheFrame& frame, const std::string& path, std::string* error) {
  const CacheFrameHeader& h = frame.header;
  // Refuse before touching the disk what the reader would refuse or what cannot be written whole.
  if (!CacheHeaderValid(h)) return host::Fail(error, "the frame's header is not one a reader would take");
  const uint64_t n = CacheCropValues(h);
  for (int c = 0; c < kCacheChannels; ++c)
    if (n > 0 && (h.channelMask & (1u << c)) && frame.channels[c].size() != n)
      return host::Fail(error, "the frame's channels do not match its size");

  host::AtomicFile part(path);
  const auto failed = [&] {
    if (!part.MayBeOutOfSpace()) host::SetError(error, part.Error());
    return false;
  };
  if (!part.Open()) return failed();

  uint8_t headerBytes[kCacheHeaderBytes];
  EncodeCacheHeader(h, headerBytes);
  if (!part.Write(headerBytes, sizeof headerBytes)) return failed();

  if (n > 0) {
    // Converted in slices so a large crop does not need a second full-size buffer.
    constexpr size_t kSlice = size_t(1) << 16;
    std::vector<uint8_t> buffer(2 * std::min<uint64_t>(n, kSlice));
    for (int c = 0; c < kCacheChannels; ++c) {
      if (!(h.channelMask & (1u << c))) continue;
      const float* values = frame.channels[c].data();
      for (uint64_t start = 0; start < n; start += kSlice) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(kSlice, n - start));
        for (size_t i = 0; i < count; ++i) {
          const uint16_t half = FloatToHalf(values[start + i]);
          buffer[2 * i] = static_cast<uint8_t>(half);
          buffer[2 * i + 1] = static_cast<uint8_t>(half >> 8);
        }
        if (!part.Write(buffer.data(), 2 * count)) return failed();
      }
    }
  }

  return part.Commit() || failed();
}

bool ReadCacheFrame(const std::string& path, CacheFrame& frame) {
  frame.Clear();
  // Only an ordinary file is a frame: opening a pipe planted under a frame's name would block.
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return false;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  struct Closer {
    std::FILE* f;
    ~Closer() { std::fclose(f); }
  } closer{file};

  // The length of what was opened, not of whatever the name points at by now.
  if (std::fseek(file, 0, SEEK_END) != 0) return false;
  const long end = std::ftell(file);
  if (end < 0 || std::fseek(file, 0, SEEK_SET) != 0) return false;
  const uint64_t length = static_cast<uint64_t>(end);

  uint8_t headerBytes[kCacheHeaderBytes];
  if (std::fread(headerBytes, 1, sizeof headerBytes, file) != sizeof headerBytes) return false;
  const CacheFrameHeader h = DecodeCacheHeader(headerBytes);
  if (!CacheHeaderValid(h)) return false;
  // A header may claim up to terabytes; trust it only when the file really is that long. A longer
  // file is refused as well: the writer never leaves trailing bytes, so they mean damage.
  if (length != CacheFileBytes(h)) return false;

  CacheFrame loaded;
  loaded.header = h;
  const uint64_t n = CacheCropValues(h);
  // A crop of any size with no channel stored has no body: nothing to allocate for it.
  if (n > 0 && (h.channelMask & 0xFFu) != 0) {
    std::vector<uint8_t> raw(static_cast<size_t>(2 * n));
    for (int c = 0; c < kCacheChannels; ++c) {
      if (!(h.channelMask & (1u << c))) continue;
      if (std::fread(raw.data(), 1, raw.size(), file) != raw.size()) return false;  // shrank meanwhile
      std::vector<float>& values = loaded.channels[c];
      values.resize(static_cast<size_t>(n));
      for (size_t i = 0; i < values.size(); ++i)
        values[i] = HalfToFloat(static_cast<uint16_t>(raw[2 * i] | (raw[2 * i + 1] << 8)));
    }
  }
  frame = std::move(loaded);
  return true;
}

// ---- Names and folders -------------------------------------------------------------------------

std::string MakeFramePath(std::string_view folder, std::string_view base, int frame, std::string_view ext) {
  std::string path(folder);
  if (!path.empty() && !EndsWithSeparator(path)) path += '/';
  path += base;
  // Negated in 64 bits: -INT_MIN does not fit an int.
  const long long number = frame < 0 ? -static_cast<long long>(frame) : frame;
  char digits[32];
  std::snprintf(digits, sizeof digits, frame < 0 ? "_m%04lld." : "_%04lld.", number);
  path += digits;
  path += ext;
  return path;
}

std::string StripTrailingSeparators(std::string_view path) {
  while (EndsWithSeparator(path)) path.remove_suffix(1);
  return std::string(path);
}

std::string CacheFolder(std::string_view cachePath, uint64_t cacheId) {
  if (!cachePath.empty()) return StripTrailingSeparators(cachePath);
  char name[32];
  std::snprintf(name, sizeof name, "cache_%016llx", static_cast<unsigned long long>(cacheId));
  const std::string documents = StripTrailingSeparators(host::DocumentsFolder().string());
  return StripTrailingSeparators(documents + "/TolvarisFire/" + name);
}

std::string OutputFolder(std::string_view outPath, std::string_view cacheFolder) {
  if (!outPath.empty()) return StripTrailingSeparators(outPath);
  return StripTrailingSeparators(std::string(cacheFolder) + "/out");
}

uint64_t MakeCacheId(uint64_t counter, uint32_t processId, uint64_t address) {
  return (counter * 0x9E3779B97F4A7C15ull) ^ (uint64_t(processId) << 40) ^ address;
}

uint64_t MakeCacheId(const void* address) {
  return MakeCacheId(host::HighResCounter(), host::ProcessId(),
                     static_cast<uint64_t>(reinterpret_cast<uintptr_t>(address)));
}

uint64_t SceneCacheId(std::string_view sceneFilePath, uint32_t nodeHandle) {
  // FNV-1a over the path's bytes and the handle's, then a final mix so that neighbouring handles
  // differ in every hex digit of the folder name.
  uint64_t h = 0xcbf29ce484222325ull;
  auto mix = [&h](uint8_t byte) { h = (h ^ byte) * 0x100000001b3ull; };
  for (char c : sceneFilePath) mix(static_cast<uint8_t>(c));
  for (int i = 0; i < 4; ++i) mix(static_cast<uint8_t>(nodeHandle >> (8 * i)));
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  return h;
}

int CountCachedFrames(const std::string& folder) {
  return static_cast<int>(host::FindFiles(folder, "fire_*.tfc").size());
}

void DeleteCachedFrames(const std::string& folder, std::string_view base) {
  const std::string pattern = std::string(base) + "_*.tfc";
  for (const fs::path& file : host::FindFiles(folder, pattern)) host::DeleteFile(file);
}

void DeleteLeftoverTemporaryFiles(const std::string& folder, std::string_view base) {
  const std::string pattern = std::string(base) + "_*.part";
  for (const fs::path& file : host::FindFiles(folder, pattern)) host::DeleteFile(file);
}

namespace {

bool TakeCacheFolder(host::FileLock& lock, const std::string& cacheFolder, std::string_view holder,
                     std::string* message, double waitSeconds, bool shared) {
  if (!EnsureDirectory(cacheFolder)) return host::Fail(message, "Cannot create the cache folder " + cacheFolder);
  const fs::path file = fs::path(cacheFolder) / ".bake.lock";
  const double until = host::HighResSeconds() + waitSeconds;
  std::string other;
  while (!lock.TryLock(file, shared)) {
    // Who holds it; a holder that has not said yet (or an older program) is taken for a bake.
    std::ifstream in(file, std::ios::binary);
    std::getline(in, other);
    if (other.empty() || other.size() > 64) other = kBakeHolder;
    if (other == kBakeHolder || host::StopRequested() || host::HighResSeconds() >= until)
      return host::Fail(message, other + " is writing to " + cacheFolder + " - wait for it to finish or stop it.");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  lock.Note(holder);
  return true;
}

}  // namespace

bool LockCacheFolder(host::FileLock& lock, const std::string& cacheFolder, std::string_view holder,
                     std::string* message, double waitSeconds) {
  return TakeCacheFolder(lock, cacheFolder, holder, message, waitSeconds, false);
}

bool ShareCacheFolder(host::FileLock& lock, const std::string& cacheFolder, std::string_view holder,
                      std::string* message) {
  return TakeCacheFolder(lock, cacheFolder, holder, message, 0.0, true);
}

bool EnsureDirectory(const std::string& path) {
  if (path.empty()) return false;
  std::error_code ec;
  if (fs::exists(path, ec)) return true;
  // Parents first. A separator at position 0 is the root, which is never created.
  const size_t cut = path.find_last_of('/');
  if (cut != std::string::npos && cut > 0) EnsureDirectory(path.substr(0, cut));
  if (fs::create_directory(path, ec)) return true;
  return fs::is_directory(path, ec);
}

std::string ClearCacheMessage(int count) {
  return "Deleted " + std::to_string(count) + " cached frame" + (count == 1 ? "" : "s") + ".";
}

}  // namespace tf
