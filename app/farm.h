// The render farm: work handed to Slurm. A job array whose task k does the k-th piece of the work
// (bakes a variant, or exports or previews a chunk of frames) with this program, and optionally a
// follow-up job that runs once every task has ended. Scripts are written whole (never half a
// script under its name) into a folder every node sees; Slurm's own logs go beside them.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace app {

// Exit statuses of the farm commands, beside the program's own.
inline constexpr int kExitNoScheduler = 3;  // sbatch is not on the PATH
inline constexpr int kExitRefused = 4;      // sbatch refused a submission

struct FarmOptions {
  std::string farm;       // "slurm"; empty: run here
  std::string partition;  // empty: the cluster's default
  bool dryRun = false;    // write the scripts, submit nothing
};

// A word for a shell script: in single quotes, a quote inside written as '\''.
std::string ShellQuote(const std::string& word);

// The text of a batch script: the #SBATCH lines (job name, array 0 to tasks - 1 when tasks > 0,
// the partition, Slurm's output file pattern) and then `body`.
std::string BatchScript(const std::string& jobName, int tasks, const std::string& partition,
                        const std::filesystem::path& output, const std::string& body);

// Writes the script (executable) whole. False with the reason.
bool WriteScript(const std::filesystem::path& file, const std::string& text, std::string* message);

// Submits a script with sbatch, after `afterJob` has ended (any outcome) when it is given. The
// job id, or empty with the reason reported and `status` set (kExitNoScheduler or kExitRefused).
std::string Submit(const std::filesystem::path& script, const std::string& afterJob, int* status);

// The task lines of a chunked range: task k gets frames A + k*N to that + N - 1 (at most B), as
// the shell variables a and b. `tasks` is set to the number of chunks.
std::string ChunkLines(int from, int to, int chunk, int* tasks);

}  // namespace app
