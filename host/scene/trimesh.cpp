#include "host/scene/trimesh.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <fstream>

#include <tiny_obj_loader.h>

#include "host/core/status.h"
#include "host/core/text.h"

namespace host {

namespace {
// The loader's messages end in newlines and sometimes hold several lines.
std::string OneLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  for (char& c : text)
    if (c == '\n' || c == '\r') c = ' ';
  return text;
}

// OBJ files are text: a zero byte near the start means something else was named (an image, a
// file of zeros), which is refused at once instead of being scanned to its end.
bool HoldsBinaryData(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  char head[4096];
  in.read(head, sizeof head);
  return std::memchr(head, '\0', size_t(in.gcount())) != nullptr;
}
}  // namespace

bool TriMesh::CheckIndices(std::string* error) const {
  const size_t n = verts.size();
  for (size_t f = 0; f < faces.size(); ++f)
    for (int idx : faces[f])
      if (idx < 0 || size_t(idx) >= n) {
        SetError(error, "face " + std::to_string(f + 1) + " refers to vertex " + std::to_string(idx) +
                            ", but there are " + std::to_string(n) + " vertices");
        return false;
      }
  return true;
}

bool LoadObjFile(const std::filesystem::path& path, TriMesh& mesh, std::string* error) {
  mesh.Clear();
  const std::string name = path.string();
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    return Fail(error, name + ": no such file");
  }
  if (HoldsBinaryData(path)) return Fail(error, name + ": not an OBJ file (binary data)");
  tinyobj::ObjReaderConfig config;
  // We triangulate ourselves, after checking the indices: the loader's own triangulation reads
  // vertex positions through unchecked indices.
  config.triangulate = false;
  config.vertex_color = false;
  tinyobj::ObjReader reader;
  if (!reader.ParseFromFile(name, config)) {
    const std::string why = OneLine(reader.Error());
    return Fail(error, name + ": " + (why.empty() ? "not a readable OBJ file" : why));
  }

  TriMesh out;
  const std::vector<tinyobj::real_t>& v = reader.GetAttrib().vertices;
  const size_t nv = v.size() / 3;
  out.verts.reserve(nv);
  for (size_t i = 0; i < nv; ++i) {
    const double x = v[3 * i], y = v[3 * i + 1], z = v[3 * i + 2];
    for (double c : {x, y, z})
      if (!std::isfinite(c) || std::fabs(c) > FLT_MAX) {
        return Fail(error, name + ": vertex " + std::to_string(i + 1) + " has a coordinate out of range");
      }
    out.verts.push_back({float(x), float(y), float(z)});
  }

  size_t faceNo = 0;  // counted over every group in file order, from 1 as OBJ counts
  for (const tinyobj::shape_t& shape : reader.GetShapes()) {
    const tinyobj::mesh_t& m = shape.mesh;
    size_t at = 0;
    for (const unsigned int corners : m.num_face_vertices) {
      ++faceNo;
      if (at + corners > m.indices.size()) {
        return Fail(error, name + ": face " + std::to_string(faceNo) + " is cut short");
      }
      for (size_t k = 0; k < corners; ++k) {
        const int idx = m.indices[at + k].vertex_index;
        if (idx < 0 || size_t(idx) >= nv) {
          // The loader has already made indices zero-based (and relative ones absolute).
          const long long shown = idx >= 0 ? (long long)idx + 1 : (long long)idx - (long long)nv;
          SetError(error, name + ": face " + std::to_string(faceNo) + " refers to vertex " +
                              std::to_string(shown) + ", but the file has " + std::to_string(nv) +
                              " vertices");
          return false;
        }
      }
      for (size_t k = 1; k + 1 < corners; ++k)
        out.faces.push_back({m.indices[at].vertex_index, m.indices[at + k].vertex_index,
                             m.indices[at + k + 1].vertex_index});
      at += corners;
    }
  }
  mesh = std::move(out);
  return true;
}

double SignedVolume(const TriMesh& mesh) {
  double vol = 0.0;
  for (const auto& f : mesh.faces) {
    const Point3 &a = mesh.verts[f[0]], &b = mesh.verts[f[1]], &c = mesh.verts[f[2]];
    vol += (double(a.x) * (double(b.y) * c.z - double(b.z) * c.y) -
            double(a.y) * (double(b.x) * c.z - double(b.z) * c.x) +
            double(a.z) * (double(b.x) * c.y - double(b.y) * c.x));
  }
  return vol / 6.0;
}

double SurfaceArea(const TriMesh& mesh) {
  double area = 0.0;
  for (const auto& f : mesh.faces) {
    const Point3 &a = mesh.verts[f[0]], &b = mesh.verts[f[1]], &c = mesh.verts[f[2]];
    area += 0.5 * double(Length(Cross(b - a, c - a)));
  }
  return area;
}

}  // namespace host
