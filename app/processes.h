// Other programs the tolvaris program starts: its own copies for the bakes of a wedge, and the
// scheduler's commands (sbatch) for the farm.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace app {

// The full path of `name` found on the PATH; empty when it is not there (or not executable).
std::string FindOnPath(const std::string& name);

// This program's own file, for starting copies of it.
std::filesystem::path ProgramFile();

// Starts args[0] (a path) with args, stdin from /dev/null and stdout and stderr to `log`
// (created or truncated), with `env` ("NAME=value") added to this process's environment. The
// process id, or -1 with `message` set.
pid_t StartLogged(const std::vector<std::string>& args, const std::filesystem::path& log,
                  const std::vector<std::string>& env, std::string* message);

// Waits for any started process to end; its id (-1 when none is left) and in `status` its exit
// status, or 128 + the signal that ended it.
pid_t WaitAny(int* status);

// Waits for a started process; its exit status, or 128 + the signal that ended it.
int WaitFor(pid_t pid);

// Runs args[0] to its end with stdout and stderr collected. Its exit status (128 + signal when
// killed), or -1 with `message` set when it could not start.
int RunCollecting(const std::vector<std::string>& args, std::string& out, std::string& err, std::string* message);

}  // namespace app
