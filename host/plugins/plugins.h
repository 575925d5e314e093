// Plug-in loading: the host finds the *.dlo modules of its plug-in folder, calls their entry points
// (host/plugins/plugin_abi.h) and registers their class descriptors; the interfaces they publish while
// loading are noted as theirs. Modules stay loaded until the manager unloads them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "host/scene/class_desc.h"

namespace host {

class FPInterface;

struct PluginModule {
  std::filesystem::path file;
  std::string description;
  uint32_t version = 0;
  std::vector<const ClassDesc*> classes;  // registered from LibClassDesc
  std::vector<std::string> interfaces;  // names of the interfaces published while it loaded
  std::vector<FPInterface*> published;  // and the interfaces themselves
  void* handle = nullptr;
};

class PluginManager {
 public:
  PluginManager() = default;
  ~PluginManager() { UnloadAll(); }
  PluginManager(const PluginManager&) = delete;
  PluginManager& operator=(const PluginManager&) = delete;

  // Loads every *.dlo file of the folder in name order and returns how many loaded. A file that
  // is not a module of this host is skipped with a message; other files are ignored.
  int LoadFolder(const std::filesystem::path& folder, std::vector<std::string>* messages);
  // Loads one module. False, with the reason in `messages`, when it was not loaded; warnings
  // about a loaded module (a class it could not register) go there too.
  bool LoadModule(const std::filesystem::path& file, std::vector<std::string>* messages);
  // Shuts down and unloads every module, the last loaded first.
  void UnloadAll();

  const std::vector<PluginModule>& Modules() const { return modules_; }

 private:
  std::vector<PluginModule> modules_;
};

}  // namespace host
