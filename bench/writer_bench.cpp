// Our file writers side by side with the libraries they stand in for, in one run:
//  - WriteVdbFile against the OpenVDB library's writer (default settings, active-mask only like
//    ours, and no compression at all) on one sparse 256^3 frame: a noisy plume column;
//  - EncodePng / WritePng against libpng at compression level 0 on a 1920 x 1080 image.
// Times are the median of several runs; the machines are shared, so read the ratios.
//
//   tfr_bench_writers [runs]
#include <openvdb/io/File.h>
#include <openvdb/openvdb.h>
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "io/png_writer.h"
#include "io/vdb_writer.h"

namespace {

namespace fs = std::filesystem;

double MedianMs(int runs, const std::function<void()>& body) {
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    body();
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

uint32_t Hash(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return x;
}

// A plume: a column around the grid's vertical axis that widens with height, density falling off
// towards its edge, with cell noise; a third of the column's rim stays below the threshold.
std::vector<float> MakePlume(int n) {
  std::vector<float> v(static_cast<size_t>(n) * n * n, 0.0f);
  const float c = 0.5f * float(n);
  for (int z = 0; z < n; ++z) {
    const float radius = float(n) * (0.10f + 0.12f * float(z) / float(n));
    for (int y = 0; y < n; ++y) {
      for (int x = 0; x < n; ++x) {
        const float d = std::hypot(float(x) - c, float(y) - c);
        if (d >= radius) continue;
        const size_t i = static_cast<size_t>(x) + static_cast<size_t>(n) * (static_cast<size_t>(y) + static_cast<size_t>(n) * z);
        const float noise = float(Hash(static_cast<uint32_t>(i)) & 0xffff) / 65535.0f;
        v[i] = (1.0f - d / radius) * (0.2f + noise);
      }
    }
  }
  return v;
}

double Mb(uintmax_t bytes) { return double(bytes) / 1048576.0; }

bool LibpngWrite(const fs::path& path, const uint8_t* rgb, int w, int h) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
    return false;
  }
  png_init_io(png, f);
  png_set_compression_level(png, 0);
  png_set_filter(png, 0, PNG_FILTER_NONE);
  png_set_IHDR(png, info, static_cast<png_uint_32>(w), static_cast<png_uint_32>(h), 8, PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < h; ++y) png_write_row(png, rgb + static_cast<size_t>(y) * w * 3);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return std::fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 5;
  if (argc > 2 || runs < 1) {
    std::fprintf(stderr, "usage: tfr_bench_writers [runs]\n");
    return 2;
  }
  std::string pattern = (fs::temp_directory_path() / "tfr_bench_XXXXXX").string();
  if (!mkdtemp(pattern.data())) {
    std::fprintf(stderr, "cannot create a temporary folder\n");
    return 1;
  }
  const fs::path dir = pattern;
  openvdb::initialize();

  // ---- VDB ----
  constexpr int n = 256;
  constexpr float threshold = 1e-4f;
  constexpr double h = 0.5;
  const std::vector<float> plume = MakePlume(n);
  tf::VdbGridInput input;
  input.name = "density";
  input.values = plume.data();
  input.nx = input.ny = input.nz = n;
  input.ox = -n / 2, input.oy = -n / 2, input.oz = 0;
  input.threshold = threshold;
  tf::VdbTransform xf;
  xf.voxelSize = h;
  xf.translation = {h / 2, h / 2, h / 2};

  const fs::path ours = dir / "ours.vdb";
  tf::VdbWriteResult result;
  const double oursMs = MedianMs(runs, [&] { result = tf::WriteVdbFile(ours, {input}, xf); });
  if (!result.ok) {
    std::fprintf(stderr, "WriteVdbFile failed: %s\n", result.message.c_str());
    return 1;
  }
  std::vector<uint8_t> buffer;
  int64_t active = 0;
  std::string error;
  const double encodeMs = MedianMs(runs, [&] { tf::EncodeVdbFile({input}, xf, tf::MakeVdbUuid(), buffer, active, &error); });
  const double treeMs = MedianMs(runs, [&] {
    tf::VdbTree tree;
    tf::BuildVdbTree(input, tree);
  });

