// Writes the PRT files that check_prt.py reads back with its own parser. The frames are made
// from simple formulas that the script repeats, so it can predict every particle by itself.
//
//   tfr_prt_samples <folder>   writes basic.prt, jitter_a.prt, jitter_b.prt, jitter_next.prt,
//                              empty.prt and no_temperature.prt
#include <cstdio>
#include <string>

#include "export/prt_writer.h"

namespace {

constexpr float kDensity[6] = {0.0f, 0.0005f, 0.002f, 0.5f, 1.25f, 0.0f};
constexpr float kTemperature[7] = {0.0f, 0.1f, 0.16f, 1.2f, 0.5f, 2.0f, 5.0f};

tf::CacheFrame Frame(int number, bool velocity, bool temperature, bool empty) {
  tf::CacheFrame f;
  tf::CacheFrameHeader& h = f.header;
  h.nx = 10, h.ny = 8, h.nz = 6;
  h.cellSize = 0.05f;
  h.cellSizeScene = 2.0f;
  h.frame = number;
  h.channelMask = tf::kCacheAlwaysMask | (velocity ? 0x70u : 0u);
  if (empty) return f;
  h.cropOrigin = {2, 1, 3};
  h.cropSize = {3, 2, 2};
  const size_t n = 12;
  f.channels[tf::kChannelDensity].resize(n);
  if (temperature) f.channels[tf::kChannelTemperature].resize(n);
  for (size_t i = 0; i < n; ++i) {
    f.channels[tf::kChannelDensity][i] = kDensity[i % 6];
    if (temperature) f.channels[tf::kChannelTemperature][i] = kTemperature[i % 7];
  }
  if (velocity)
    for (int c = 0; c < 3; ++c) {
      f.channels[size_t(tf::kChannelVelX + c)].resize(n);
      for (size_t i = 0; i < n; ++i) {
        const float v = float(i);
        f.channels[size_t(tf::kChannelVelX + c)][i] = c == 0 ? 0.1f * v : c == 1 ? -0.2f * v : 1.0f + v;
      }
    }
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: tfr_prt_samples <folder>\n");
    return 2;
  }
  const std::string dir = argv[1];
  tf::DomainGrid grid;
  grid.nx = 10, grid.ny = 8, grid.nz = 6;
  grid.cellSize = 2.0f;
  grid.originX = -10.0f, grid.originY = -8.0f, grid.originZ = 0.0f;
  tf::RenderSettings s;
  s.fireTint = tf::Vec3f{1.0f, 0.9f, 0.8f};
  s.fireTempScale = 1.1f;
  s.fireIntensity = 1.5f;
  struct Job {
    const char* name;
    tf::CacheFrame frame;
    int perCell;
  };
  const Job jobs[] = {
      {"basic.prt", Frame(5, false, true, false), 1},
      {"jitter_a.prt", Frame(5, true, true, false), 3},
      {"jitter_b.prt", Frame(5, true, true, false), 3},
      {"jitter_next.prt", Frame(6, true, true, false), 3},
      {"empty.prt", Frame(7, false, true, true), 2},
      {"no_temperature.prt", Frame(-2, false, false, false), 1},
  };
  for (const Job& job : jobs) {
    std::string error;
    if (!tf::WritePrtFrame(job.frame, grid, dir + "/" + job.name, job.perCell, s, &error)) {
      std::fprintf(stderr, "%s: %s\n", job.name, error.c_str());
      return 1;
    }
  }
  return 0;
}
