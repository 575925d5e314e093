#include "host/objects/primitives.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <numbers>

#include <nlohmann/json.hpp>

#include "host/core/status.h"
#include "host/objects/builtin_class.h"
#include "host/scene/scene.h"

namespace host {

namespace {

constexpr float kTwoPi = 2.0f * std::numbers::pi_v<float>;
constexpr double kMaxSize = 1e7;

// A primitive reads its block 0 at t; the block exists because the class auto-constructs it.
class Primitive : public Object {
 public:
  using Object::Object;
  bool CanConvertToTriMesh() const override { return true; }
  bool GetTriMesh(TimeValue t, TriMesh& mesh, std::string*) const override {
    mesh.Clear();
    Build(t, mesh);
    return true;
  }

 protected:
  virtual void Build(TimeValue t, TriMesh& mesh) const = 0;
  float F(int id, TimeValue t) const { return GetParamBlock(0)->GetFloat(id, t).value_or(0.0f); }
  int I(int id, TimeValue t) const { return GetParamBlock(0)->GetInt(id, t).value_or(0); }
};

void Quad(TriMesh& m, int a, int b, int c, int d) {
  m.faces.push_back({a, b, c});
  m.faces.push_back({a, c, d});
}

// ---- Box ----

class BoxObject final : public Primitive {
 public:
  using Primitive::Primitive;
  void Build(TimeValue t, TriMesh& m) const override {
    const float w = F(kBoxWidth, t) * 0.5f, l = F(kBoxLength, t) * 0.5f, h = F(kBoxHeight, t);
    // Corner i + 2j + 4k has x = ±w by i, y = ±l by j, z = 0 or h by k.
    for (int k = 0; k < 2; ++k)
      for (int j = 0; j < 2; ++j)
        for (int i = 0; i < 2; ++i) m.verts.push_back({i ? w : -w, j ? l : -l, k ? h : 0.0f});
    Quad(m, 0, 2, 3, 1);  // bottom, facing -z
    Quad(m, 4, 5, 7, 6);  // top
    Quad(m, 0, 1, 5, 4);  // front, -y
    Quad(m, 2, 6, 7, 3);  // back, +y
    Quad(m, 0, 4, 6, 2);  // left, -x
    Quad(m, 1, 3, 7, 5);  // right, +x
  }
};

const ParamBlockDesc& BoxBlock() {
  static const ParamBlockDesc d = SimpleBlockDesc({
      WorldParam(kBoxLength, "length", 25, 0, kMaxSize, true, 0, "Length"),
      WorldParam(kBoxWidth, "width", 25, 0, kMaxSize, true, 0, "Width"),
      WorldParam(kBoxHeight, "height", 25, 0, kMaxSize, true, 0, "Height"),
  });
  return d;
}

// ---- Sphere ----

class SphereObject final : public Primitive {
 public:
  using Primitive::Primitive;
  void Build(TimeValue t, TriMesh& m) const override {
    const float r = F(kSphereRadius, t);
    const int segs = I(kSphereSegments, t);
    const int rings = std::max(2, segs / 2);
    m.verts.push_back({0, 0, r});
    for (int i = 1; i < rings; ++i) {
      const float theta = std::numbers::pi_v<float> * float(i) / float(rings);
      const float z = r * std::cos(theta), rho = r * std::sin(theta);
      for (int j = 0; j < segs; ++j) {
        const float phi = kTwoPi * float(j) / float(segs);
        m.verts.push_back({rho * std::cos(phi), rho * std::sin(phi), z});
      }
    }
    m.verts.push_back({0, 0, -r});
    const int bottom = int(m.verts.size()) - 1;
    auto v = [&](int ring, int j) { return 1 + (ring - 1) * segs + (j % segs); };
    for (int j = 0; j < segs; ++j) {
      m.faces.push_back({0, v(1, j), v(1, j + 1)});
      for (int i = 1; i + 1 < rings; ++i) Quad(m, v(i, j), v(i + 1, j), v(i + 1, j + 1), v(i, j + 1));
      m.faces.push_back({bottom, v(rings - 1, j + 1), v(rings - 1, j)});
    }
  }
};

const ParamBlockDesc& SphereBlock() {
  static const ParamBlockDesc d = SimpleBlockDesc({
      WorldParam(kSphereRadius, "radius", 25, 0, kMaxSize, true, 0, "Radius"),
      IntParam(kSphereSegments, "segments", 32, 4, 200, 0, "Segments"),
  });
  return d;
}

// ---- Cylinder ----

class CylinderObject final : public Primitive {
 public:
  using Primitive::Primitive;
  void Build(TimeValue t, TriMesh& m) const override {
    const float r = F(kCylinderRadius, t), h = F(kCylinderHeight, t);
    const int sides = I(kCylinderSides, t);
    m.verts.push_back({0, 0, 0});
    m.verts.push_back({0, 0, h});
    for (int k = 0; k < 2; ++k)
      for (int j = 0; j < sides; ++j) {
        const float phi = kTwoPi * float(j) / float(sides);
        m.verts.push_back({r * std::cos(phi), r * std::sin(phi), k ? h : 0.0f});
      }
    auto bot = [&](int j) { return 2 + (j % sides); };
    auto top = [&](int j) { return 2 + sides + (j % sides); };
    for (int j = 0; j < sides; ++j) {
      Quad(m, bot(j), bot(j + 1), top(j + 1), top(j));
      m.faces.push_back({1, top(j), top(j + 1)});
      m.faces.push_back({0, bot(j + 1), bot(j)});
    }
  }
};

const ParamBlockDesc& CylinderBlock() {
  static const ParamBlockDesc d = SimpleBlockDesc({
      WorldParam(kCylinderRadius, "radius", 15, 0, kMaxSize, true, 0, "Radius"),
      WorldParam(kCylinderHeight, "height", 25, 0, kMaxSize, true, 0, "Height"),
      IntParam(kCylinderSides, "sides", 24, 3, 200, 0, "Sides"),
  });
  return d;
}

// ---- Torus ----

class TorusObject final : public Primitive {
 public:
  using Primitive::Primitive;
  void Build(TimeValue t, TriMesh& m) const override {
    const float R = F(kTorusRadius1, t), r = F(kTorusRadius2, t);
    const int segs = I(kTorusSegments, t), sides = I(kTorusSides, t);
    for (int i = 0; i < segs; ++i) {
      const float phi = kTwoPi * float(i) / float(segs);
      for (int j = 0; j < sides; ++j) {
        const float theta = kTwoPi * float(j) / float(sides);
        const float rho = R + r * std::cos(theta);
        m.verts.push_back({rho * std::cos(phi), rho * std::sin(phi), r * std::sin(theta)});
      }
    }
    auto v = [&](int i, int j) { return (i % segs) * sides + (j % sides); };
    for (int i = 0; i < segs; ++i)
      for (int j = 0; j < sides; ++j) Quad(m, v(i, j), v(i + 1, j), v(i + 1, j + 1), v(i, j + 1));
  }
};

const ParamBlockDesc& TorusBlock() {
  static const ParamBlockDesc d = SimpleBlockDesc({
      WorldParam(kTorusRadius1, "radius1", 20, 0, kMaxSize, true, 0, "Radius 1"),
      WorldParam(kTorusRadius2, "radius2", 5, 0, kMaxSize, true, 0, "Radius 2"),
      IntParam(kTorusSegments, "segments", 24, 3, 200, 0, "Segments"),
      IntParam(kTorusSides, "sides", 12, 3, 200, 0, "Sides"),
  });
  return d;
}

// ---- Plane ----

class PlaneObject final : public Primitive {
 public:
  using Primitive::Primitive;
  void Build(TimeValue t, TriMesh& m) const override {
    const float w = F(kPlaneWidth, t), l = F(kPlaneLength, t);
    const int nx = I(kPlaneWidthSegs, t), ny = I(kPlaneLengthSegs, t);
    for (int j = 0; j <= ny; ++j)
      for (int i = 0; i <= nx; ++i)
        m.verts.push_back({w * (float(i) / float(nx) - 0.5f), l * (float(j) / float(ny) - 0.5f), 0.0f});
    auto v = [&](int i, int j) { return j * (nx + 1) + i; };
    for (int j = 0; j < ny; ++j)
      for (int i = 0; i < nx; ++i) Quad(m, v(i, j), v(i + 1, j), v(i + 1, j + 1), v(i, j + 1));
  }
};

const ParamBlockDesc& PlaneBlock() {
  static const ParamBlockDesc d = SimpleBlockDesc({
      WorldParam(kPlaneLength, "length", 50, 0, kMaxSize, true, 0, "Length"),
      WorldParam(kPlaneWidth, "width", 50, 0, kMaxSize, true, 0, "Width"),
      IntParam(kPlaneLengthSegs, "lengthSegs", 1, 1, 100, 0, "Length segments"),
      IntParam(kPlaneWidthSegs, "widthSegs", 1, 1, 100, 0, "Width segments"),
  });
  return d;
}

const ParamBlockDesc& MeshBlock() {
  static const ParamBlockDesc d = SimpleBlockDesc({FilenameParam(kMeshFile, "file", 0, "OBJ file")});
  return d;
}

}  // namespace

const ClassDesc& BoxClassDesc() {
  static const BuiltinClassDesc<BoxObject> d(kBoxClassId, kGeomObjectSuperClass, "Box", "Standard Primitives", BoxBlock());
  return d;
}
const ClassDesc& SphereClassDesc() {
  static const BuiltinClassDesc<SphereObject> d(kSphereClassId, kGeomObjectSuperClass, "Sphere", "Standard Primitives",
                                                SphereBlock());
  return d;
}
const ClassDesc& CylinderClassDesc() {
  static const BuiltinClassDesc<CylinderObject> d(kCylinderClassId, kGeomObjectSuperClass, "Cylinder",
                                                  "Standard Primitives", CylinderBlock());
  return d;
}
const ClassDesc& TorusClassDesc() {
  static const BuiltinClassDesc<TorusObject> d(kTorusClassId, kGeomObjectSuperClass, "Torus", "Standard Primitives",
                                               TorusBlock());
  return d;
}
const ClassDesc& PlaneClassDesc() {
  static const BuiltinClassDesc<PlaneObject> d(kPlaneClassId, kGeomObjectSuperClass, "Plane", "Standard Primitives",
                                               PlaneBlock());
  return d;
}
const ClassDesc& MeshClassDesc() {
  static const BuiltinClassDesc<MeshObject> d(kMeshClassId, kGeomObjectSuperClass, "Mesh", "Geometry", MeshBlock());
  return d;
}

// ---- Mesh ----

bool MeshObject::SetMesh(TriMesh mesh, std::string* error) {
  for (size_t i = 0; i < mesh.verts.size(); ++i) {
    const Point3& p = mesh.verts[i];
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z))
      return Fail(error, "vertex " + std::to_string(i) + " is not finite");
  }
  if (!mesh.CheckIndices(error)) return false;
  inline_ = std::move(mesh);
  NotifyDependents();
  return true;
}

