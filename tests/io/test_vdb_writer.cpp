// OpenVDB files read back by the OpenVDB library: every active value must come back exactly where
// it was written, empty grids must still be valid grids, and each failed write says why.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "host/core/atomic_file.h"
#include "io/vdb_writer.h"
#include "tests/io/vdb_test_util.h"
#include "tests/cache/cache_test_util.h"
#include "tests/support/file_size_limit.h"

namespace tf {
namespace {

using testing::ActiveVoxels;
using testing::FindGrid;
using testing::ReadBytes;
using testing::ReadVdbWithLibrary;
using testing::TempFolder;
using testing::VoxelMap;

// A dense box of values: about a third at or below the threshold (some exactly on it), the rest
// above it with both signs.
struct DenseBox {
  VdbGridInput input;
  std::vector<float> values;
};

DenseBox MakeBox(std::string name, std::array<int32_t, 3> size, std::array<int32_t, 3> offset, uint32_t seed) {
  DenseBox b;
  b.values.resize(static_cast<size_t>(size[0]) * size[1] * size[2]);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-2.0f, 2.0f);
  for (size_t i = 0; i < b.values.size(); ++i) {
    switch (rng() % 6) {
      case 0: b.values[i] = 0.0f; break;
      case 1: b.values[i] = (i & 1) ? 0.25f : -0.25f; break;  // exactly the threshold: not active
      default: b.values[i] = u(rng); break;
    }
  }
  b.input.name = std::move(name);
  b.input.nx = size[0], b.input.ny = size[1], b.input.nz = size[2];
  b.input.ox = offset[0], b.input.oy = offset[1], b.input.oz = offset[2];
  b.input.threshold = 0.25f;
  b.input.scale = 3.0f;
  b.input.offset = -0.5f;
  b.input.values = b.values.data();
  return b;
}

VoxelMap Expected(const VdbGridInput& g) {
  VoxelMap m;
  for (int z = 0; z < g.nz; ++z) {
    for (int y = 0; y < g.ny; ++y) {
      for (int x = 0; x < g.nx; ++x) {
        const float v = g.values[x + g.nx * (y + g.ny * z)];
        if (std::fabs(v) > g.threshold) m[{x + g.ox, y + g.oy, z + g.oz}] = v * g.scale + g.offset;
      }
    }
  }
  return m;
}

void ExpectBounds(const nlohmann::json& grid, const VoxelMap& voxels) {
  std::array<int, 3> lo{INT32_MAX, INT32_MAX, INT32_MAX}, hi{INT32_MIN, INT32_MIN, INT32_MIN};
  for (const auto& [c, v] : voxels) {
    for (int i = 0; i < 3; ++i) lo[i] = std::min(lo[i], c[i]), hi[i] = std::max(hi[i], c[i]);
  }
  EXPECT_EQ(grid.at("bboxMin").get<std::vector<int>>(), std::vector<int>(lo.begin(), lo.end()));
  EXPECT_EQ(grid.at("bboxMax").get<std::vector<int>>(), std::vector<int>(hi.begin(), hi.end()));
  EXPECT_EQ(grid.at("metadata").at("file_bbox_min").get<std::vector<int>>(), std::vector<int>(lo.begin(), lo.end()));
  EXPECT_EQ(grid.at("metadata").at("file_bbox_max").get<std::vector<int>>(), std::vector<int>(hi.begin(), hi.end()));
}

TEST(VdbWriter, TheLibraryReadsBackEveryGridAndValue) {
  TempFolder dir;
  // Boxes that straddle upper-node boundaries on every axis (origins -8192, -4096, 0 and 4096 in
  // all combinations), so the root order and the leaf-buffer order both matter; one far positive.
  DenseBox a = MakeBox("density", {12, 6, 9}, {-4102, -3, 4092}, 1);
  DenseBox b = MakeBox("vel.x", {9, 17, 5}, {4100, -4100, -8196}, 2);
  DenseBox c = MakeBox("odd_size", {1, 13, 3}, {0, 0, -1}, 3);
  const std::vector<VdbGridInput> grids{a.input, b.input, c.input};
  VdbTransform xf;
  xf.voxelSize = 0.37;
  xf.translation = {-12.5, 3.25, 0.185};

  const std::string file = dir / "grids.vdb";
  VdbWriteResult r = WriteVdbFile(file, grids, xf);
  ASSERT_TRUE(r.ok) << r.message;
  EXPECT_TRUE(r.message.empty());
  EXPECT_EQ(r.bytes, static_cast<int64_t>(std::filesystem::file_size(file)));

  nlohmann::json vdb = ReadVdbWithLibrary(file);
  ASSERT_FALSE(vdb.is_null());
  ASSERT_EQ(vdb.at("grids").size(), 3u);
  EXPECT_EQ(vdb.at("fileOrder"), (std::vector<std::string>{"density", "vel.x", "odd_size"}));
  int64_t total = 0;
  for (size_t i = 0; i < grids.size(); ++i) {
    SCOPED_TRACE(grids[i].name);
    ASSERT_NE(FindGrid(vdb, grids[i].name), nullptr);
    const nlohmann::json& g = *FindGrid(vdb, grids[i].name);
    EXPECT_EQ(g.at("type"), "FloatGrid");
    EXPECT_EQ(g.at("class"), "fog volume");
    EXPECT_EQ(g.at("background").get<double>(), 0.0);
    EXPECT_EQ(g.at("voxelSize").get<std::vector<double>>(), (std::vector<double>{0.37, 0.37, 0.37}));
    EXPECT_EQ(g.at("origin").get<std::vector<double>>(), (std::vector<double>{-12.5, 3.25, 0.185}));
    const VoxelMap want = Expected(grids[i]);
    ASSERT_GT(want.size(), 10u);
    EXPECT_EQ(g.at("activeVoxelCount").get<int64_t>(), static_cast<int64_t>(want.size()));
    EXPECT_EQ(g.at("metadata").at("file_voxel_count").get<int64_t>(), static_cast<int64_t>(want.size()));
    EXPECT_EQ(ActiveVoxels(g), want);  // float-exact, same coordinates
    ExpectBounds(g, want);
    total += static_cast<int64_t>(want.size());
  }
  EXPECT_EQ(r.activeVoxels, total);
}

TEST(VdbWriter, ValuesAtOrBelowTheThresholdStayOutAndZeroAfterScalingStaysIn) {
  TempFolder dir;
  const std::vector<float> values{0.5f, -0.5f, 0.75f, -0.75f, 0.3f, std::nanf(""), 1e30f, -0.2f};
  VdbGridInput g;
  g.name = "t";
  g.values = values.data();
  g.nx = 8, g.ny = 1, g.nz = 1;
  g.threshold = 0.5f;
  g.scale = 4.0f;
  g.offset = 3.0f;  // -0.75 * 4 + 3 is 0: still an active voxel
  const std::string file = dir / "t.vdb";
  VdbWriteResult r = WriteVdbFile(file, {g}, VdbTransform{});
  ASSERT_TRUE(r.ok) << r.message;
  nlohmann::json vdb = ReadVdbWithLibrary(file);
  ASSERT_FALSE(vdb.is_null());
  const VoxelMap got = ActiveVoxels(vdb.at("grids")[0]);
  const VoxelMap want{{{2, 0, 0}, 6.0f}, {{3, 0, 0}, 0.0f}, {{6, 0, 0}, 4e30f + 3.0f}};
  EXPECT_EQ(got, want);
  EXPECT_EQ(r.activeVoxels, 3);
}

TEST(VdbWriter, GridsWithoutActiveVoxelsAreStillValidGrids) {
  TempFolder dir;
  const std::vector<float> quiet(4 * 4 * 4, 1e-5f);
  VdbGridInput below;  // values present, none above the threshold
  below.name = "below";
  below.values = quiet.data();
  below.nx = below.ny = below.nz = 4;
  below.threshold = 1e-4f;
  VdbGridInput none;  // no values at all
  none.name = "none";
  none.nx = none.ny = none.nz = 4;
  VdbGridInput flat = below;  // nz of 0: nothing is read
  flat.name = "flat";
  flat.nz = 0;
  VdbTransform xf;
  xf.voxelSize = 2.0;

  const std::string file = dir / "empty.vdb";
  VdbWriteResult r = WriteVdbFile(file, {below, none, flat}, xf);
  ASSERT_TRUE(r.ok) << r.message;
  EXPECT_EQ(r.activeVoxels, 0);
  nlohmann::json vdb = ReadVdbWithLibrary(file);
  ASSERT_FALSE(vdb.is_null());
  ASSERT_EQ(vdb.at("grids").size(), 3u);  // the count includes grids with nothing in them
  EXPECT_EQ(vdb.at("fileOrder"), (std::vector<std::string>{"below", "none", "flat"}));
  for (const auto& g : vdb.at("grids")) {
    SCOPED_TRACE(g.at("name").get<std::string>());
    EXPECT_EQ(g.at("class"), "fog volume");
    EXPECT_EQ(g.at("activeVoxelCount"), 0);
    EXPECT_TRUE(g.at("voxels").empty());
    EXPECT_EQ(g.at("metadata").at("file_bbox_min").get<std::vector<int>>(), (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(g.at("metadata").at("file_bbox_max").get<std::vector<int>>(), (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(g.at("metadata").at("file_voxel_count"), 0);
    EXPECT_EQ(g.at("voxelSize").get<std::vector<double>>(), (std::vector<double>{2.0, 2.0, 2.0}));
  }

  // No grid at all is a valid file too.
  const std::string zero = dir / "zero.vdb";
  ASSERT_TRUE(WriteVdbFile(zero, {}, xf).ok);
  nlohmann::json none0 = ReadVdbWithLibrary(zero);
  ASSERT_FALSE(none0.is_null());
  EXPECT_TRUE(none0.at("grids").empty());
  EXPECT_TRUE(none0.at("fileOrder").empty());
}

TEST(VdbWriter, TwoRunsDifferOnlyInTheUuid) {
  TempFolder dir;
  DenseBox a = MakeBox("density", {20, 10, 10}, {-30, 5, 0}, 7);
  const std::string f1 = dir / "one.vdb", f2 = dir / "two.vdb";
  ASSERT_TRUE(WriteVdbFile(f1, {a.input}, VdbTransform{}).ok);
  ASSERT_TRUE(WriteVdbFile(f2, {a.input}, VdbTransform{}).ok);
  const std::vector<uint8_t> b1 = ReadBytes(f1), b2 = ReadBytes(f2);
  ASSERT_EQ(b1.size(), b2.size());
  // The UUID follows magic (8), format and library versions (12) and the offsets flag (1).
  constexpr size_t kUuidAt = 21, kUuidLen = 36;
  for (size_t i = 0; i < b1.size(); ++i) {
    if (i >= kUuidAt && i < kUuidAt + kUuidLen) continue;
    ASSERT_EQ(b1[i], b2[i]) << "byte " << i;
  }
  const std::string u1(b1.begin() + kUuidAt, b1.begin() + kUuidAt + kUuidLen);
  const std::string u2(b2.begin() + kUuidAt, b2.begin() + kUuidAt + kUuidLen);
  EXPECT_NE(u1, u2);
  for (const std::string& u : {u1, u2}) {
    SCOPED_TRACE(u);
    for (size_t i = 0; i < u.size(); ++i) {
      if (i == 8 || i == 13 || i == 18 || i == 23) {
        EXPECT_EQ(u[i], '-');
      } else {
        EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(u[i])) && !std::isupper(static_cast<unsigned char>(u[i])));
      }
    }
    EXPECT_EQ(u[14], '4');                                  // version 4
    EXPECT_NE(std::string("89ab").find(u[19]), std::string::npos);  // RFC 4122 variant
  }
}

TEST(VdbWriter, UuidDependsOnEverySeedPart) {
  const std::string base = MakeVdbUuid(0x123456789abcdefull, 4242, 987654321);
  EXPECT_EQ(base, MakeVdbUuid(0x123456789abcdefull, 4242, 987654321));
  EXPECT_NE(base, MakeVdbUuid(0x123456789abcdeeull, 4242, 987654321));
  EXPECT_NE(base, MakeVdbUuid(0x123456789abcdefull, 4243, 987654321));
  EXPECT_NE(base, MakeVdbUuid(0x123456789abcdefull, 4242, 987654322));
  EXPECT_EQ(base.size(), 36u);
}

class VdbWriteFailures : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = dir_ / "old.vdb";
    testing::WriteBytes(old_, oldBytes_);
    box_ = MakeBox("density", {40, 40, 40}, {0, 0, 0}, 9);
  }
  void ExpectOldFileIntact() const { EXPECT_EQ(ReadBytes(old_), oldBytes_); }

  TempFolder dir_;
  std::string old_;
  const std::vector<uint8_t> oldBytes_{1, 2, 3, 4, 5};
  DenseBox box_;
};

TEST_F(VdbWriteFailures, VoxelSizeMustBePositive) {
  for (double h : {0.0, -1.0, std::nan("")}) {
    VdbTransform xf;
    xf.voxelSize = h;
    VdbWriteResult r = WriteVdbFile(old_, {box_.input}, xf);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, "voxel size must be positive");
    EXPECT_EQ(r.bytes, 0);
    ExpectOldFileIntact();
  }
}

