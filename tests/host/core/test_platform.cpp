// Platform services: the documents folder and its override, file functions that must not lose
// data, wildcard search, clocks, memory figures, the stop request and module lookup.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <thread>

#include "host/core/platform.h"
#include "tests/support/temp_folder.h"

namespace host {
namespace {

namespace fs = std::filesystem;
using testing::ReadText;
using testing::ScopedEnv;
using testing::TempFolder;
using testing::WriteText;

// ---- Documents folder ------------------------------------------------------------------------

TEST(DocumentsFolder, OverrideWinsUntilCleared) {
  TempFolder home;
  ScopedEnv h("HOME", home.path().string());
  ScopedEnv x("XDG_DOCUMENTS_DIR", std::nullopt);
  ScopedEnv c("XDG_CONFIG_HOME", std::nullopt);
  TempFolder docs;
  SetDocumentsFolder(docs.path());
  EXPECT_EQ(DocumentsFolder(), docs.path());
  SetDocumentsFolder({});
  EXPECT_EQ(DocumentsFolder(), home / "Documents");
}

TEST(DocumentsFolder, UsersFolderFromXdgSettings) {
  TempFolder home;
  ScopedEnv h("HOME", home.path().string());
  ScopedEnv x("XDG_DOCUMENTS_DIR", std::nullopt);
  ScopedEnv c("XDG_CONFIG_HOME", std::nullopt);
  SetDocumentsFolder({});
  EXPECT_EQ(DocumentsFolder(), home / "Documents");

  // user-dirs.dirs, as the desktop writes it: comments, other folders, $HOME relative paths.
  fs::create_directories(home / ".config");
  WriteText(home / ".config/user-dirs.dirs",
            "# XDG_DOCUMENTS_DIR=\"$HOME/Commented\"\n"
            "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
            "XDG_DOCUMENTS_DIR=\"$HOME/Papers\"\n");
  EXPECT_EQ(DocumentsFolder(), home / "Papers");

  WriteText(home / ".config/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"/srv/shared docs\"\n");
  EXPECT_EQ(DocumentsFolder(), fs::path("/srv/shared docs"));

  {
    TempFolder config;
    ScopedEnv c2("XDG_CONFIG_HOME", config.path().string());
    WriteText(config / "user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME/FromConfigHome\"\n");
    EXPECT_EQ(DocumentsFolder(), home / "FromConfigHome");
  }

  ScopedEnv x2("XDG_DOCUMENTS_DIR", "/data/docs");
  EXPECT_EQ(DocumentsFolder(), fs::path("/data/docs"));
}

// ---- Files -------------------------------------------------------------------------------------

TEST(Files, RenameReplacesTheTargetInOneStep) {
  TempFolder dir;
  WriteText(dir / "frame.part", "new frame");
  WriteText(dir / "frame.tfc", "old frame");
  std::string message;
  ASSERT_TRUE(RenameReplace(dir / "frame.part", dir / "frame.tfc", &message)) << message;
  EXPECT_EQ(ReadText(dir / "frame.tfc"), "new frame");
  EXPECT_FALSE(fs::exists(dir / "frame.part"));
}

TEST(Files, FailedRenameLosesNothing) {
  TempFolder dir;
  WriteText(dir / "frame.tfc", "old frame");
  std::string message;
  EXPECT_FALSE(RenameReplace(dir / "missing.part", dir / "frame.tfc", &message));
  EXPECT_EQ(ReadText(dir / "frame.tfc"), "old frame");
  EXPECT_NE(message.find("missing.part"), std::string::npos) << message;

  // A folder in the way is not replaced, and the source stays.
  fs::create_directories(dir / "out" / "keep");
  WriteText(dir / "a.part", "data");
  EXPECT_FALSE(RenameReplace(dir / "a.part", dir / "out", &message));
  EXPECT_EQ(ReadText(dir / "a.part"), "data");
  EXPECT_TRUE(fs::is_directory(dir / "out" / "keep"));
  EXPECT_NE(message.find("folder"), std::string::npos) << message;
}

TEST(Files, DeleteRemovesFilesOnly) {
  TempFolder dir;
  WriteText(dir / "a.tfc", "x");
  std::string message;
  EXPECT_TRUE(DeleteFile(dir / "a.tfc", &message)) << message;
  EXPECT_FALSE(fs::exists(dir / "a.tfc"));
  EXPECT_FALSE(DeleteFile(dir / "a.tfc", &message));
  EXPECT_NE(message.find("no such file"), std::string::npos) << message;
  fs::create_directories(dir / "sub");
  EXPECT_FALSE(DeleteFile(dir / "sub", &message));
  EXPECT_TRUE(fs::is_directory(dir / "sub"));
}

TEST(Files, CreateDirectoriesMakesParentsAndReportsAFileInTheWay) {
  TempFolder dir;
  std::string message;
  EXPECT_TRUE(CreateDirectories(dir / "TolvarisFire/cache_0000000000000001", &message)) << message;
  EXPECT_TRUE(fs::is_directory(dir / "TolvarisFire/cache_0000000000000001"));
  EXPECT_TRUE(CreateDirectories(dir / "TolvarisFire", &message));  // already there
  WriteText(dir / "blocker", "x");
  EXPECT_FALSE(CreateDirectories(dir / "blocker/sub", &message));
  EXPECT_NE(message.find("blocker"), std::string::npos) << message;
  EXPECT_EQ(ReadText(dir / "blocker"), "x");
}

TEST(Wildcards, MatchWholeNames) {
  struct Case {
    const char* pattern;
    const char* name;
    bool match;
  };
  const Case cases[] = {
      {"fire_*.tfc", "fire_0001.tfc", true},
      {"fire_*.tfc", "fire_.tfc", true},
      {"fire_*.tfc", "fire_0001.tfc.part", false},  // the whole name must match
      {"fire_*.tfc", "xfire_0001.tfc", false},
      {"*.tfp", "Candle.tfp", true},
      {"*.tfp", "Candle.TFP", false},  // case matters, as on the file system
      {"a?c", "abc", true},
      {"a?c", "ac", false},
      {"a?c", "abbc", false},
      {"a?c", "a\xC3\xA9" "c", true},  // '?' is one character, here two bytes
      {"*a*b", "xxaxxbxb", true},      // the first 'b' is not the last: backtrack
      {"*a*b", "xxaxxbxc", false},
      {"*", "", true},
      {"**", "x", true},
      {"?", "", false},
      {"", "", true},
      {"", "x", false},
  };
  for (const Case& c : cases) EXPECT_EQ(WildcardMatch(c.pattern, c.name), c.match) << c.pattern << " vs " << c.name;
}

TEST(Wildcards, FindFilesListsMatchingFilesByName) {
  TempFolder dir;
  for (const char* f : {"fire_0002.tfc", "fire_0001.tfc", "fire_0001.tfc.part", "smoke_0001.tfc", "fire_m0003.tfc"})
    WriteText(dir / f, "x");
  fs::create_directories(dir / "fire_dir.tfc");  // folders are not files
  const std::vector<fs::path> found = FindFiles(dir.path(), "fire_*.tfc");
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0], dir / "fire_0001.tfc");
  EXPECT_EQ(found[1], dir / "fire_0002.tfc");
  EXPECT_EQ(found[2], dir / "fire_m0003.tfc");
  EXPECT_TRUE(FindFiles(dir / "missing", "*").empty());
}

