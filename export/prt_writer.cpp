// PRT files from cache frames.
#include "export/prt_writer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <system_error>

#include "host/core/atomic_file.h"
#include "host/core/status.h"
#include "io/zlib_stored.h"

namespace tf {

namespace {

constexpr uint8_t kPrtMagic[8] = {0xC0, 0x50, 0x52, 0x54, 0x0D, 0x0A, 0x1A, 0x0A};
constexpr int32_t kPrtHeaderLength = 56;
constexpr int32_t kPrtVersion = 1;
constexpr int32_t kPrtChannelDefLength = 44;
constexpr int32_t kPrtFloat32 = 4;

void PutBytes(std::vector<uint8_t>& out, const void* p, size_t n) {
  const auto* b = static_cast<const uint8_t*>(p);
  out.insert(out.end(), b, b + n);
}

// Little-endian integers, byte by byte, whatever the machine.
void PutI32(std::vector<uint8_t>& out, int32_t v) {
  const uint32_t u = uint32_t(v);
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(u >> (8 * i)));
}
void PutI64(std::vector<uint8_t>& out, int64_t v) {
  const uint64_t u = uint64_t(v);
  for (int i = 0; i < 8; ++i) out.push_back(uint8_t(u >> (8 * i)));
}
void PutName(std::vector<uint8_t>& out, const char* name) {
  char field[32] = {};
  std::strncpy(field, name, sizeof field - 1);
  PutBytes(out, field, sizeof field);
}

uint32_t NextSeed(uint32_t s) { return s * 1664525u + 1013904223u; }

void PutFloatLE(std::vector<uint8_t>& out, float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(u >> (8 * i)));
}

}  // namespace

namespace {

// The particles of every cell with smoke or fire, `n` a cell, as little-endian records of 14
// floats (11 without velocity); false, with `error` set, when a position is not a finite number.
bool AppendParticles(const CacheFrame& frame, const DomainGrid& grid, int32_t n, const RenderSettings& settings,
                     std::vector<uint8_t>& records, int64_t& count, std::string* error) {
  const CacheFrameHeader& h = frame.header;
  const auto& density = frame.channels[kChannelDensity];
  const auto& temperature = frame.channels[kChannelTemperature];
  const bool velocity = !frame.channels[kChannelVelX].empty();
  const int floatsPer = velocity ? 14 : 11;
  const FireColorTable table = MakeFireColorTable(settings.fireTint);
  const float h3 = h.cellSizeScene;
  const bool cells = CacheCropValues(h) > 0;
  const int32_t sx = cells ? h.cropSize[0] : 0, sy = cells ? h.cropSize[1] : 0, sz = cells ? h.cropSize[2] : 0;
  uint32_t seed = uint32_t(h.frame) * 7919u + 12345u;
  for (int32_t z = 0; z < sz; ++z)
    for (int32_t y = 0; y < sy; ++y)
      for (int32_t x = 0; x < sx; ++x) {
        const size_t i = size_t(x) + size_t(sx) * (size_t(y) + size_t(sy) * size_t(z));
        const float d = density.empty() ? 0.0f : density[i];
        const float tau = temperature.empty() ? 0.0f : temperature[i] * settings.fireTempScale;
        if (!(d >= 0.001f) && !(tau >= 0.15f)) continue;
        const float kelvin = tau * 1000.0f + 300.0f;
        Vec3f colour;
        float strength;
        FireColorAtKelvin(table, kelvin, colour, strength);
        strength *= settings.fireIntensity;
        // Velocity comes with channel x; a missing y or z channel reads as 0.
        auto velocityAt = [&](int c) {
          const auto& channel = frame.channels[size_t(c)];
          return velocity && !channel.empty() ? channel[i] : 0.0f;
        };
        const float vel[3] = {velocityAt(kChannelVelX), velocityAt(kChannelVelY), velocityAt(kChannelVelZ)};
        for (int32_t p = 0; p < n; ++p) {
          float off[3] = {0.5f, 0.5f, 0.5f};
          if (n >= 2)
            for (float& o : off) {
              seed = NextSeed(seed);
              o = float(seed >> 8) / 16777216.0f;
            }
          // In 64 bits: a damaged header may put the crop anywhere in the 32-bit range.
          const float pos[3] = {(float(int64_t(h.cropOrigin[0]) + x) + off[0]) * h3 + grid.originX,
                                (float(int64_t(h.cropOrigin[1]) + y) + off[1]) * h3 + grid.originY,
                                (float(int64_t(h.cropOrigin[2]) + z) + off[2]) * h3 + grid.originZ};
          // A damaged header's cell size near the float limit, or a grid placed beyond it, puts
          // particles at no place a reader could use.
          if (!std::isfinite(pos[0]) || !std::isfinite(pos[1]) || !std::isfinite(pos[2]))
            return host::Fail(error, "particle position is not a finite number");
          const float rec[14] = {pos[0], pos[1], pos[2], d / float(n), kelvin, colour.x * strength,
                                 colour.y * strength, colour.z * strength, settings.smokeColor.x,
                                 settings.smokeColor.y, settings.smokeColor.z, vel[0], vel[1], vel[2]};
          for (int k = 0; k < floatsPer; ++k) PutFloatLE(records, rec[k]);
          ++count;
        }
      }
  return true;
}

// The file's header and channel table: position, density, temperature, emission and colour, and
// velocity when the records carry it.
void PutPrtHeader(std::vector<uint8_t>& file, int64_t count, bool velocity) {
  PutBytes(file, kPrtMagic, sizeof kPrtMagic);
  PutI32(file, kPrtHeaderLength);
  PutName(file, "Extensible Particle Format");
  PutI32(file, kPrtVersion);
  PutI64(file, count);
  PutI32(file, 4);
  PutI32(file, velocity ? 6 : 5);
  PutI32(file, kPrtChannelDefLength);
  struct Channel {
    const char* name;
    int32_t arity;
  };
  const Channel channels[6] = {{"Position", 3}, {"Density", 1}, {"Temperature", 1},
                               {"Emission", 3}, {"Color", 3},   {"Velocity", 3}};
  int32_t offset = 0;
  for (int c = 0; c < (velocity ? 6 : 5); ++c) {
    PutName(file, channels[c].name);
    PutI32(file, kPrtFloat32);
    PutI32(file, channels[c].arity);
    PutI32(file, offset);
    offset += channels[c].arity * 4;
  }
}

}  // namespace

