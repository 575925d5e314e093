// Triangle meshes: what geometric objects turn into when they are evaluated, and OBJ files.
#pragma once

#include <array>
#include <filesystem>
#include <string>
#include <vector>

#include "host/core/math.h"

namespace host {

struct TriMesh {
  std::vector<Point3> verts;
  // Three vertex indices per face, counter-clockwise seen from outside.
  std::vector<std::array<int, 3>> faces;

  void Clear() { verts.clear(); faces.clear(); }
  // Every index lies in 0 .. verts.size() - 1; otherwise a message names the first bad face.
  bool CheckIndices(std::string* error) const;
};

// Reads the vertices and faces of an OBJ file (normals, texture coordinates, groups and materials
// are ignored). Polygons with more than three corners become triangle fans; a face referring to a
// vertex the file does not have fails the whole load with a message naming the file and the face.
bool LoadObjFile(const std::filesystem::path& path, TriMesh& mesh, std::string* error);

// Signed volume enclosed by a closed mesh; positive when the faces wind outwards.
double SignedVolume(const TriMesh& mesh);
// Total area of the faces.
double SurfaceArea(const TriMesh& mesh);

}  // namespace host
