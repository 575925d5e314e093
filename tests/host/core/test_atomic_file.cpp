// Files written through AtomicFile, for every way a write can end: the new file whole under the
// name, or what was there before exactly as it was; never a torn file, never a temporary file left
// beside it, never a change to whatever a planted name points at.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <ostream>

#include "host/core/atomic_file.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/temp_folder.h"

namespace host {
namespace {

namespace fs = std::filesystem;
using testing::ReadText;
using testing::ScopedFileSizeLimit;
using testing::TempFolder;
using testing::WriteText;

const std::string kOlder = "the older file";

enum class How { kWrite, kStream, kAbandon, kHelper };
enum class After { kNew, kOld, kNothing, kFolder, kPipe };
enum class Disk { kPlain, kSmall, kReadOnly };

struct Case {
  const char* name;
  // Fills the folder the target goes in and returns the target.
  std::function<fs::path(const fs::path&)> prepare;
  How how = How::kWrite;
  std::size_t bytes = 3000;
  rlim_t sizeLimit = 0;  // a file-size limit while writing; 0 for none
  Disk disk = Disk::kPlain;
  bool ok = true;
  const char* error = "";  // a piece of the reason, on failure
  bool outOfSpace = false;
  After target = After::kNew;
  bool partFolderStays = false;
};

// Tests list a case by its name instead of a dump of its bytes.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

fs::path Empty(const fs::path& dir) { return dir / "a.bin"; }
fs::path WithOld(const fs::path& dir) {
  WriteText(dir / "a.bin", kOlder);
  return dir / "a.bin";
}

// Everything in the folder but the target and the temporary name, as text: files by their
// contents, links by where they point. A write must change none of it.
std::map<std::string, std::string> Others(const fs::path& dir, const fs::path& target) {
  std::map<std::string, std::string> seen;
  const fs::path part = AtomicFile::TemporaryPathFor(target);
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
    const fs::path p = it->path();
    if (p == target || p == part) {
      it.disable_recursion_pending();
      continue;
    }
    const fs::file_status s = fs::symlink_status(p);
    seen[p.string()] = fs::is_symlink(s)     ? "-> " + fs::read_symlink(p).string()
                       : fs::is_directory(s) ? "<folder>"
                                             : ReadText(p);
  }
  return seen;
}

// A small file system of its own under `dir` for the cases that need one; skipped where the
// machine does not let us mount.
class ScopedMount {
 public:
  explicit ScopedMount(fs::path at) : at_(std::move(at)) {
    fs::create_directory(at_);
    mounted_ = std::system(("mount -t tmpfs -o size=64k tmpfs '" + at_.string() + "' 2>/dev/null").c_str()) == 0;
  }
  ~ScopedMount() {
    if (mounted_) [[maybe_unused]] const int rc = std::system(("umount '" + at_.string() + "'").c_str());
  }
  bool Mounted() const { return mounted_; }
  bool MakeReadOnly() const {
    return std::system(("mount -o remount,ro '" + at_.string() + "' 2>/dev/null").c_str()) == 0;
  }

 private:
  fs::path at_;
  bool mounted_ = false;
};

struct Outcome {
  bool ok = false;
  std::string error;
  bool outOfSpace = false;
};

Outcome WriteThrough(How how, const fs::path& target, const std::string& payload) {
  Outcome out;
  if (how == How::kHelper) {
    out.ok = WriteFileAtomically(target, {reinterpret_cast<const uint8_t*>(payload.data()), payload.size()}, &out.error);
    return out;
  }
  const bool existed = fs::exists(fs::symlink_status(target));
  const std::string before = existed && fs::is_regular_file(target) ? ReadText(target) : "";
  AtomicFile file(target);
  bool written = file.Open();
  if (written && how == How::kStream) {
    std::fputs(payload.c_str(), file.Stream());  // a failure stays in the stream until the commit
  } else if (written) {
    written = file.Write(payload.data(), payload.size());
  }
  if (written) {
    // Until the commit the bytes are only under the temporary name, beside the target.
    EXPECT_EQ(file.TemporaryPath().parent_path(), target.parent_path());
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file.TemporaryPath())));
    EXPECT_EQ(fs::exists(fs::symlink_status(target)), existed);
    if (existed && fs::is_regular_file(target)) {
      EXPECT_EQ(ReadText(target), before);
    }
  }
  out.ok = written && how != How::kAbandon && file.Commit();
  out.error = file.Error();
  out.outOfSpace = file.MayBeOutOfSpace();
  return out;
}

