// Small scenes for the end-to-end tests and what they leave on disk: a burning box under a
// TolvarisFire domain of 40 x 40 x 60 scene units at 16 cells (11 x 11 x 16), outputs of the bake
// switched off.
#pragma once

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/temp_folder.h"
#include "tests/support/tolvaris_program.h"

namespace tf::e2e {

using host::testing::FileNames;
using host::testing::Outcome;
using host::testing::Program;
using host::testing::ReadText;
using host::testing::RunProgram;
using host::testing::TempFolder;
using host::testing::WriteText;

// A scene with a burning box and a TolvarisFire domain above it. `domainParams` are extra
// parameter entries of the domain (JSON objects, comma-separated); the box is the domain's source
// unless `withSource` is false.
inline std::string SceneJson(const std::string& domainParams, bool withSource = true,
                             const std::string& extraNodes = "") {
  std::string params = R"({"name": "sizeX", "value": 40}, {"name": "sizeY", "value": 40},
      {"name": "sizeZ", "value": 60}, {"name": "resolution", "value": 16},
      {"name": "liveMode", "value": 0}, {"name": "outVDB", "value": false},
      {"name": "outPRT", "value": false}, {"name": "outPreview", "value": false})";
  if (withSource) params += R"(, {"name": "emitters", "value": [1]})";
  if (!domainParams.empty()) params += ", " + domainParams;
  return R"({"format": "tolvaris-scene", "version": 1,
  "time": {"frameRate": 30, "startFrame": 0, "endFrame": 10, "currentFrame": 0},
  "metresPerUnit": 0.01,
  "nodes": [
    {"handle": 1, "name": "Log", "position": {"value": [0, 0, 2]},
     "object": {"class": "Box", "blocks": [{"id": 0, "params": [
       {"name": "length", "value": 10}, {"name": "width", "value": 10}, {"name": "height", "value": 4}]}]}},
    {"handle": 2, "name": "Fire", "object": {"class": "TolvarisFire", "blocks": [{"id": 0, "params": [)" +
         params + "]}]}}" + extraNodes + "]}\n";
}

inline std::string Range(int start, int end) {
  return R"({"name": "startFrame", "value": )" + std::to_string(start) + R"(}, {"name": "endFrame", "value": )" +
         std::to_string(end) + "}";
}

inline std::string CachePath(const std::filesystem::path& folder) {
  return R"({"name": "cachePath", "value": ")" + folder.string() + R"("})";
}


inline size_t CountFrames(const std::filesystem::path& folder) {
  size_t n = 0;
  for (const std::string& name : FileNames(folder))
    if (name.starts_with("fire_") && name.ends_with(".tfc")) ++n;
  return n;
}

// The files of a folder by name, VDB files without the unique id each file gets when it is
// written (36 characters after the 21 bytes of the format's opening), so that two exports of
// the same frames compare equal.
inline std::map<std::string, std::string> VdbFilesButTheirIds(const std::filesystem::path& folder) {
  std::map<std::string, std::string> files;
  for (const std::string& name : FileNames(folder)) {
    std::string bytes = ReadText(folder / name);
    if (name.ends_with(".vdb") && bytes.size() > 57) bytes.replace(21, 36, 36, '-');
    files[name] = std::move(bytes);
  }
  return files;
}

}  // namespace tf::e2e
