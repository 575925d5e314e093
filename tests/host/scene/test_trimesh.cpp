// OBJ files read into triangle meshes.
#include <string>

#include "tests/host/scene/scene_test_util.h"

namespace host {
namespace {

using test::TempFolder;

TEST(ObjFiles, QuadsAndPolygonsBecomeTriangles) {
  TempFolder dir;
  TriMesh m;
  std::string error;
  ASSERT_TRUE(LoadObjFile(dir.Write("cube.obj", test::kQuadCubeObj), m, &error)) << error;
  EXPECT_EQ(m.verts.size(), 8u);
  EXPECT_EQ(m.faces.size(), 12u);
  EXPECT_NEAR(SignedVolume(m), 1.0, 1e-6);

  // A pentagon fans into three triangles; negative indices count back from the last vertex.
  const auto p = dir.Write("poly.obj",
                           "v 0 0 0\nv 2 0 0\nv 3 1 0\nv 1 2 0\nv -1 1 0\n"
                           "f 1 2 3 4 5\nf -3 -2 -1\n");
  ASSERT_TRUE(LoadObjFile(p, m, &error)) << error;
  ASSERT_EQ(m.faces.size(), 4u);
  EXPECT_EQ(m.faces[3], (std::array<int, 3>{2, 3, 4}));
}

TEST(ObjFiles, BadIndicesAndMissingFilesFailWithTheFileNamed) {
  TempFolder dir;
  TriMesh m;
  std::string error;
  const auto big = dir.Write("big.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 0 0 1\nf 1 2 3\nf 1 2 3 9\n");
  EXPECT_FALSE(LoadObjFile(big, m, &error));
  EXPECT_NE(error.find(big.string()), std::string::npos) << error;
  EXPECT_NE(error.find("face 2 refers to vertex 9"), std::string::npos) << error;
  EXPECT_TRUE(m.faces.empty());

  const auto neg = dir.Write("neg.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 -7\n");
  EXPECT_FALSE(LoadObjFile(neg, m, &error));
  EXPECT_NE(error.find("face 1 refers to vertex -7"), std::string::npos) << error;

  const auto zero = dir.Write("zero.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 0 1 2\n");
  EXPECT_FALSE(LoadObjFile(zero, m, &error));
  EXPECT_NE(error.find("zero.obj"), std::string::npos) << error;

  EXPECT_FALSE(LoadObjFile(dir.path() / "none.obj", m, &error));
  EXPECT_NE(error.find("no such file"), std::string::npos) << error;
  // A file of zeros is refused from its first bytes, not scanned to its end.
  const auto zeros = dir.Write("zeros.obj", std::string(1 << 20, '\0'));
  EXPECT_FALSE(LoadObjFile(zeros, m, &error));
  EXPECT_EQ(error, zeros.string() + ": not an OBJ file (binary data)");
}

}  // namespace
}  // namespace host
