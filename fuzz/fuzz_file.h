// The fuzz targets' input as a file: the readers under test take paths, as the product gives them.
// One file per process in the temporary folder, rewritten for every input.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace tf::fuzz {

inline std::filesystem::path InputFile(const char* name) {
  static const std::filesystem::path folder = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "tfr_fuzz_XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    return std::filesystem::path(pattern);
  }();
  return folder / name;
}

// Writes the input under `name` and returns its path.
inline std::filesystem::path WriteInput(const char* name, const uint8_t* data, size_t size) {
  const std::filesystem::path path = InputFile(name);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
  return path;
}

}  // namespace tf::fuzz
