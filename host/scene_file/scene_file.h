// Scene files: the whole scene as one JSON document.
//
//   {
//     "format": "tolvaris-scene", "version": 1,
//     "time": {"frameRate": 30, "startFrame": 0, "endFrame": 100, "currentFrame": 0},
//     "metresPerUnit": 0.01,
//     "render": {"width": 640, "height": 480},
//     "nodes": [
//       {"handle": 1, "name": "Ball", "parent": 2,
//        "selected": false, "renderable": true, "boxMode": false,
//        "position": {"value": [0, 0, 10], "keys": [{"frame": 0, "value": [0, 0, 10]},
//                                                   {"frame": 24, "value": [50, 0, 10]}]},
//        "rotation": {"value": [0, 0, 0, 1]},
//        "scale": {"value": [1, 1, 1]},
//        "object": {"class": "Sphere", "classId": ["0x7a310002", "0x1c5e0001"],
//                   "blocks": [{"id": 0, "params": [
//                       {"id": 0, "name": "radius", "value": 5,
//                        "keys": [{"frame": 0, "value": 5}, {"frame": 10, "value": 20}]},
//                       {"id": 1, "name": "segments", "value": 16}]}],
//                   "data": null}}
//     ]
//   }
//
// Only "format" and "version" are required; everything else has the defaults of a new scene, node
// or object. Times are frames at the file's frame rate (fractions allowed: the tick is the nearest
// one). A track has a "value", its constant, and optionally "keys". A rotation value is a
// quaternion [x, y, z, w] or, for hand-written files, Euler angles in degrees [x, y, z] applied x
// first. Objects are found by "classId" (two 32-bit words, as "0x..." strings or numbers) or by
// "class" name; a parameter by "id" or by internal "name" (when both are given they must agree).
// Parameter values by type: float and world a number, int an integer, bool true or false, colour
// [r, g, b], filename a string (relative names resolve against the scene file's folder), node a
// node handle or null, node list an array of those. Out-of-range values are clamped to the
// parameter's range, as any set is. "data" is whatever the object's SaveData returned.
//
// Loading is all or nothing: the new scene is built aside and replaces the old one only when every
// part of it loaded; then each object hears PostLoad. A malformed file yields one message naming
// the file and the place (a line and column for syntax, a JSON pointer such as /nodes/2/parent
// otherwise) and leaves the scene as it was. Nesting is limited, numbers are range-checked before
// they are narrowed, node references and parent links are checked (no missing node, no cycle).
// Saving writes "<file>.part" and renames it over the file, so a failed save leaves the old file.
#pragma once

#include <filesystem>
#include <string>

#include "host/scene/scene.h"

namespace host {

inline constexpr int kSceneFileVersion = 1;
inline constexpr int kMaxSceneNesting = 64;
inline constexpr uintmax_t kMaxSceneFileBytes = uintmax_t(256) << 20;

bool LoadScene(Scene& scene, const std::filesystem::path& file, std::string* error);
// On success the scene's file path becomes `file` (made absolute).
bool SaveScene(Scene& scene, const std::filesystem::path& file, std::string* error);
// The document SaveScene writes, as text; empty when an object's SaveData failed.
std::string SceneToText(const Scene& scene);

}  // namespace host