bool MeshObject::GetTriMesh(TimeValue t, TriMesh& mesh, std::string* error) const {
  const std::string file = GetParamBlock(0)->GetString(kMeshFile, t).value_or("");
  if (file.empty()) {
    mesh = inline_;
    return true;
  }
  const std::filesystem::path path = GetScene() ? GetScene()->ResolvePath(file) : std::filesystem::path(file);
  std::error_code timeError, sizeError;
  const auto stamp = std::filesystem::last_write_time(path, timeError);
  const auto size = std::filesystem::file_size(path, sizeError);
  const bool known = !timeError && !sizeError;
  if (known && path == cachedPath_ && stamp == cachedTime_ && size == cachedSize_) {
    // A file that did not load fails again without being read again.
    if (!cachedError_.empty()) return Fail(error, cachedError_);
    mesh = cached_;
    return true;
  }
  cachedPath_.clear();
  std::string why;
  const bool loaded = LoadObjFile(path, mesh, &why);
  if (known) {
    cached_ = loaded ? mesh : TriMesh{};
    cachedError_ = loaded ? std::string() : why;
    cachedPath_ = path;
    cachedTime_ = stamp;
    cachedSize_ = size;
  }
  return loaded || Fail(error, why);
}

nlohmann::json MeshObject::SaveData() const {
  if (inline_.verts.empty() && inline_.faces.empty()) return nullptr;
  nlohmann::json verts = nlohmann::json::array(), faces = nlohmann::json::array();
  for (const Point3& p : inline_.verts) verts.push_back({p.x, p.y, p.z});
  for (const auto& f : inline_.faces) faces.push_back({f[0], f[1], f[2]});
  return {{"vertices", std::move(verts)}, {"faces", std::move(faces)}};
}

