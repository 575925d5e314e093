// tolvaris: the Tolvaris Fire host on the command line.
//
//   tolvaris [--documents DIR] [--plugins DIR] COMMAND ...
//
// The common options may also follow the command. A wrong command line prints one line and exits
// with status 2; a missing file or a failed command exits with 1; Ctrl-C sets the host's stop
// request, which long commands and scripts obey, and a second Ctrl-C ends the program.
#include <filesystem>
#include <iostream>
#include <vector>

#include "app/command.h"
#include "host/core/atomic_file.h"
#include "host/core/platform.h"

#ifndef TFR_VERSION
#define TFR_VERSION "unknown"
#endif

namespace app {

void Report(const std::string& message) { std::cerr << "tolvaris: " << message << std::endl; }

namespace {

namespace fs = std::filesystem;

struct CommonOptions {
  std::string documents;
  std::string plugins;
};

// Applies the common options and loads the plug-ins. False when a named folder is missing.
bool Prepare(const CommonOptions& options, Session& session) {
  std::error_code ec;
  if (!options.documents.empty()) {
    if (!fs::is_directory(options.documents, ec)) {
      Report("--documents: no such folder: " + options.documents);
      return false;
    }
    host::SetDocumentsFolder(fs::absolute(options.documents, ec));
    session.commonArgs = {"--documents", fs::absolute(options.documents, ec).lexically_normal().string()};
  }
  fs::path plugins = options.plugins;
  if (plugins.empty()) {
    // The default folder is optional: without it the host simply has no plug-ins.
    plugins = host::ExecutableFolder() / "plugins";
    if (!fs::is_directory(plugins, ec)) return true;
  } else if (!fs::is_directory(plugins, ec)) {
    Report("--plugins: no such folder: " + options.plugins);
    return false;
  }
  session.commonArgs.push_back("--plugins");
  session.commonArgs.push_back(fs::absolute(plugins, ec).lexically_normal().string());
  std::vector<std::string> messages;
  session.plugins.LoadFolder(plugins, &messages);
  for (const std::string& m : messages) Report(m);
  return true;
}

int Main(int argc, char** argv) {
  CLI::App cli("Tolvaris Fire: bake, export and preview fire and smoke from the shell.", "tolvaris");
  cli.set_version_flag("--version", "tolvaris " TFR_VERSION);
  cli.footer("Exit status: 0 done, 1 failed (missing file, script error), 2 wrong command line, 130 stopped by Ctrl-C.");
  cli.require_subcommand(0, 1);

  CommonOptions options;
  cli.add_option("--documents", options.documents,
                 "use DIR as the user's documents folder (presets and caches live there)")
      ->type_name("DIR");
  cli.add_option("--plugins", options.plugins, "load the plug-in modules (*.dlo) of DIR; default: plugins beside tolvaris")
      ->type_name("DIR");

  std::vector<std::unique_ptr<Command>> commands;
  commands.push_back(MakeSceneCommand());
  commands.push_back(MakeRunCommand());
  commands.push_back(MakeSimulateCommand());
  commands.push_back(MakeExportVdbCommand());
  commands.push_back(MakePreviewCommand());
  commands.push_back(MakeCompositeCommand());
  commands.push_back(MakeViewportCommand());
  commands.push_back(MakeLiveCommand());
  commands.push_back(MakePresetCommand());
  commands.push_back(MakeStudioCommand());
  commands.push_back(MakeWedgeCommand());
  commands.push_back(MakeWedgeSheetCommand());
  for (auto& c : commands) {
    CLI::App* sub = cli.add_subcommand(c->Name(), c->Summary());
    sub->fallthrough();
    c->Define(*sub);
  }

  try {
    cli.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return cli.exit(e);  // --help, --version
    Report(e.what());
    return kExitUsage;
  }

  Command* chosen = nullptr;
  for (auto& c : commands)
    if (cli.got_subcommand(c->Name())) chosen = c.get();
  if (!chosen) {
    Report("no command given; 'tolvaris --help' lists the commands");
    return kExitUsage;
  }

  host::InstallStopHandler();
  // A write past the file-size limit fails with its message instead of ending the program.
  host::IgnoreFileSizeSignal();
  host::ClearStop();
  Session session;
  if (!Prepare(options, session)) return kExitFailed;
  return chosen->Run(session);
}

}  // namespace
}  // namespace app

int main(int argc, char** argv) {
  try {
    return app::Main(argc, argv);
  } catch (const std::exception& e) {
    app::Report(e.what());
    return app::kExitFailed;
  }
}