class AtomicFileWrite : public ::testing::TestWithParam<Case> {};

TEST_P(AtomicFileWrite, LeavesTheNewFileOrWhatWasThere) {
  const Case& c = GetParam();
  TempFolder tmp;
  std::optional<ScopedMount> mount;
  fs::path dir = tmp.path();
  if (c.disk != Disk::kPlain) {
    mount.emplace(dir / "fs");
    if (!mount->Mounted()) GTEST_SKIP() << "cannot mount a small file system here";
    dir /= "fs";
  }
  const fs::path target = c.prepare(dir);
  if (c.disk == Disk::kReadOnly) {
    ASSERT_TRUE(mount->MakeReadOnly());
  }
  const auto others = Others(tmp.path(), target);
  std::string payload(c.bytes, 'x');
  payload.front() = '<';
  payload.back() = '>';

  std::optional<ScopedFileSizeLimit> limit;
  if (c.sizeLimit > 0) {
    ASSERT_TRUE(limit.emplace(c.sizeLimit).Active());
  }
  const Outcome out = WriteThrough(c.how, target, payload);
  limit.reset();
  EXPECT_EQ(out.ok, c.ok) << out.error;
  if (c.ok) {
    EXPECT_EQ(out.error, "");
  } else if (c.how != How::kAbandon) {
    EXPECT_NE(out.error.find(c.error), std::string::npos) << out.error;
    if (c.how != How::kHelper) {
      EXPECT_EQ(out.outOfSpace, c.outOfSpace) << out.error;
    }
  }

  const fs::file_status now = fs::symlink_status(target);
  switch (c.target) {
    case After::kNew:
      ASSERT_TRUE(fs::is_regular_file(now));
      EXPECT_EQ(ReadText(target), payload);
      break;
    case After::kOld:
      ASSERT_TRUE(fs::is_regular_file(now));
      EXPECT_EQ(ReadText(target), kOlder);
      break;
    case After::kNothing: EXPECT_FALSE(fs::exists(now)); break;
    case After::kFolder: EXPECT_TRUE(fs::is_directory(now)); break;
    case After::kPipe: EXPECT_TRUE(fs::is_fifo(now)); break;
  }
  const fs::file_status part = fs::symlink_status(AtomicFile::TemporaryPathFor(target));
  if (c.partFolderStays) {
    EXPECT_TRUE(fs::is_directory(part));  // not ours to remove
  } else {
    EXPECT_FALSE(fs::exists(part));
  }
  EXPECT_EQ(Others(tmp.path(), target), others);
}

fs::path LinkTo(const fs::path& dir, const fs::path& link) {
  WriteText(dir / "someone_elses.txt", "keep me");
  fs::create_symlink(dir / "someone_elses.txt", link);
  return dir / "a.bin";
}

