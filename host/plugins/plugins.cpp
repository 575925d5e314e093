#include "host/plugins/plugins.h"

#include <dlfcn.h>

#include <algorithm>

#include "host/core/platform.h"
#include "host/objects/class_registry.h"
#include "host/plugins/plugin_abi.h"
#include "host/plugins/publish.h"

namespace host {

namespace fs = std::filesystem;

namespace {

template <class Fn>
Fn Entry(void* handle, const char* name) {
  return reinterpret_cast<Fn>(dlsym(handle, name));
}

// Interfaces in `after` that were not in `before`.
std::vector<FPInterface*> Added(const std::vector<FPInterface*>& before, const std::vector<FPInterface*>& after) {
  std::vector<FPInterface*> added;
  for (FPInterface* i : after)
    if (std::find(before.begin(), before.end(), i) == before.end()) added.push_back(i);
  return added;
}

// Takes the module's interfaces out of the registry while their objects still exist, then
// unloads it.
void Discard(void* handle, const std::vector<FPInterface*>& interfaces) {
  for (FPInterface* i : interfaces) UnregisterInterface(i);
  dlclose(handle);
}

}  // namespace

int PluginManager::LoadFolder(const fs::path& folder, std::vector<std::string>* messages) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    if (messages) messages->push_back("no plug-in folder " + folder.string());
    return 0;
  }
  int loaded = 0;
  for (const fs::path& file : FindFiles(folder, "*.dlo"))
    if (LoadModule(file, messages)) ++loaded;
  return loaded;
}

namespace {

// Registers the module's classes with the host; one that has no descriptor or cannot be
// registered is noted and left out.
template <typename Note>
void RegisterClasses(PluginModule& module, LibNumberClassesFn numberClasses, LibClassDescFn classDesc, Note& note) {
  const int count = numberClasses();
  for (int i = 0; i < count; ++i) {
    ClassDesc* desc = classDesc(i);
    if (!desc) {
      note("class " + std::to_string(i) + " has no descriptor");
      continue;
    }
    std::string why;
    if (!RegisterClassDesc(*desc, &why)) {
      note("class not registered: " + why);
      continue;
    }
    module.classes.push_back(desc);
  }
}

}  // namespace

bool PluginManager::LoadModule(const fs::path& file, std::vector<std::string>* messages) {
  const std::string name = file.filename().string();
  auto note = [&](const std::string& text) {
    if (messages) messages->push_back(name + ": " + text);
  };
  std::error_code ec;
  fs::path path = fs::weakly_canonical(file, ec);
  if (ec) path = fs::absolute(file, ec);
  for (const PluginModule& m : modules_) {
    if (m.file == path) {
      note("already loaded");
      return false;
    }
  }
  if (!fs::is_regular_file(path, ec)) {
    note("skipped: no such file");
    return false;
  }

  const std::vector<FPInterface*> before = Interfaces();
  dlerror();
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    note(std::string("skipped: not a loadable module (") + (why ? why : "unknown reason") + ")");
    return false;
  }
  for (const PluginModule& m : modules_) {
    if (m.handle == handle) {  // the same module by another path
      dlclose(handle);
      note("already loaded as " + m.file.string());
      return false;
    }
  }
  std::vector<FPInterface*> published = Added(before, Interfaces());

  const auto description = Entry<LibDescriptionFn>(handle, "LibDescription");
  const auto numberClasses = Entry<LibNumberClassesFn>(handle, "LibNumberClasses");
  const auto classDesc = Entry<LibClassDescFn>(handle, "LibClassDesc");
  const auto version = Entry<LibVersionFn>(handle, "LibVersion");
  const auto initialize = Entry<LibInitializeFn>(handle, "LibInitialize");
  const std::string missing = std::string(description ? "" : " LibDescription") +
                              (numberClasses ? "" : " LibNumberClasses") + (classDesc ? "" : " LibClassDesc") +
                              (version ? "" : " LibVersion");
  if (!missing.empty()) {
    Discard(handle, published);
    note("skipped: not a plug-in module (it does not export" + missing + ")");
    return false;
  }

  PluginModule module;
  module.file = path;
  module.handle = handle;
  module.version = version();
  if (ApiRelease(module.version) != ApiRelease(kHostApiVersion)) {
    Discard(handle, published);
    note("skipped: built for host release " + std::to_string(ApiRelease(module.version)) + ", this host is release " +
         std::to_string(ApiRelease(kHostApiVersion)));
    return false;
  }
  if (initialize && !initialize()) {
    Discard(handle, Added(before, Interfaces()));
    note("skipped: the module's initialisation failed");
    return false;
  }
  published = Added(before, Interfaces());
  const char* text = description();
  module.description = text ? text : "";

  RegisterClasses(module, numberClasses, classDesc, note);
  for (FPInterface* i : published) module.interfaces.push_back(i->InternalName());
  module.published = std::move(published);
  modules_.push_back(std::move(module));
  return true;
}

void PluginManager::UnloadAll() {
  while (!modules_.empty()) {
    PluginModule& m = modules_.back();
    for (const ClassDesc* d : m.classes) UnregisterClassDesc(d->ClassID());
    if (const auto shutdown = Entry<LibShutdownFn>(m.handle, "LibShutdown")) shutdown();
    // Interfaces the module did not withdraw itself must not outlive its code.
    Discard(m.handle, m.published);
    modules_.pop_back();
  }
}

}  // namespace host
