// The VDB writer fed small cache frames, as export-vdb feeds it frames read from disk: the file it
// builds is read back with the real OpenVDB library where the fuzz build has it (libopenvdb-dev),
// and must hold exactly the grids, names, transform and active voxels the frame gives. Without the
// library only the file's header, grid count and active voxel count are checked.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_frame.h"
#include "export/vdb_export.h"
#include "io/vdb_writer.h"

#ifdef TFR_FUZZ_OPENVDB
#include <openvdb/io/Stream.h>
#include <openvdb/openvdb.h>

#include <sstream>
#endif

namespace {

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz_vdb_writer: %s\n", what);
  std::abort();
}

uint32_t Le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

// The voxels a grid input makes active, with their written values, in x-fastest cell order.
struct Expected {
  std::vector<bool> active;
  std::vector<float> values;
  int64_t count = 0;
};

Expected ExpectedOf(const tf::VdbGridInput& g) {
  Expected e;
  const size_t n = size_t(g.nx) * size_t(g.ny) * size_t(g.nz);
  e.active.resize(n);
  e.values.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const float v = g.values[i];
    if (!(std::fabs(v) > g.threshold)) continue;
    e.active[i] = true;
    e.values[i] = v * g.scale + g.offset;
    ++e.count;
  }
  return e;
}

bool SameFloat(float a, float b) { return a == b || (std::isnan(a) && std::isnan(b)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tf::CacheFrame frame;
  uint8_t flags = 0;
  if (!tf::fuzz::MakeFrame(data, size, frame, flags)) return 0;
  const tf::VdbChannelMask mask = (flags >> 2) & 31u;
  const std::vector<tf::VdbGridInput> grids = tf::VdbGridsOfFrame(frame, mask);
  const tf::VdbTransform transform = tf::VdbTransformOfFrame(frame, tf::DomainGridOfFrame(frame));
  std::vector<uint8_t> file;
  int64_t active = 0;
  std::string error;
  // WriteVdbFile's own refusal comes before any encoding.
  if (!tf::VdbTransformUsable(transform, &error)) {
    Check(!error.empty(), "a refused transform says why");
    return 0;
  }
  if (!tf::EncodeVdbFile(grids, transform, tf::MakeVdbUuid(1, 2, 3), file, active, &error)) {
    Check(!error.empty(), "a failed encoding says why");
    Check((flags & 1) != 0, "only far crop origins may leave the 32-bit voxel range");
    return 0;
  }
  std::vector<Expected> expected;
  int64_t total = 0;
  for (const tf::VdbGridInput& g : grids) {
    expected.push_back(ExpectedOf(g));
    total += expected.back().count;
  }
  Check(active == total, "the active voxel count is that of the frame");

  // The header: magic, file version 224, library 10.0, offsets flag, uuid, no metadata, the grids.
  Check(file.size() >= 65, "the file holds at least its header");
  Check(Le32(&file[0]) == 0x56444220u && Le32(&file[4]) == 0, "magic");
  Check(Le32(&file[8]) == 224 && Le32(&file[12]) == 10 && Le32(&file[16]) == 0 && file[20] == 1, "versions");
  Check(Le32(&file[57]) == 0 && Le32(&file[61]) == grids.size(), "metadata and grid count");

#ifdef TFR_FUZZ_OPENVDB
  static const bool initialised = [] {
    openvdb::initialize();
    return true;
  }();
  (void)initialised;
  openvdb::GridPtrVecPtr read;
  try {
    std::istringstream in(std::string(file.begin(), file.end()), std::ios::in | std::ios::binary);
    openvdb::io::Stream stream(in);
    read = stream.getGrids();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fuzz_vdb_writer: OpenVDB cannot read the file: %s\n", e.what());
    std::abort();
  }
  Check(read && read->size() == grids.size(), "OpenVDB finds every grid");
  // OpenVDB's stream hands the grids back sorted by name, so they are found by name.
  for (size_t k = 0; k < grids.size(); ++k) {
    const tf::VdbGridInput& g = grids[k];
    openvdb::GridBase::Ptr base;
    for (const openvdb::GridBase::Ptr& r : *read)
      if (r->getName() == g.name) base = r;
    Check(base != nullptr, "every grid is there under its name");
    const openvdb::FloatGrid::Ptr grid = openvdb::gridPtrCast<openvdb::FloatGrid>(base);
    Check(grid != nullptr, "every grid is a float grid");
    Check(int64_t(grid->activeVoxelCount()) == expected[k].count, "OpenVDB counts the same active voxels");
    Check(grid->background() == 0.0f, "background 0");
    const openvdb::Vec3d voxel = grid->voxelSize();
    Check(voxel[0] == transform.voxelSize && voxel[1] == transform.voxelSize && voxel[2] == transform.voxelSize,
          "voxel size");
    const openvdb::Vec3d origin = grid->indexToWorld(openvdb::Vec3d(0, 0, 0));
    for (int a = 0; a < 3; ++a)
      Check(origin[a] == transform.translation[size_t(a)], "voxel (0, 0, 0) sits at the translation");
    const auto accessor = grid->getConstAccessor();
    size_t i = 0;
    for (int32_t z = 0; z < g.nz; ++z)
      for (int32_t y = 0; y < g.ny; ++y)
        for (int32_t x = 0; x < g.nx; ++x, ++i) {
          const openvdb::Coord c(x + g.ox, y + g.oy, z + g.oz);
          Check(accessor.isValueOn(c) == bool(expected[k].active[i]), "the active voxels are the frame's");
          Check(SameFloat(accessor.getValue(c), expected[k].active[i] ? expected[k].values[i] : 0.0f),
                "every voxel holds the frame's value, inactive ones 0");
        }
  }
#endif
  return 0;
}