// A damaged cache frame may claim an infinite cell size; OpenVDB could not read such a map back.
TEST_F(VdbWriteFailures, TransformMustBeFinite) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double voxel, x;
    const char* error;
  };
  for (const Case& c : {Case{inf, 0.0, "voxel size is not a finite number"},
                        Case{1.0, inf, "grid position is not a finite number"},
                        Case{1.0, std::nan(""), "grid position is not a finite number"}}) {
    VdbTransform xf;
    xf.voxelSize = c.voxel;
    xf.translation[0] = c.x;
    VdbWriteResult r = WriteVdbFile(old_, {box_.input}, xf);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, c.error);
    ExpectOldFileIntact();
  }
}

TEST_F(VdbWriteFailures, TargetThatCannotBeCreated) {
  // As root a read-only folder is still writable; a missing folder and a folder that is really a
  // file are not.
  for (const std::string& target : {dir_ / "missing/x.vdb", old_ + "/x.vdb"}) {
    SCOPED_TRACE(target);
    VdbWriteResult r = WriteVdbFile(target, {box_.input}, VdbTransform{});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, "cannot create the file");
    EXPECT_GT(r.activeVoxels, 0);  // counted before the write was tried
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ / "missing"));
  ExpectOldFileIntact();
}

TEST_F(VdbWriteFailures, DiskFullIsNamedAndLeavesTheOlderFile) {
  // A file size limit makes the one write come up short, as a full disk would.
  VdbWriteResult r;
  {
    host::testing::ScopedFileSizeLimit limit(4096);
    ASSERT_TRUE(limit.Active());
    r = WriteVdbFile(old_, {box_.input}, VdbTransform{});
  }
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.message, "write failed (disk full?)");
  ExpectOldFileIntact();
}

