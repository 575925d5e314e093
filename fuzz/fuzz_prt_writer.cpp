// The PRT writer fed small cache frames and random render settings: the file is read back by a
// strict reader of its own (magic, header, channel definitions, stored deflate blocks and the
// Adler-32 sum) and must hold one record per particle of every visible cell, with the frame's
// density, temperature and velocity and each position inside its cell.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_frame.h"
#include "export/prt_writer.h"
#include "export/vdb_export.h"
#include "io/zlib_stored.h"

namespace {

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz_prt_writer: %s\n", what);
  std::abort();
}

int32_t I32(const uint8_t* p) {
  return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
}
float F32(const uint8_t* p) {
  const uint32_t u = uint32_t(I32(p));
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}
bool SameFloat(float a, float b) { return a == b || (std::isnan(a) && std::isnan(b)); }

// The records of a PRT file; checks everything before them on the way.
std::vector<uint8_t> Decode(const std::vector<uint8_t>& file, int64_t& count, int& channels) {
  static const uint8_t kMagic[8] = {0xC0, 'P', 'R', 'T', 0x0D, 0x0A, 0x1A, 0x0A};
  Check(file.size() >= 68 && std::memcmp(file.data(), kMagic, 8) == 0, "magic");
  Check(I32(&file[8]) == 56, "header length");
  char signature[33] = {};
  std::memcpy(signature, &file[12], 32);
  Check(std::strcmp(signature, "Extensible Particle Format") == 0, "signature");
  for (size_t k = std::strlen(signature); k < 32; ++k) Check(signature[k] == 0, "signature padded with zeros");
  Check(I32(&file[44]) == 1, "version");
  std::memcpy(&count, &file[48], 8);
  Check(count >= 0, "particle count");
  Check(I32(&file[56]) == 4, "reserved field");
  channels = I32(&file[60]);
  Check(channels == 5 || channels == 6, "channel count");
  Check(I32(&file[64]) == 44, "channel definition length");
  static const char* const kNames[6] = {"Position", "Density", "Temperature", "Emission", "Color", "Velocity"};
  static const int32_t kArity[6] = {3, 1, 1, 3, 3, 3};
  size_t at = 68;
  int32_t offset = 0;
  for (int c = 0; c < channels; ++c) {
    Check(file.size() - at >= 44, "channel definitions");
    char name[33] = {};
    std::memcpy(name, &file[at], 32);
    Check(std::strcmp(name, kNames[c]) == 0, "channel name");
    Check(I32(&file[at + 32]) == 4 && I32(&file[at + 36]) == kArity[c] && I32(&file[at + 40]) == offset,
          "channel type, arity and offset");
    offset += kArity[c] * 4;
    at += 44;
  }
  // The zlib stream: a header, stored blocks to the last one, the Adler-32 sum, and nothing after.
  Check(file.size() - at >= 2 + 5 + 4, "zlib stream");
  Check(((unsigned(file[at]) << 8) | file[at + 1]) % 31 == 0 && (file[at] & 0x0F) == 8, "zlib header");
  size_t z = at + 2;
  std::vector<uint8_t> raw;
  for (bool last = false; !last;) {
    Check(file.size() - z >= 5, "a stored block header");
    last = (file[z] & 1) != 0;
    Check((file[z] >> 1 & 3) == 0, "stored blocks only");
    const uint16_t len = uint16_t(file[z + 1] | file[z + 2] << 8);
    const uint16_t nlen = uint16_t(file[z + 3] | file[z + 4] << 8);
    Check(uint16_t(~len) == nlen && file.size() - z - 5 >= len, "block length");
    raw.insert(raw.end(), &file[z + 5], &file[z + 5] + len);
    z += 5 + size_t(len);
  }
  Check(file.size() - z == 4, "the Adler-32 sum ends the file");
  const uint32_t adler = uint32_t(file[z]) << 24 | uint32_t(file[z + 1]) << 16 | uint32_t(file[z + 2]) << 8 | file[z + 3];
  Check(tf::Adler32(raw.data(), raw.size()) == adler, "Adler-32");
  return raw;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tf::CacheFrame frame;
  uint8_t flags = 0;
  if (!tf::fuzz::MakeFrame(data, size, frame, flags)) return 0;
  const int32_t perCell = 1 + (flags >> 2) % 4;
  tf::RenderSettings settings;
  settings.fireTempScale = 0.25f * float(1 + data[29] % 16);
  settings.fireIntensity = 0.25f * float(data[30] % 16);
  settings.smokeColor = {data[31] / 255.0f, 0.5f, 0.25f};
  const tf::DomainGrid grid = tf::DomainGridOfFrame(frame);
  std::vector<uint8_t> file;
  std::string error;
  if (!tf::EncodePrtFrame(frame, grid, perCell, settings, file, &error)) {
    Check(!error.empty(), "a refusal says why");
    return 0;
  }
  int64_t count = 0;
  int channels = 0;
  const std::vector<uint8_t> raw = Decode(file, count, channels);
  const bool velocity = !frame.channels[tf::kChannelVelX].empty();
  Check(channels == (velocity ? 6 : 5), "Velocity exactly when the frame has it");
  const size_t record = velocity ? 56 : 44;
  Check(raw.size() == size_t(count) * record, "one record per particle");

  const tf::CacheFrameHeader& h = frame.header;
  const auto& density = frame.channels[tf::kChannelDensity];
  const auto& temperature = frame.channels[tf::kChannelTemperature];
  const float cell = h.cellSizeScene;
  const float origin[3] = {grid.originX, grid.originY, grid.originZ};
  size_t next = 0;
  for (int32_t z = 0; z < h.cropSize[2]; ++z)
    for (int32_t y = 0; y < h.cropSize[1]; ++y)
      for (int32_t x = 0; x < h.cropSize[0]; ++x) {
        const size_t i = size_t(x) + size_t(h.cropSize[0]) * (size_t(y) + size_t(h.cropSize[1]) * size_t(z));
        const float d = density.empty() ? 0.0f : density[i];
        const float tau = temperature.empty() ? 0.0f : temperature[i] * settings.fireTempScale;
        if (!(d >= 0.001f) && !(tau >= 0.15f)) continue;
        const int64_t cellPos[3] = {int64_t(h.cropOrigin[0]) + x, int64_t(h.cropOrigin[1]) + y,
                                    int64_t(h.cropOrigin[2]) + z};
        for (int32_t p = 0; p < perCell; ++p, ++next) {
          Check(next < size_t(count), "no visible cell is left out");
          const uint8_t* r = &raw[next * record];
          for (int a = 0; a < 3; ++a) {
            const float pos = F32(r + 4 * a);
            // Inside the cell, allowing for float rounding. Positions are floats: far from the
            // origin (a damaged header's crop) a cell index keeps no fraction, so only cells within
            // 2^16 of it are checked, as are only cell sizes a real grid has. A position the
            // float range does not hold refuses the frame instead.
            Check(std::isfinite(pos), "a finite position");
            const double low = double(cellPos[a]) * cell + origin[a], high = low + cell;
            const double slack = 0.01 * cell + 1e-5 * (std::fabs(low) + std::fabs(high));
            if (std::fabs(low) < 1e30 && std::fabs(high) < 1e30 && cell > 1e-3f && std::llabs(cellPos[a]) < (1 << 16))
              Check(pos >= low - slack && pos <= high + slack, "position inside its cell");
          }
          Check(SameFloat(F32(r + 12), d / float(perCell)), "density shared among the cell's particles");
          Check(SameFloat(F32(r + 16), tau * 1000.0f + 300.0f), "temperature in kelvin");
          Check(F32(r + 32) == settings.smokeColor.x && F32(r + 36) == 0.5f && F32(r + 40) == 0.25f, "smoke colour");
          if (velocity) {
            for (int a = 0; a < 3; ++a) {
              const auto& channel = frame.channels[size_t(tf::kChannelVelX + a)];
              Check(SameFloat(F32(r + 44 + 4 * a), channel.empty() ? 0.0f : channel[i]), "velocity");
            }
          }
        }
      }
  Check(next == size_t(count), "no particle without a visible cell");
  return 0;
}
