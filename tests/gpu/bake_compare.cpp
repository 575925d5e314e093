#include "tests/gpu/bake_compare.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <set>

namespace tf::gpucheck {
namespace {

// The channel's values over the whole grid, zero outside the frame's crop.
std::vector<float> Placed(const CacheFrame& f, int channel) {
  const CacheFrameHeader& h = f.header;
  const size_t nx = size_t(h.nx), ny = size_t(h.ny), nz = size_t(h.nz);
  std::vector<float> grid(nx * ny * nz, 0.0f);
  const std::vector<float>& crop = f.channels[size_t(channel)];
  if (crop.empty()) return grid;
  const size_t sx = size_t(h.cropSize[0]), sy = size_t(h.cropSize[1]), sz = size_t(h.cropSize[2]);
  for (size_t z = 0; z < sz; ++z)
    for (size_t y = 0; y < sy; ++y)
      for (size_t x = 0; x < sx; ++x) {
        const size_t gx = x + size_t(h.cropOrigin[0]), gy = y + size_t(h.cropOrigin[1]), gz = z + size_t(h.cropOrigin[2]);
        if (gx < nx && gy < ny && gz < nz) grid[gx + nx * (gy + ny * gz)] = crop[x + sx * (y + sy * z)];
      }
  return grid;
}

bool NeverNegative(int channel) {
  return channel != kChannelVelX && channel != kChannelVelY && channel != kChannelVelZ;
}

double Ratio(double difference, double scale) { return scale > 1e-12 ? difference / scale : 0.0; }

}  // namespace

const char* ChannelName(int channel) {
  static const char* const names[kCacheChannels] = {"density", "temperature", "flame", "fuel",
                                                    "velocity x", "velocity y", "velocity z", "dust"};
  return channel >= 0 && channel < kCacheChannels ? names[channel] : "-";
}

FrameDifference CompareFrames(const CacheFrame& a, const CacheFrame& b) {
  FrameDifference d;
  d.frame = a.header.frame;
  const CacheFrameHeader &ha = a.header, &hb = b.header;
  if (ha.nx != hb.nx || ha.ny != hb.ny || ha.nz != hb.nz) {
    d.problem = "grids differ";
    return d;
  }
  if (ha.channelMask != hb.channelMask) {
    d.problem = "stored channels differ";
    return d;
  }
  for (int c = 0; c < kCacheChannels; ++c) {
    if (!(ha.channelMask & (1u << c))) continue;
    const std::vector<float> va = Placed(a, c), vb = Placed(b, c);
    double sumA = 0, sumB = 0, absA = 0, absB = 0, diff = 0;
    for (size_t i = 0; i < va.size(); ++i) {
      sumA += va[i], sumB += vb[i];
      absA += std::fabs(va[i]), absB += std::fabs(vb[i]);
      diff += std::fabs(double(va[i]) - double(vb[i]));
    }
    const double field = Ratio(diff, std::max(absA, absB));
    if (field > d.field) d.field = field, d.fieldChannel = c;
    if (NeverNegative(c)) {
      const double total = Ratio(std::fabs(sumA - sumB), std::max(std::fabs(sumA), std::fabs(sumB)));
      if (total > d.total) d.total = total, d.totalChannel = c;
    }
  }
  return d;
}

bool BakeComparison::Within(const BakeTolerance& tolerance) const {
  if (!problem.empty() || frames.empty()) return false;
  return std::all_of(frames.begin(), frames.end(), [&](const FrameDifference& d) {
    return d.problem.empty() && d.total <= tolerance.total && d.field <= tolerance.field;
  });
}

BakeComparison CompareBakes(const std::string& folderA, const std::string& folderB) {
  namespace fs = std::filesystem;
  BakeComparison result;
  auto frameFiles = [&](const std::string& folder, std::set<std::string>& names) {
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(folder, ec)) {
      const std::string name = e.path().filename().string();
      if (name.starts_with("fire_") && name.ends_with(".tfc")) names.insert(name);
    }
    if (ec) result.problem = "cannot read " + folder + ": " + ec.message();
    else if (names.empty()) result.problem = "no cache frames in " + folder;
  };
  std::set<std::string> namesA, namesB;
  frameFiles(folderA, namesA);
  if (result.problem.empty()) frameFiles(folderB, namesB);
  if (!result.problem.empty()) return result;
  if (namesA != namesB) {
    result.problem = "the bakes hold different frames (" + std::to_string(namesA.size()) + " and " +
                     std::to_string(namesB.size()) + " files)";
    return result;
  }
  for (const std::string& name : namesA) {
    CacheFrame a, b;
    if (!ReadCacheFrame((fs::path(folderA) / name).string(), a) || !ReadCacheFrame((fs::path(folderB) / name).string(), b)) {
      result.problem = "cannot read " + name;
      return result;
    }
    result.frames.push_back(CompareFrames(a, b));
  }
  return result;
}

}  // namespace tf::gpucheck
