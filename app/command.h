// The commands of the `tolvaris` program. Each command defines its own options on its CLI11
// subcommand and runs once the common options are applied and the plug-ins are loaded. A new
// command is one class and one line in the list in main.cpp.
#pragma once

#include <CLI/CLI.hpp>

#include <memory>
#include <string>
#include <vector>

#include "host/plugins/plugins.h"
#include "host/scene/scene.h"

namespace app {

// Exit statuses of the program.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;       // a file is missing or a command failed
inline constexpr int kExitUsage = 2;        // the command line itself is wrong
inline constexpr int kExitInterrupted = 130;  // stopped by Ctrl-C

// What every command finds ready when it runs.
struct Session {
  host::PluginManager plugins;
  // The common options as this run took them (absolute folders), for starting copies of the
  // program that work with the same documents and plug-ins: the bakes of a wedge, farm jobs.
  std::vector<std::string> commonArgs;
  // The scene the commands work on: loaded with --scene, or empty. It is declared after the
  // plug-ins so that it goes first: its objects may belong to a plug-in's classes.
  host::Scene scene;
};

class Command {
 public:
  virtual ~Command() = default;
  virtual const char* Name() const = 0;
  virtual const char* Summary() const = 0;
  // Adds the command's options and positional arguments to its subcommand.
  virtual void Define(CLI::App& command) = 0;
  // Runs the command and returns the exit status; messages go to stderr, prefixed "tolvaris: ".
  virtual int Run(Session& session) = 0;
};

std::unique_ptr<Command> MakeRunCommand();
std::unique_ptr<Command> MakeSceneCommand();
std::unique_ptr<Command> MakeSimulateCommand();
std::unique_ptr<Command> MakeExportVdbCommand();
std::unique_ptr<Command> MakePreviewCommand();
std::unique_ptr<Command> MakeCompositeCommand();
std::unique_ptr<Command> MakeViewportCommand();
std::unique_ptr<Command> MakeLiveCommand();
std::unique_ptr<Command> MakePresetCommand();
std::unique_ptr<Command> MakeStudioCommand();
std::unique_ptr<Command> MakeWedgeCommand();
std::unique_ptr<Command> MakeWedgeSheetCommand();

// Prints "tolvaris: <message>" on stderr.
void Report(const std::string& message);

}  // namespace app