const Case kCases[] = {
    {.name = "NewFile", .prepare = Empty},
    {.name = "ReplacesTheOlderFile", .prepare = WithOld},
    {.name = "ThroughTheStream", .prepare = WithOld, .how = How::kStream},
    {.name = "LinkAtTheTargetIsReplacedNotFollowed",
     .prepare = [](const fs::path& d) { return LinkTo(d, d / "a.bin"); }},
    {.name = "KilledWritersTemporaryFileIsReplaced",
     .prepare =
         [](const fs::path& d) {
           WriteText(AtomicFile::TemporaryPathFor(d / "a.bin"), "half a frame");
           return WithOld(d);
         }},
    {.name = "LinkPlantedAtTheTemporaryNameIsNotFollowed",
     .prepare = [](const fs::path& d) { return LinkTo(d, AtomicFile::TemporaryPathFor(d / "a.bin")); }},
    {.name = "FolderAtTheTemporaryNameIsLeftAlone",
     .prepare =
         [](const fs::path& d) {
           fs::create_directory(AtomicFile::TemporaryPathFor(d / "a.bin"));
           return WithOld(d);
         },
     .ok = false, .error = "cannot create", .target = After::kOld, .partFolderStays = true},
    {.name = "MissingFolder", .prepare = [](const fs::path& d) { return d / "missing" / "a.bin"; },
     .ok = false, .error = "missing/a.bin", .target = After::kNothing},
    {.name = "FolderAtTheTarget",
     .prepare =
         [](const fs::path& d) {
           fs::create_directories(d / "a.bin" / "inside");
           return d / "a.bin";
         },
     .ok = false, .error = "a.bin: Is a directory", .target = After::kFolder},
    {.name = "PipeAtTheTarget",
     .prepare =
         [](const fs::path& d) {
           EXPECT_EQ(::mkfifo((d / "a.bin").c_str(), 0600), 0);
           return d / "a.bin";
         },
     .ok = false, .error = "not a regular file", .target = After::kPipe},
    {.name = "FileSizeLimitWhileWriting", .prepare = WithOld, .bytes = 65536, .sizeLimit = 4096, .ok = false,
     .error = "File too large", .outOfSpace = true, .target = After::kOld},
    {.name = "FileSizeLimitOnlyAtTheFlush", .prepare = WithOld, .bytes = 3000, .sizeLimit = 200, .ok = false,
     .error = "cannot write", .outOfSpace = true, .target = After::kOld},
    {.name = "StreamFailureShowsAtCommit", .prepare = WithOld, .how = How::kStream, .bytes = 65536,
     .sizeLimit = 4096, .ok = false, .error = "cannot write", .outOfSpace = true, .target = After::kOld},
    {.name = "DiskFull", .prepare = WithOld, .bytes = 200000, .disk = Disk::kSmall, .ok = false,
     .error = "No space left on device", .outOfSpace = true, .target = After::kOld},
    {.name = "ReadOnlyFolder", .prepare = WithOld, .disk = Disk::kReadOnly, .ok = false,
     .error = "Read-only file system", .target = After::kOld},
    {.name = "AbandonedBeforeCommit", .prepare = WithOld, .how = How::kAbandon, .ok = false,
     .target = After::kOld},
    {.name = "HelperReplacesTheOlderFile", .prepare = WithOld, .how = How::kHelper},
    {.name = "HelperSaysWhy", .prepare = [](const fs::path& d) { return d / "missing" / "a.bin"; },
     .how = How::kHelper, .ok = false, .error = "cannot create", .target = After::kNothing},
};

INSTANTIATE_TEST_SUITE_P(Cases, AtomicFileWrite, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

TEST(AtomicFile, NothingIsWrittenOrCommittedBeforeOpen) {
  TempFolder dir;
  AtomicFile file(dir / "a.bin");
  EXPECT_FALSE(file.Write("x", 1));
  EXPECT_FALSE(file.Commit());
  EXPECT_EQ(file.Stream(), nullptr);
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(AtomicFile, TwoProcessesNeverShareATemporaryName) {
  const fs::path target = "/some/folder/a.bin";
  const fs::path mine = AtomicFile::TemporaryPathFor(target);
  EXPECT_EQ(mine.parent_path(), target.parent_path());
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) ::_exit(AtomicFile::TemporaryPathFor(target) == mine ? 1 : 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child wrote through " << mine;
}

}  // namespace
}  // namespace host