TEST_F(VdbWriteFailures, RenameOntoAFolderFails) {
  const std::string target = dir_ / "taken";
  std::filesystem::create_directory(target);
  VdbWriteResult r = WriteVdbFile(target, {box_.input}, VdbTransform{});
  EXPECT_FALSE(r.ok);
  // Not a full disk: the cause is named instead of the disk-full hint.
  EXPECT_EQ(r.message, "write failed: cannot replace " + target + ": Is a directory");
  EXPECT_TRUE(std::filesystem::is_directory(target));
}

TEST_F(VdbWriteFailures, ReplacingAnOlderFileAndCoordinatesOutOfRange) {
  VdbWriteResult r = WriteVdbFile(old_, {box_.input}, VdbTransform{});
  ASSERT_TRUE(r.ok) << r.message;
  EXPECT_EQ(static_cast<int64_t>(ReadBytes(old_).size()), r.bytes);

  // A box that would run past the largest voxel coordinate is refused whole, and the good file
  // written just before stays.
  const std::vector<uint8_t> good = ReadBytes(old_);
  VdbGridInput far = box_.input;
  far.ox = INT32_MAX - 10;
  r = WriteVdbFile(old_, {box_.input, far}, VdbTransform{});
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.message.find("out of range"), std::string::npos) << r.message;
  EXPECT_EQ(ReadBytes(old_), good);
}

}  // namespace
}  // namespace tf
