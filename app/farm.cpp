#include "app/farm.h"

#include <sys/stat.h>

#include <regex>

#include "app/command.h"
#include "app/processes.h"
#include "host/core/atomic_file.h"

namespace app {

namespace fs = std::filesystem;

std::string ShellQuote(const std::string& word) {
  std::string quoted = "'";
  for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string BatchScript(const std::string& jobName, int tasks, const std::string& partition, const fs::path& output,
                        const std::string& body) {
  std::string text = "#!/bin/bash\n#SBATCH --job-name=" + jobName + "\n";
  if (tasks > 0) text += "#SBATCH --array=0-" + std::to_string(tasks - 1) + "\n";
  if (!partition.empty()) text += "#SBATCH --partition=" + partition + "\n";
  text += "#SBATCH --output=" + output.string() + "\n";
  text += "#SBATCH --ntasks=1\n";
  return text + body;
}

bool WriteScript(const fs::path& file, const std::string& text, std::string* message) {
  if (!host::WriteFileAtomically(file, {reinterpret_cast<const uint8_t*>(text.data()), text.size()}, message))
    return false;
  chmod(file.c_str(), 0755);
  return true;
}

std::string Submit(const fs::path& script, const std::string& afterJob, int* status) {
  const std::string sbatch = FindOnPath("sbatch");
  if (sbatch.empty()) {
    Report("--farm slurm: sbatch is not on the PATH (is Slurm installed here?); --dry-run writes the scripts only");
    *status = kExitNoScheduler;
    return {};
  }
  std::vector<std::string> args{sbatch, "--parsable"};
  if (!afterJob.empty()) args.push_back("--dependency=afterany:" + afterJob);
  args.push_back(script.string());
  std::string out, err, message;
  const int ran = RunCollecting(args, out, err, &message);
  static const std::regex id(R"(\s*(\d+)(;\S*)?\s*)");
  std::smatch m;
  if (ran == 0 && std::regex_match(out, m, id)) return m[1].str();
  if (ran < 0) {
    Report(message);
  } else {
    const std::string said = err.empty() ? out : err;
    Report("sbatch refused " + script.string() + " (exit " + std::to_string(ran) + "): " +
           said.substr(0, said.find_last_not_of("\n") + 1));
  }
  *status = kExitRefused;
  return {};
}

std::string ChunkLines(int from, int to, int chunk, int* tasks) {
  *tasks = int((int64_t{to} - from) / chunk + 1);
  return "k=${SLURM_ARRAY_TASK_ID:?not started as a job array task}\n"
         "a=$(( " + std::to_string(from) + " + k * " + std::to_string(chunk) + " ))\n"
         "b=$(( a + " + std::to_string(chunk - 1) + " ))\n"
         "if [ \"$b\" -gt " + std::to_string(to) + " ]; then b=" + std::to_string(to) + "; fi\n";
}

}  // namespace app