bool EncodePrtFrame(const CacheFrame& frame, const DomainGrid& grid, int32_t particlesPerCell,
                    const RenderSettings& settings, std::vector<uint8_t>& file, std::string* error) {
  file.clear();
  // Values per stored channel; a crop with any size below 1 holds none.
  const uint64_t cells = CacheCropValues(frame.header);
  for (const auto& channel : frame.channels)
    if (!channel.empty() && channel.size() != cells)
      return host::Fail(error, "the frame's channels do not match its size");
  try {
    std::vector<uint8_t> records;
    int64_t count = 0;
    if (!AppendParticles(frame, grid, std::max(particlesPerCell, 1), settings, records, count, error)) return false;
    file.reserve(8 + 4 + 32 + 4 + 8 + 4 + 4 + 4 + 6 * 44 + ZlibStoredSize(records.size()));
    PutPrtHeader(file, count, !frame.channels[kChannelVelX].empty());
    AppendZlibStored(file, records.data(), records.size());
  } catch (const std::bad_alloc&) {
    file.clear();
    return host::Fail(error, "out of memory for the particles");
  } catch (const std::length_error&) {
    file.clear();
    return host::Fail(error, "out of memory for the particles");
  }
  return true;
}

bool WritePrtFrame(const CacheFrame& frame, const DomainGrid& grid, const std::filesystem::path& path,
                   int32_t particlesPerCell, const RenderSettings& settings, std::string* error) {
  std::vector<uint8_t> bytes;
  if (!EncodePrtFrame(frame, grid, particlesPerCell, settings, bytes, error)) return false;
  host::AtomicFile file(path);
  if (!file.Open()) return host::Fail(error, "cannot create " + path.string());
  if (!file.Write(bytes.data(), bytes.size()) || !file.Commit())
    return host::Fail(error, file.MayBeOutOfSpace() ? "write failed (disk full?)" : "write failed: " + file.Error());
  return true;
}

}  // namespace tf
