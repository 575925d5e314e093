// What the scene file's reader, writer and printer share: the format's name, how a class id word
// is written, and the layout of the written document.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "host/core/text.h"

namespace host {

// The writer keeps the document's keys in the order it puts them.
using ojson = nlohmann::ordered_json;

inline constexpr const char* kSceneFormatName = "tolvaris-scene";

// A class id word as files and messages show it: "0x" and eight hex digits.
inline std::string HexWord(uint32_t v) { return Format("0x%08x", v); }

// The document as text for people reading and diffing scene files (scene_printer.cpp): a key, a
// point or a short parameter stays on one line, everything larger opens up with two spaces per
// level. No final newline.
std::string PrintDocument(const ojson& document);

}  // namespace host
