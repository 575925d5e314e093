// Helpers of the VDB tests: our files read back by the real OpenVDB library, through the Python
// reader beside the tests (it imports only under the system's own /usr/bin/python3).
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <array>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

namespace tf::testing {

// The file as the library sees it: {"grids": [{name, class, metadata, voxelSize, origin,
// activeVoxelCount, bboxMin, bboxMax, voxels: [[x, y, z, v], ...]}]}. Null (and a test failure)
// when the library refuses the file.
inline nlohmann::json ReadVdbWithLibrary(const std::filesystem::path& file, bool values = true) {
  std::string command = "/usr/bin/python3 '" TFR_IO_TEST_DIR "/read_vdb.py' '" + file.string() + "'";
  if (!values) command += " --no-values";
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) {
    ADD_FAILURE() << "cannot run " << command;
    return nullptr;
  }
  std::string text;
  char buffer[65536];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
  const int status = pclose(pipe);
  if (status != 0) {
    ADD_FAILURE() << "the OpenVDB library refused " << file << " (status " << status << ")";
    return nullptr;
  }
  nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
  if (json.is_discarded()) ADD_FAILURE() << "reader output is not JSON: " << text.substr(0, 200);
  return json;
}

using VoxelMap = std::map<std::array<int, 3>, float>;

// The active voxels of one grid of the reader's output. Values are float32 widened to double by
// the reader, so narrowing them back is exact.
inline VoxelMap ActiveVoxels(const nlohmann::json& grid) {
  VoxelMap voxels;
  for (const auto& v : grid.at("voxels")) {
    if (v.at(0).is_string()) {
      ADD_FAILURE() << "unexpected active tile in grid " << grid.at("name");
      continue;
    }
    voxels[{v.at(0).get<int>(), v.at(1).get<int>(), v.at(2).get<int>()}] = static_cast<float>(v.at(3).get<double>());
  }
  return voxels;
}

inline const nlohmann::json* FindGrid(const nlohmann::json& file, const std::string& name) {
  for (const auto& g : file.at("grids")) {
    if (g.at("name") == name) return &g;
  }
  return nullptr;
}

}  // namespace tf::testing
