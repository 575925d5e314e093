// What the bake benchmarks share: a documents folder of their own under the temporary folder, so
// that their caches never touch the user's, and the domain class registered.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

#include "host/core/platform.h"
#include "plugin/fire_obj_desc.h"

namespace tf::bench {

// Makes "<temp>/<name>_<pid>" the documents folder and registers the domain class. False, with
// the reason printed, when the class cannot be registered.
inline bool PrepareBakeBench(const std::string& name, std::filesystem::path& work) {
  work = std::filesystem::temp_directory_path() / (name + "_" + std::to_string(host::ProcessId()));
  std::filesystem::create_directories(work);
  host::SetDocumentsFolder(work);
  std::string why;
  if (!RegisterFireClass(&why)) {
    std::fprintf(stderr, "cannot register the domain class: %s\n", why.c_str());
    return false;
  }
  return true;
}

}  // namespace tf::bench
