// Runs the built tolvaris program (TFR_TOLVARIS) for the program and end-to-end tests: its output goes to files, it can be
// interrupted like a user pressing Ctrl-C, and it is killed when it runs far too long.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_folder.h"

extern char** environ;

namespace host::testing {

struct Outcome {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
};

class Program {
 public:
  explicit Program(const std::vector<std::string>& args) {
    std::vector<std::string> all{TFR_TOLVARIS};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (io_ / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, (io_ / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Program() {
    if (pid_ > 0 && !ended_) {
      kill(pid_, SIGKILL);
      int status = 0;
      waitpid(pid_, &status, 0);
    }
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // False once the program has ended; its status is kept for Wait.
  bool Running() {
    if (pid_ <= 0 || ended_) return false;
    if (waitpid(pid_, &status_, WNOHANG) == 0) return true;
    ended_ = true;
    return false;
  }
  pid_t pid() const { return pid_; }
  void Interrupt() const {
    if (pid_ > 0) kill(pid_, SIGINT);
  }

  // Waits for the end (killing the program after `seconds`) and collects what it wrote.
  Outcome Wait(int seconds = 120) {
    Outcome o;
    if (pid_ <= 0) return o;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = status_;
    while (!ended_ && waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    o.out = ReadText(io_ / "out");
    o.err = ReadText(io_ / "err");
    return o;
  }

 private:
  TempFolder io_;
  pid_t pid_ = -1;
  bool ended_ = false;
  int status_ = 0;
};

inline Outcome RunProgram(const std::vector<std::string>& args, int seconds = 120) {
  return Program(args).Wait(seconds);
}

}  // namespace host::testing
