// Compares two bakes of one scene frame by frame, as the GPU check does with a bake on the GPU and
// the same bake on the CPU. The two devices round differently (fused multiply-adds, the order of
// the pressure solve's sums), and a fire amplifies small differences, so the bakes are not
// expected to match bit for bit; they must hold the same fire: per channel, the same totals and
// nearly the same values cell by cell.
#pragma once

#include <string>
#include <vector>

#include "cache/cache_file.h"

namespace tf::gpucheck {

struct BakeTolerance {
  // |sum A - sum B| / max(sum A, sum B), for the channels that never go negative.
  double total = 0.03;
  // sum |a - b| / max(sum |a|, sum |b|) over the whole grid, for every channel.
  double field = 0.15;
};

struct FrameDifference {
  int frame = 0;
  double total = 0.0, field = 0.0;  // the largest over the channels
  int totalChannel = -1, fieldChannel = -1;
  std::string problem;  // set when the frames cannot be compared at all (grid, channels)
};

struct BakeComparison {
  std::vector<FrameDifference> frames;
  std::string problem;  // a bake that is missing, unreadable or holds other frames than the other
  bool Within(const BakeTolerance& tolerance) const;
};

FrameDifference CompareFrames(const CacheFrame& a, const CacheFrame& b);
// Every cache frame file (fire_*.tfc) of the two folders.
BakeComparison CompareBakes(const std::string& folderA, const std::string& folderB);

const char* ChannelName(int channel);

}  // namespace tf::gpucheck
