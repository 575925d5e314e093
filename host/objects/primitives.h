// Geometric objects: procedural primitives with animatable sizes, and meshes from OBJ files or
// given in memory. All of them evaluate to a closed triangle mesh (the plane to an open one) whose
// faces wind counter-clockwise seen from outside.
//
// Placement in object space: the box and the cylinder stand on their pivot (z from 0 up to the
// height), the sphere and the torus are centred on it (the torus lies in the xy plane), and the
// plane lies in the xy plane facing +z. Widths run along x, lengths along y.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "host/scene/objects.h"

namespace host {

inline constexpr ClassId kBoxClassId{0x7a310001, 0x1c5e0001};
inline constexpr ClassId kSphereClassId{0x7a310002, 0x1c5e0001};
inline constexpr ClassId kCylinderClassId{0x7a310003, 0x1c5e0001};
inline constexpr ClassId kTorusClassId{0x7a310004, 0x1c5e0001};
inline constexpr ClassId kPlaneClassId{0x7a310005, 0x1c5e0001};
inline constexpr ClassId kMeshClassId{0x7a310006, 0x1c5e0001};

// Parameter ids of each class's block 0. Sizes are world values and animatable; segment counts are
// ints.
enum BoxParam : int { kBoxLength = 0, kBoxWidth = 1, kBoxHeight = 2 };
enum SphereParam : int { kSphereRadius = 0, kSphereSegments = 1 };
enum CylinderParam : int { kCylinderRadius = 0, kCylinderHeight = 1, kCylinderSides = 2 };
enum TorusParam : int { kTorusRadius1 = 0, kTorusRadius2 = 1, kTorusSegments = 2, kTorusSides = 3 };
enum PlaneParam : int { kPlaneLength = 0, kPlaneWidth = 1, kPlaneLengthSegs = 2, kPlaneWidthSegs = 3 };
enum MeshParam : int { kMeshFile = 0 };

const ClassDesc& BoxClassDesc();       // "Box": length, width, height
const ClassDesc& SphereClassDesc();    // "Sphere": radius, segments
const ClassDesc& CylinderClassDesc();  // "Cylinder": radius, height, sides
const ClassDesc& TorusClassDesc();     // "Torus": radius1 (ring), radius2 (tube), segments, sides
const ClassDesc& PlaneClassDesc();     // "Plane": length, width, lengthSegs, widthSegs
const ClassDesc& MeshClassDesc();      // "Mesh": file

// A mesh from the OBJ file named by its `file` parameter (relative names resolve against the scene
// file's folder) or, while that is empty, the triangles given with SetMesh, which the scene file
// keeps as the object's own data. The file is read again when its name or modification time changes.
class MeshObject : public Object {
 public:
  explicit MeshObject(const ClassDesc& desc) : Object(desc) {}
  // False, keeping the old mesh, when an index is out of range or a coordinate is not finite.
  bool SetMesh(TriMesh mesh, std::string* error = nullptr);
  const TriMesh& InlineMesh() const { return inline_; }

  bool CanConvertToTriMesh() const override { return true; }
  bool GetTriMesh(TimeValue t, TriMesh& mesh, std::string* error = nullptr) const override;
  nlohmann::json SaveData() const override;
  bool LoadData(const nlohmann::json& data, std::string* error) override;

 private:
  TriMesh inline_;
  // The last file read, with its time and size, and its mesh or why it did not load: a mesh is
  // evaluated every frame, the file rarely changes.
  mutable std::filesystem::path cachedPath_;
  mutable std::filesystem::file_time_type cachedTime_{};
  mutable std::uintmax_t cachedSize_ = 0;
  mutable TriMesh cached_;
  mutable std::string cachedError_;
};

}  // namespace host