// ---- Clocks, memory, process -------------------------------------------------------------------

TEST(Clocks, AdvanceWithRealTime) {
  const uint64_t c0 = HighResCounter();
  const double s0 = HighResSeconds();
  const uint64_t m0 = MillisecondsSinceStart();
  std::this_thread::sleep_for(std::chrono::milliseconds(25));
  const uint64_t c1 = HighResCounter();
  EXPECT_GE(c1 - c0, 25 * kHighResFrequency / 1000);
  EXPECT_GE(HighResSeconds() - s0, 0.025);
  EXPECT_GE(MillisecondsSinceStart() - m0, 25u);
  EXPECT_LT(HighResSeconds() - s0, 5.0);
}

TEST(Memory, MemAvailableIsReadInBytes) {
  EXPECT_EQ(ParseMemAvailable("MemTotal:       16318480 kB\n"
                              "MemFree:          1118832 kB\n"
                              "MemAvailable:    12345678 kB\n"
                              "Buffers:           471012 kB\n"),
            uint64_t(12345678) * 1024);
  EXPECT_EQ(ParseMemAvailable("MemTotal: 100 kB\nMemFree: 50 kB\n"), std::nullopt);
  EXPECT_EQ(ParseMemAvailable("MemAvailable: lots\n"), std::nullopt);

  // The live figure lies between nothing and all the memory the machine has.
  const uint64_t available = AvailablePhysicalMemory();
  const uint64_t total = uint64_t(sysconf(_SC_PHYS_PAGES)) * uint64_t(sysconf(_SC_PAGESIZE));
  EXPECT_GT(available, 0u);
  EXPECT_LE(available, total);
}

