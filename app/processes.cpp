#include "app/processes.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "host/core/platform.h"

extern char** environ;

namespace app {

namespace fs = std::filesystem;

namespace {

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> p;
  for (std::string& t : texts) p.push_back(t.data());
  p.push_back(nullptr);
  return p;
}

pid_t Spawn(std::vector<std::string> args, const fs::path& out, const fs::path& err,
            std::vector<std::string> env, std::string* message) {
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e);
    const std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const std::string& mine : env) replaced = replaced || mine.substr(0, mine.find('=')) == name;
    if (!replaced) env.push_back(entry);
  }
  std::vector<char*> argv = Pointers(args), envp = Pointers(env);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (err == out)
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  else
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (failed == 0) return pid;
  if (message) *message = "cannot start " + args[0] + ": " + std::strerror(failed);
  return -1;
}

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

std::string FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream folders(path ? path : "");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (folder.empty()) continue;
    const fs::path candidate = fs::path(folder) / name;
    std::error_code ec;
    if (fs::is_regular_file(candidate, ec) && access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return {};
}

fs::path ProgramFile() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? host::ExecutableFolder() / "tolvaris" : self;
}

pid_t StartLogged(const std::vector<std::string>& args, const fs::path& log, const std::vector<std::string>& env,
                  std::string* message) {
  return Spawn(args, log, log, env, message);
}

pid_t WaitAny(int* status) {
  int raw = 0;
  pid_t pid;
  while ((pid = waitpid(-1, &raw, 0)) < 0)
    if (errno != EINTR) return -1;
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return pid;
}

int WaitFor(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return 1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int RunCollecting(const std::vector<std::string>& args, std::string& out, std::string& err, std::string* message) {
  char folderName[] = "/tmp/tolvaris-run-XXXXXX";
  if (!mkdtemp(folderName)) {
    if (message) *message = std::string("cannot make a temporary folder: ") + std::strerror(errno);
    return -1;
  }
  const fs::path folder(folderName);
  const pid_t pid = Spawn(args, folder / "out", folder / "err", {}, message);
  const int status = pid > 0 ? WaitFor(pid) : -1;
  out = ReadAll(folder / "out");
  err = ReadAll(folder / "err");
  std::error_code ec;
  fs::remove_all(folder, ec);
  return status;
}

}  // namespace app