  // The library's grid from the same dense data (building it is timed apart from writing it).
  openvdb::FloatGrid::Ptr grid;
  const double buildMs = MedianMs(runs, [&] {
    grid = openvdb::FloatGrid::create(0.0f);
    // The library's dense layouts are z fastest; ours is x fastest: fill through an accessor.
    auto acc = grid->getAccessor();
    for (int z = 0; z < n; ++z)
      for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
          const float v = plume[static_cast<size_t>(x) + n * (static_cast<size_t>(y) + static_cast<size_t>(n) * z)];
          if (std::fabs(v) > threshold) acc.setValue(openvdb::Coord(x - n / 2, y - n / 2, z), v);
        }
  });
  grid->setName("density");
  grid->setGridClass(openvdb::GRID_FOG_VOLUME);
  grid->setTransform(openvdb::math::Transform::createLinearTransform(h));
  grid->transform().postTranslate(openvdb::Vec3d(h / 2, h / 2, h / 2));

  struct LibCase {
    const char* label;
    bool setFlags;
    uint32_t flags;
  };
  const LibCase cases[] = {
      {"library, default settings", false, 0},
      {"library, active-mask only (as ours)", true, openvdb::io::COMPRESS_ACTIVE_MASK},
      {"library, no compression", true, openvdb::io::COMPRESS_NONE},
  };

  std::printf("VDB: 256^3 grid, %lld active voxels (%.1f%% of the cells), %d runs, median\n",
              static_cast<long long>(result.activeVoxels), 100.0 * double(result.activeVoxels) / (double(n) * n * n), runs);
  std::printf("  %-40s %9.1f ms  %8.2f MB\n", "ours, dense to file (WriteVdbFile)", oursMs, Mb(fs::file_size(ours)));
  std::printf("  %-40s %9.1f ms\n", "ours, dense to buffer (EncodeVdbFile)", encodeMs);
  std::printf("  %-40s %9.1f ms\n", "ours, dense to tree (BuildVdbTree)", treeMs);
  std::printf("  %-40s %9.1f ms\n", "library, dense to grid (accessor)", buildMs);
  for (const LibCase& c : cases) {
    const fs::path file = dir / "lib.vdb";
    uint32_t used = 0;
    const double ms = MedianMs(runs, [&] {
      openvdb::io::File f(file.string());
      if (c.setFlags) f.setCompression(c.flags);
      used = f.compression();
      f.write(openvdb::GridPtrVec{grid});
      f.close();
    });
    std::printf("  %-40s %9.1f ms  %8.2f MB  (flags %u; ours takes %.2fx its time, %.2fx with its grid build)\n",
                c.label, ms, Mb(fs::file_size(file)), used, oursMs / ms, oursMs / (ms + buildMs));
  }
  // Our file through the library's reader, as a check that the two agree.
  {
    openvdb::io::File f(ours.string());
    f.open();
    auto back = openvdb::gridPtrCast<openvdb::FloatGrid>(f.readGrid("density"));
    f.close();
    std::printf("  library reads our file: %llu active voxels (library's own grid: %llu)\n",
                static_cast<unsigned long long>(back->activeVoxelCount()),
                static_cast<unsigned long long>(grid->activeVoxelCount()));
  }

  // ---- PNG ----
  constexpr int w = 1920, hh = 1080;
  std::vector<uint8_t> rgb(static_cast<size_t>(w) * hh * 3);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>((i / 3 % w) * 255 / w + (Hash(uint32_t(i)) & 15));
  std::vector<uint8_t> encoded;
  const double encMs = MedianMs(runs, [&] { encoded = tf::EncodePng(rgb.data(), w, hh); });
  const fs::path ourPng = dir / "ours.png", libPng = dir / "lib.png";
  bool ok = true;
  const double ourPngMs = MedianMs(runs, [&] { ok = tf::WritePng(ourPng, rgb.data(), w, hh) && ok; });
  const double libPngMs = MedianMs(runs, [&] { ok = LibpngWrite(libPng, rgb.data(), w, hh) && ok; });
  if (!ok) {
    std::fprintf(stderr, "a PNG write failed\n");
    return 1;
  }
  std::printf("PNG: 1920 x 1080 RGB, %d runs, median\n", runs);
  std::printf("  %-40s %9.1f ms  %8.2f MB\n", "ours, EncodePng (memory)", encMs, Mb(encoded.size()));
  std::printf("  %-40s %9.1f ms  %8.2f MB\n", "ours, WritePng", ourPngMs, Mb(fs::file_size(ourPng)));
  std::printf("  %-40s %9.1f ms  %8.2f MB  (ours takes %.2fx its time)\n", "libpng, compression level 0", libPngMs,
              Mb(fs::file_size(libPng)), ourPngMs / libPngMs);

  std::error_code ec;
  fs::remove_all(dir, ec);
  return 0;
}