TEST(Process, IdIsThisProcess) { EXPECT_EQ(ProcessId(), uint32_t(getpid())); }

TEST(Desktop, OpeningFailsWithoutTheFolderAnOpenerOrADesktop) {
  TempFolder dir;
  ScopedEnv wayland("WAYLAND_DISPLAY", std::nullopt);
  ScopedEnv display("DISPLAY", ":0");
  ScopedEnv path("PATH", dir.path().string());  // no opener anywhere on it
  EXPECT_FALSE(OpenFolder(dir.path()));
  WriteText(dir / "xdg-open", "#!/bin/sh\nexit 0\n");
  fs::permissions(dir / "xdg-open", fs::perms::owner_all);
  EXPECT_FALSE(OpenFolder(dir / "missing"));
  EXPECT_TRUE(OpenFolder(dir.path())) << "an opener and a desktop";
  ScopedEnv noDisplay("DISPLAY", std::nullopt);
  EXPECT_FALSE(OpenFolder(dir.path())) << "no desktop to show it on";
}

// ---- Stop request ------------------------------------------------------------------------------

TEST(StopRequest, CtrlCSetsItAndClearResets) {
  InstallStopHandler();
  ClearStop();
  EXPECT_FALSE(StopRequested());
  ASSERT_EQ(std::raise(SIGINT), 0);  // the process survives: the handler only sets the request
  EXPECT_TRUE(StopRequested());
  ClearStop();
  EXPECT_FALSE(StopRequested());
  RequestStop();
  EXPECT_TRUE(StopRequested());
  ClearStop();
}

TEST(StopRequestDeathTest, SecondCtrlCEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        InstallStopHandler();
        ClearStop();
        std::raise(SIGINT);
        std::raise(SIGINT);
        std::exit(0);
      },
      ::testing::KilledBySignal(SIGINT), "");
}

// ---- Module lookup -----------------------------------------------------------------------------

TEST(ModuleLookup, FindsLoadedLibrariesByFileNameOnly) {
  ModuleHandle libc = FindLoadedModule("libc.so.6");
  ASSERT_NE(libc, nullptr);
  EXPECT_EQ(FindLoadedModule("LIBC.SO.6"), libc);  // file names compare without case
  const auto pid = FindModuleFunction<pid_t (*)()>(libc, "getpid");
  ASSERT_NE(pid, nullptr);
  EXPECT_EQ(pid(), getpid());
  EXPECT_EQ(FindModuleExport(libc, "no_such_export_anywhere"), nullptr);
}

TEST(ModuleLookup, NotLoadedModulesAreNotLoaded) {
  EXPECT_EQ(FindLoadedModule("TolvarisFluid.dlo"), nullptr);
  EXPECT_EQ(FindLoadedModule("libc.so"), nullptr);  // no partial names
  EXPECT_EQ(FindLoadedModule(""), nullptr);
  EXPECT_EQ(FindModuleExport(nullptr, "getpid"), nullptr);
}

}  // namespace
}  // namespace host
