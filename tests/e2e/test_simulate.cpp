// `tolvaris simulate` end to end: the built program loads the plug-in module from its plugins
// folder, loads a scene and bakes its domain; the cache files are read back with the cache reader.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "cache/cache_file.h"
#include "e2e_scene.h"
#include "tests/support/tolvaris_program.h"

namespace tf::e2e {
namespace {

namespace fs = std::filesystem;

class Simulate : public ::testing::Test {
 protected:
  fs::path WriteScene(const std::string& json, const std::string& name = "scene.json") {
    const fs::path file = work_ / name;
    WriteText(file, json);
    return file;
  }
  std::vector<std::string> Args(const fs::path& scene, std::vector<std::string> more = {}) {
    std::vector<std::string> args{"--documents", docs_.path().string(), "simulate", scene.string()};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  // The domain's default cache folder under the documents folder (there must be exactly one).
  fs::path DefaultCacheFolder() {
    std::vector<fs::path> found;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(docs_ / "TolvarisFire", ec)) found.push_back(e.path());
    EXPECT_EQ(found.size(), 1u);
    return found.empty() ? fs::path() : found[0];
  }

  TempFolder docs_;
  TempFolder work_;
};

TEST_F(Simulate, BakesEveryFrameOfTheRangeIntoTheDefaultCache) {
  const fs::path scene = WriteScene(SceneJson(Range(-2, 3)));
  const Outcome o = RunProgram(Args(scene));
  ASSERT_EQ(o.status, 0) << o.err;

  // "Simulated 6 frames, 11x11x16 on the CPU: ... ms/frame solve, ... ms with outputs. Per frame: ..."
  const std::regex summary(
      R"(^Simulated 6 frames, (\d+)x(\d+)x(\d+) on the (CPU|GPU): \d+\.\d ms/frame solve, \d+\.\d ms with outputs\. )"
      R"(Per frame: step \d+, capture \d+, cache \d+, VDB \d+, preview \d+ ms\.\n$)");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(o.out, m, summary)) << o.out;
  EXPECT_EQ(o.out.find(" in "), std::string::npos) << "no outputs were written: " << o.out;
  // A 40 x 40 x 60 box at 16 cells on its longest side.
  EXPECT_EQ(m[1], "11");
  EXPECT_EQ(m[2], "11");
  EXPECT_EQ(m[3], "16");
  // Progress went to stderr, one line per frame with the count and an estimate.
  EXPECT_NE(o.err.find("Frame -2 (1/6): "), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("Frame 3 (6/6): "), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("[6 of 6 frames, about 0 s left]"), std::string::npos) << o.err;

  const fs::path cache = DefaultCacheFolder();
  ASSERT_EQ(cache.filename().string().rfind("cache_", 0), 0u) << cache;
  EXPECT_EQ(cache.filename().string().size(), 6u + 16u) << "cache_ and the id in 16 hex digits";
  EXPECT_EQ(FileNames(cache), (std::vector<std::string>{"fire_0000.tfc", "fire_0001.tfc", "fire_0002.tfc",
                                                         "fire_0003.tfc", "fire_m0001.tfc", "fire_m0002.tfc"}));
  for (int f = -2; f <= 3; ++f) {
    CacheFrame frame;
    ASSERT_TRUE(ReadCacheFrame(MakeFramePath(cache.string(), "fire", f, "tfc"), frame)) << f;
    EXPECT_EQ(frame.header.frame, f);
    EXPECT_EQ(frame.header.nx, 11);
    EXPECT_EQ(frame.header.ny, 11);
    EXPECT_EQ(frame.header.nz, 16);
    EXPECT_FLOAT_EQ(frame.header.cellSizeScene, 3.75f);
    EXPECT_EQ(frame.header.channelMask & kCacheAlwaysMask, kCacheAlwaysMask);
  }
}

TEST_F(Simulate, OneFrameIntoTheCachePathReplacesTheOldFrames) {
  const fs::path cache = work_ / "my cache";
  fs::create_directories(cache);
  WriteText(cache / "fire_0009.tfc", "an old frame of an earlier bake");
  WriteText(cache / "notes.txt", "not a frame: stays");
  const fs::path scene = WriteScene(SceneJson(Range(5, 5) + ", " + CachePath(cache)));
  const Outcome o = RunProgram(Args(scene));
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out.rfind("Simulated 1 frame, 11x11x16 on the ", 0), 0u) << o.out;
  EXPECT_EQ(FileNames(cache), (std::vector<std::string>{"fire_0005.tfc", "notes.txt"}));
  EXPECT_FALSE(fs::exists(docs_ / "TolvarisFire")) << "the cachePath replaces the documents folder";
}

TEST_F(Simulate, RefusesADomainWithoutSources) {
  const fs::path scene = WriteScene(SceneJson(Range(0, 3), false));
  const Outcome o = RunProgram(Args(scene));
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "tolvaris: Add at least one burning object or particle system under Sources.\n");
  EXPECT_EQ(o.out, "");
  EXPECT_FALSE(fs::exists(docs_ / "TolvarisFire")) << "nothing may be created for a bake that did not start";
}

