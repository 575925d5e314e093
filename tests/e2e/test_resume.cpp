// `tolvaris simulate --resume` end to end: a bake killed part way and resumed leaves the cache an
// uninterrupted bake of the same scene leaves.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "e2e_scene.h"
#include "cache/cache_file.h"
#include "tests/support/tolvaris_program.h"

namespace tf::e2e {
namespace {

namespace fs = std::filesystem;

constexpr int kLastFrame = 23;

class Resume : public ::testing::Test {
 protected:
  fs::path Scene(const fs::path& cache) {
    const fs::path file = work_ / (cache.filename().string() + ".json");
    WriteText(file, SceneJson(Range(0, kLastFrame) + ", " + CachePath(cache) + R"(, {"name": "restartEvery", "value": 4})"));
    return file;
  }
  std::vector<std::string> Args(const fs::path& scene, bool resume = false) {
    std::vector<std::string> args{"--documents", work_.path().string(), "simulate", scene.string()};
    if (resume) args.push_back("--resume");
    return args;
  }
  static std::vector<std::string> RestartFiles(const fs::path& cache) {
    std::vector<std::string> out;
    for (const std::string& name : FileNames(cache))
      if (name.starts_with("restart_")) out.push_back(name);
    return out;
  }
  // Every frame of both caches, byte for byte, except the step's wall-clock time in the header.
  static void ExpectSameFrames(const fs::path& a, const fs::path& b) {
    for (int f = 0; f <= kLastFrame; ++f) {
      std::string x = ReadText(MakeFramePath(a.string(), "fire", f, "tfc"));
      std::string y = ReadText(MakeFramePath(b.string(), "fire", f, "tfc"));
      ASSERT_GT(x.size(), kCacheHeaderBytes) << "frame " << f;
      ASSERT_EQ(x.size(), y.size()) << "frame " << f;
      x.replace(60, 4, 4, '\0');
      y.replace(60, 4, 4, '\0');
      EXPECT_TRUE(x == y) << "frame " << f << " differs";
    }
  }

  TempFolder work_;
};

TEST_F(Resume, AKilledBakeGoesOnToTheFramesOfAnUninterruptedOne) {
  const fs::path whole = work_ / "whole", killed = work_ / "killed";
  const Outcome first = RunProgram(Args(Scene(whole)));
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_TRUE(RestartFiles(whole).empty()) << "a clean finish removes its restart points";

  const fs::path scene = Scene(killed);
  {
    Program program(Args(scene));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (program.Running() && CountFrames(killed) < 10 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(program.Running()) << "the bake ended before it could be killed";
    kill(program.pid(), SIGKILL);
    EXPECT_EQ(program.Wait().status, 128 + SIGKILL);
  }
  ASSERT_EQ(RestartFiles(killed).size(), 1u) << "only the newest restart point is kept";

  const Outcome resumed = RunProgram(Args(scene, true));
  ASSERT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_NE(resumed.out.find(" Resumed after frame "), std::string::npos) << resumed.out;
  EXPECT_TRUE(RestartFiles(killed).empty());
  ExpectSameFrames(whole, killed);
}

TEST_F(Resume, WithoutARestartPointNothingIsBakedOrLost) {
  const fs::path cache = work_ / "cache";
  const fs::path scene = Scene(cache);
  ASSERT_EQ(RunProgram(Args(scene)).status, 0);
  const std::string before = ReadText(MakeFramePath(cache.string(), "fire", kLastFrame, "tfc"));
  const Outcome o = RunProgram(Args(scene, true));
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("Nothing to resume in " + cache.string() + ": no restart point of a stopped bake."),
            std::string::npos)
      << o.err;
  EXPECT_EQ(CountFrames(cache), size_t(kLastFrame + 1));
  EXPECT_TRUE(ReadText(MakeFramePath(cache.string(), "fire", kLastFrame, "tfc")) == before);
}

}  // namespace
}  // namespace tf::e2e