bool MeshObject::LoadData(const nlohmann::json& data, std::string* error) {
  if (data.is_null()) {
    inline_.Clear();
    return true;
  }
  if (!data.is_object()) return Fail(error, "expected an object with \"vertices\" and \"faces\"");
  for (const auto& [key, value] : data.items())
    if (key != "vertices" && key != "faces") return Fail(error, "unknown key \"" + key + "\"");
  TriMesh mesh;
  auto triple = [&](const nlohmann::json& j, const std::string& where, auto&& take) {
    if (!j.is_array() || j.size() != 3) return Fail(error, where + ": expected an array of three numbers");
    for (int k = 0; k < 3; ++k)
      if (!j[size_t(k)].is_number()) return Fail(error, where + ": expected an array of three numbers");
    return take(j);
  };
  if (data.contains("vertices")) {
    const nlohmann::json& vs = data["vertices"];
    if (!vs.is_array()) return Fail(error, "/vertices: expected an array");
    for (size_t i = 0; i < vs.size(); ++i) {
      const std::string where = "/vertices/" + std::to_string(i);
      if (!triple(vs[i], where, [&](const nlohmann::json& j) {
            Point3 p;
            for (int k = 0; k < 3; ++k) {
              const double c = j[size_t(k)].get<double>();
              if (!std::isfinite(c) || std::fabs(c) > FLT_MAX) return Fail(error, where + ": coordinate out of range");
              p[k] = float(c);
            }
            mesh.verts.push_back(p);
            return true;
          }))
        return false;
    }
  }
  if (data.contains("faces")) {
    const nlohmann::json& fs = data["faces"];
    if (!fs.is_array()) return Fail(error, "/faces: expected an array");
    for (size_t i = 0; i < fs.size(); ++i) {
      const std::string where = "/faces/" + std::to_string(i);
      if (!triple(fs[i], where, [&](const nlohmann::json& j) {
            std::array<int, 3> f{};
            for (int k = 0; k < 3; ++k) {
              const nlohmann::json& n = j[size_t(k)];
              if (!n.is_number_integer()) return Fail(error, where + ": vertex indices must be integers");
              // Compared as 64-bit numbers before narrowing: 3e10 must not wrap into range.
              const bool neg = n.is_number_unsigned() ? false : n.get<int64_t>() < 0;
              if (neg || n.get<uint64_t>() >= mesh.verts.size())
                return Fail(error, where + ": vertex index " + n.dump() + " is not one of the " +
                                       std::to_string(mesh.verts.size()) + " vertices");
              f[size_t(k)] = int(n.get<uint64_t>());
            }
            mesh.faces.push_back(f);
            return true;
          }))
        return false;
    }
  }
  inline_ = std::move(mesh);
  return true;
}

}  // namespace host