TEST_F(Simulate, CtrlCStopsAfterTheFrameInProgressAndKeepsTheFramesDone) {
  const fs::path cache = work_ / "cache";
  const fs::path scene = WriteScene(SceneJson(Range(0, 100000) + ", " + CachePath(cache)));
  Program program(Args(scene));
  // Interrupt once a few frames are in the cache.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (program.Running() && CountFrames(cache) < 3 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_TRUE(program.Running()) << "the bake ended before it could be interrupted";
  program.Interrupt();
  const Outcome o = program.Wait();
  EXPECT_EQ(o.status, 130) << o.err;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(o.out, m, std::regex(R"(^Stopped after (\d+) frames?, )"))) << o.out;
  const size_t done = std::stoul(m[1]);
  EXPECT_GE(done, 3u);
  EXPECT_LT(done, 100001u);
  // Exactly the frames done, 0 to done - 1, the restart point after the last one, and no partial file.
  const std::vector<std::string> names = FileNames(cache);
  ASSERT_EQ(names.size(), done + 1) << o.out;
  EXPECT_TRUE(std::ranges::count(names, fs::path(MakeFramePath("", "restart", int(done) - 1, "tfr")).string()) == 1)
      << o.out;
  for (size_t f = 0; f < done; ++f) {
    CacheFrame frame;
    EXPECT_TRUE(ReadCacheFrame(MakeFramePath(cache.string(), "fire", int(f), "tfc"), frame)) << f;
  }
}

TEST_F(Simulate, ChoosesTheDomainByName) {
  const fs::path first = work_ / "first", second = work_ / "second";
  const std::string another = R"(,
    {"handle": 3, "name": "Other Fire", "object": {"class": "TolvarisFire", "blocks": [{"id": 0, "params": [
      {"name": "sizeX", "value": 20}, {"name": "sizeY", "value": 20}, {"name": "sizeZ", "value": 20},
      {"name": "resolution", "value": 8}, {"name": "liveMode", "value": 0}, {"name": "emitters", "value": [1]},
      {"name": "startFrame", "value": 0}, {"name": "endFrame", "value": 1},
      {"name": "cachePath", "value": ")" + second.string() + R"("}]}]}})";
  const fs::path scene = WriteScene(SceneJson(Range(0, 1) + ", " + CachePath(first), true, another));

  // Two domains: the command line must name one.
  Outcome o = RunProgram(Args(scene));
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.err, "tolvaris: the scene has 2 TolvarisFire domains (\"Fire\", \"Other Fire\"): name one with --domain\n");

  o = RunProgram(Args(scene, {"--domain", "Other Fire"}));
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out.rfind("Simulated 2 frames, 8x8x8 on the ", 0), 0u) << o.out;
  EXPECT_EQ(CountFrames(second), 2u);
  EXPECT_FALSE(fs::exists(first));

  o = RunProgram(Args(scene, {"--domain", "Nobody"}));
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.err, "tolvaris: --domain: the scene has no node named \"Nobody\"\n");
  o = RunProgram(Args(scene, {"--domain", "Log"}));
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.err, "tolvaris: --domain: the node \"Log\" is not a TolvarisFire domain\n");
}

TEST_F(Simulate, ASceneWithoutADomainOrAMissingSceneFails) {
  const fs::path scene = WriteScene(R"({"format": "tolvaris-scene", "version": 1, "nodes": [
    {"handle": 1, "name": "Log", "object": {"class": "Box"}}]})");
  Outcome o = RunProgram(Args(scene));
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "tolvaris: the scene has no TolvarisFire domain to bake\n");
  o = RunProgram(Args(work_ / "missing.json"));
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("missing.json\": no such file"), std::string::npos) << o.err;
  o = RunProgram({"simulate"});
  EXPECT_EQ(o.status, 2);
  // Without the plug-in (an empty plug-in folder) a scene holding a domain does not load.
  const fs::path domainScene = WriteScene(SceneJson(Range(0, 1)), "domain.json");
  fs::create_directories(work_ / "no plugins");
  o = RunProgram({"--plugins", (work_ / "no plugins").string(), "simulate", domainScene.string()});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("no class \"TolvarisFire\" is registered"), std::string::npos) << o.err;
}

TEST_F(Simulate, OnATerminalTheProgressIsOneLineRewrittenInPlace) {
  const fs::path scene = WriteScene(SceneJson(Range(0, 2) + ", " + CachePath(work_ / "cache")));
  // stderr goes to a pseudo-terminal; everything it receives is read back from the other side.
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string terminal = ptsname(master);
  std::vector<std::string> all{TFR_TOLVARIS};
  for (const std::string& a : Args(scene)) all.push_back(a);
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, terminal.c_str(), O_RDWR | O_NOCTTY, 0);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  std::string seen;
  char buf[4096];
  int status = 0;
  // Read while it runs (a full terminal would block it), then what is left.
  for (;;) {
    const bool ended = waitpid(pid, &status, WNOHANG) == pid;
    pollfd p{master, POLLIN, 0};
    while (poll(&p, 1, ended ? 0 : 20) > 0) {
      const ssize_t n = read(master, buf, sizeof buf);
      if (n <= 0) break;
      seen.append(buf, size_t(n));
    }
    if (ended) break;
  }
  close(master);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << seen;
  // Each frame's line starts with a carriage return and clears the rest of the line; one newline
  // ends the whole progress line (the terminal shows it as CR LF).
  for (const char* text : {"\rFrame 0 (1/3): ", "\rFrame 1 (2/3): ", "\rFrame 2 (3/3): "})
    EXPECT_NE(seen.find(text), std::string::npos) << text << " missing from: " << seen;
  EXPECT_NE(seen.find("\033[K"), std::string::npos);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), '\n'), 1) << seen;
}

TEST_F(Simulate, HelpDocumentsTheExitStatuses) {
  const Outcome o = RunProgram({"simulate", "--help"});
  EXPECT_EQ(o.status, 0);
  for (const char* text : {"--domain", "130 stopped by Ctrl-C", "2 wrong command line"})
    EXPECT_NE(o.out.find(text), std::string::npos) << text << " missing from:\n" << o.out;
}

}  // namespace
}  // namespace tf::e2e
