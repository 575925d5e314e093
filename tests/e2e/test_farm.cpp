// The farm: the job scripts `--farm slurm` writes, what happens without Slurm or when it refuses a
// job, and a wedge and a chunked export run on a real one-machine Slurm cluster started for the
// test on 127.0.0.1 (skipped, visibly, where Slurm is not installed).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "e2e_scene.h"

namespace tf::e2e {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Sets an environment variable for the programs a test starts, and puts the old value back.
class EnvScope {
 public:
  EnvScope(const char* name, const std::string& value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~EnvScope() {
    if (had_)
      setenv(name_, old_.c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

class Farm : public ::testing::Test {
 protected:
  void SetUp() override { WriteScene(scene_); }
  void WriteScene(const fs::path& file, const std::string& more = "") {
    WriteText(file, SceneJson(Range(0, 9) + R"(, {"name": "previewWidth", "value": 64}, {"name": "useGPU", "value": false})" +
                              more));
  }
  Outcome Run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--documents", docs_.path().string()});
    return RunProgram(args, 240);
  }

  TempFolder docs_, work_;
  fs::path scene_ = work_.path() / "shot.json";
};

TEST_F(Farm, DryRunWritesAnArrayWhoseTasksExportTheirChunk) {
  const fs::path cache = work_.path() / "cache", vdb = work_.path() / "vdb";
  WriteScene(scene_, ", " + CachePath(cache) + R"(, {"name": "vdbPath", "value": ")" + vdb.string() + R"("})");
  ASSERT_EQ(Run({"simulate", scene_.string()}).status, 0);
  const Outcome o = Run({"export-vdb", scene_.string(), "--farm", "slurm", "--chunk", "4", "--dry-run"});
  ASSERT_EQ(o.status, 0) << o.err;
  const fs::path script = cache / "farm" / "export-vdb.sbatch";
  const std::string text = ReadText(script);
  EXPECT_NE(text.find("#SBATCH --array=0-2\n"), std::string::npos) << text;
  EXPECT_FALSE(fs::exists(vdb));
  // The last task, run as Slurm would run it: frames 8 and 9 only.
  const std::string command = "SLURM_ARRAY_TASK_ID=2 bash '" + script.string() + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(FileNames(vdb), (std::vector<std::string>{"Fire_0008.vdb", "Fire_0009.vdb"}));
}

TEST_F(Farm, DryRunWedgeWritesTheBakesAndTheSheetJob) {
  const fs::path out = work_.path() / "W";
  const Outcome o = Run({"wedge", scene_.string(), "--set", "vorticity=1,3,5", "-o", out.string(), "--farm", "slurm",
                         "--partition", "fx", "--dry-run"});
  ASSERT_EQ(o.status, 0) << o.err;
  const std::string bake = ReadText(out / "farm" / "bake.sbatch"), sheet = ReadText(out / "farm" / "sheet.sbatch");
  EXPECT_NE(bake.find("#SBATCH --array=0-2\n#SBATCH --partition=fx\n"), std::string::npos) << bake;
  EXPECT_NE(bake.find("names=('shot_vorticity-1' 'shot_vorticity-3' 'shot_vorticity-5')"), std::string::npos) << bake;
  EXPECT_NE(sheet.find("wedge-sheet '" + out.string() + "'"), std::string::npos) << sheet;
  EXPECT_EQ(sheet.find("--array"), std::string::npos);
  EXPECT_TRUE(fs::exists(out / "shot_vorticity-5.json"));
  EXPECT_FALSE(fs::exists(out / "index.json")) << "nothing baked, nothing to index";
}

TEST_F(Farm, MissingOrRefusingSbatchHasItsOwnMessageAndStatus) {
  const fs::path out = work_.path() / "W";
  const std::vector<std::string> wedge{"wedge", scene_.string(), "--set", "vorticity=1,3", "-o", out.string(), "--farm", "slurm"};
  {
    EnvScope path("PATH", (work_.path() / "nothing").string());
    const Outcome o = Run(wedge);
    EXPECT_EQ(o.status, 3);
    EXPECT_NE(o.err.find("sbatch is not on the PATH"), std::string::npos) << o.err;
  }
  // An sbatch that refuses the job, as a cluster does for an unknown partition.
  const fs::path bin = work_.path() / "bin";
  WriteText(bin / "sbatch", "#!/bin/sh\necho 'sbatch: error: invalid partition specified: fx' >&2\nexit 1\n");
  fs::permissions(bin / "sbatch", fs::perms::owner_all);
  EnvScope path("PATH", bin.string() + ":/usr/bin:/bin");
  const Outcome o = Run(wedge);
  EXPECT_EQ(o.status, 4);
  EXPECT_NE(o.err.find("sbatch refused"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("invalid partition specified: fx"), std::string::npos) << o.err;
}

TEST_F(Farm, TheSheetJobWaitsForEveryBakeHoweverItEnds) {
  // An sbatch that takes every job and notes how it was asked: a failed bake must still get its
  // sheet and index, so the sheet waits for the array to end, not for it to succeed.
  const fs::path bin = work_.path() / "bin", calls = work_.path() / "calls.txt";
  WriteText(bin / "sbatch", "#!/bin/sh\necho \"$*\" >> '" + calls.string() + "'\necho 41$(wc -l < '" + calls.string() +
                                "')\n");
  fs::permissions(bin / "sbatch", fs::perms::owner_all);
  EnvScope path("PATH", bin.string() + ":/usr/bin:/bin");
  const fs::path out = work_.path() / "W";
  const Outcome o = Run({"wedge", scene_.string(), "--set", "vorticity=1,3", "-o", out.string(), "--farm", "slurm"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("Submitted job 411 (2 bakes) and job 412"), std::string::npos) << o.out;
  EXPECT_EQ(ReadText(calls), "--parsable " + (out / "farm" / "bake.sbatch").string() + "\n" +
                                 "--parsable --dependency=afterany:411 " + (out / "farm" / "sheet.sbatch").string() + "\n");
}

// A Slurm cluster of one node in a folder of its own, stopped however the test ends.
class SlurmCluster : public Farm {
 protected:
  void SetUp() override {
    Farm::SetUp();
    const std::string start = "'" TFR_SLURM_CLUSTER "' start '" + cluster_.path().string() + "' > '" +
                              (cluster_ / "start.txt").string() + "' 2>&1";
    const int status = std::system(start.c_str());
    started_ = true;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << ReadText(cluster_ / "start.txt");
    ASSERT_EQ(status, 0) << ReadText(cluster_ / "start.txt") << ReadText(cluster_ / "slurmctld.log")
                         << ReadText(cluster_ / "slurmd.log");
    conf_ = std::make_unique<EnvScope>("SLURM_CONF", (cluster_ / "slurm.conf").string());
  }
  void TearDown() override {
    conf_.reset();
    if (started_) std::system(("'" TFR_SLURM_CLUSTER "' stop '" + cluster_.path().string() + "'").c_str());
  }
  // Waits until the job has left the queue (at most two minutes).
  static bool WaitForJob(const std::string& id) {
    for (int i = 0; i < 600; ++i) {
      const std::string check = "squeue -h -j " + id + " 2>/dev/null | grep -q .";
      if (std::system(check.c_str()) != 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
  }
  static std::vector<std::string> JobIds(const std::string& out) {
    std::vector<std::string> ids;
    static const std::regex job(R"(job (\d+))");
    for (std::sregex_iterator it(out.begin(), out.end(), job), end; it != end; ++it) ids.push_back((*it)[1].str());
    return ids;
  }
  // Cache frames compared byte for byte but for the step time the header records.
  static void ExpectSameFrames(const fs::path& a, const fs::path& b) {
    ASSERT_EQ(FileNames(a), FileNames(b));
    for (const std::string& name : FileNames(a)) {
      if (!name.ends_with(".tfc")) continue;
      std::string x = ReadText(a / name), y = ReadText(b / name);
      ASSERT_EQ(x.size(), y.size()) << name;
      ASSERT_GE(x.size(), 64u);
      x.replace(60, 4, 4, '\0');  // stepMs: how long the step took
      y.replace(60, 4, 4, '\0');
      EXPECT_TRUE(x == y) << name << " differs";
    }
  }

  TempFolder cluster_;
  bool started_ = false;
  std::unique_ptr<EnvScope> conf_;
};

TEST_F(SlurmCluster, WedgeAndChunkedExportGiveWhatTheyGiveHere) {
  const std::vector<std::string> settings{"--set", "vorticity=1,3,5", "--sheet-frames", "4,9"};
  const fs::path here = work_.path() / "here", farm = work_.path() / "farm";
  std::vector<std::string> args{"wedge", scene_.string(), "-o", here.string()};
  args.insert(args.end(), settings.begin(), settings.end());
  ASSERT_EQ(Run(args).status, 0);
  args[3] = farm.string();
  args.insert(args.end(), {"--farm", "slurm"});
  const Outcome submitted = Run(args);
  ASSERT_EQ(submitted.status, 0) << submitted.err;
  const std::vector<std::string> jobs = JobIds(submitted.out);
  ASSERT_EQ(jobs.size(), 2u) << submitted.out;
  ASSERT_TRUE(WaitForJob(jobs[1])) << "the sheet job did not end";

  std::ifstream hereIn(here / "index.json"), farmIn(farm / "index.json");
  const json a = json::parse(hereIn, nullptr, false), b = json::parse(farmIn, nullptr, false);
  ASSERT_TRUE(b.is_object()) << ReadText(farm / "farm" / "sheet.out");
  ASSERT_EQ(b.at("variants").size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(b["variants"][i]["result"], "baked") << ReadText(farm / "farm" / ("bake_" + std::to_string(i) + ".out"));
    EXPECT_EQ(b["variants"][i]["framesBaked"], 10);
    ExpectSameFrames(a["variants"][i]["cacheFolder"].get<std::string>(), b["variants"][i]["cacheFolder"].get<std::string>());
  }
  EXPECT_TRUE(ReadText(here / "sheet.png") == ReadText(farm / "sheet.png")) << "the sheets differ";

  // A chunked export of a farm variant's cache writes what one export here writes.
  const std::string variant = (farm / "shot_vorticity-3.json").string();
  const fs::path out = fs::path(b["variants"][1]["cacheFolder"].get<std::string>()) / "out";
  ASSERT_EQ(Run({"export-vdb", variant}).status, 0);
  const std::map<std::string, std::string> single = VdbFilesButTheirIds(out);
  fs::remove_all(out);
  const Outcome chunks = Run({"export-vdb", variant, "--farm", "slurm", "--chunk", "3"});
  ASSERT_EQ(chunks.status, 0) << chunks.err;
  ASSERT_EQ(JobIds(chunks.out).size(), 1u) << chunks.out;
  ASSERT_TRUE(WaitForJob(JobIds(chunks.out)[0]));
  EXPECT_EQ(single.size(), 10u);
  EXPECT_TRUE(single == VdbFilesButTheirIds(out)) << "the chunks wrote other files or other bytes";
}

}  // namespace
}  // namespace tf::e2e
