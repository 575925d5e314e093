// The built-in objects evaluated at a time: primitive meshes, OBJ meshes, particle systems, space
// warps, cameras and hair.
#include <sys/stat.h>

#include <cmath>
#include <limits>
#include <numbers>

#include "host/objects/class_registry.h"
#include "tests/host/scene/scene_test_util.h"
#include "host/objects/camera.h"
#include "host/objects/hair.h"
#include "host/objects/particles.h"
#include "host/objects/primitives.h"
#include "host/objects/space_warps.h"

namespace host {
namespace {

using test::ExpectNear;
using test::Make;
using test::TempFolder;
using host::testing::WriteText;
constexpr double kPi = std::numbers::pi;

struct Bounds {
  Point3 lo{1e30f, 1e30f, 1e30f}, hi{-1e30f, -1e30f, -1e30f};
};
Bounds BoundsOf(const TriMesh& m) {
  Bounds b;
  for (const Point3& p : m.verts)
    for (int k = 0; k < 3; ++k) {
      b.lo[k] = std::min(b.lo[k], p[k]);
      b.hi[k] = std::max(b.hi[k], p[k]);
    }
  return b;
}

TriMesh MeshOf(Object& obj, TimeValue t = 0) {
  TriMesh m;
  std::string error;
  EXPECT_TRUE(obj.GetTriMesh(t, m, &error)) << error;
  EXPECT_TRUE(m.CheckIndices(&error)) << error;
  return m;
}

void SetF(Object& obj, int id, float v) { ASSERT_TRUE(obj.GetParamBlock(0)->SetFloat(id, 0, v)); }
void SetI(Object& obj, int id, int v) { ASSERT_TRUE(obj.GetParamBlock(0)->SetInt(id, 0, v)); }

// ---- Primitives ----

TEST(Primitives, AreClosedWithOutwardFacesAndTheirSizes) {
  auto box = Make("Box");
  SetF(*box, kBoxWidth, 10);
  SetF(*box, kBoxLength, 20);
  SetF(*box, kBoxHeight, 30);
  const TriMesh bm = MeshOf(*box);
  EXPECT_NEAR(SignedVolume(bm), 6000.0, 1e-6);
  const Bounds bb = BoundsOf(bm);
  ExpectNear(bb.lo, {-5, -10, 0});  // stands on its pivot
  ExpectNear(bb.hi, {5, 10, 30});

  auto sphere = Make("Sphere");
  SetF(*sphere, kSphereRadius, 10);
  SetI(*sphere, kSphereSegments, 64);
  const TriMesh sm = MeshOf(*sphere);
  const double sphereRatio = SignedVolume(sm) / (4.0 / 3.0 * kPi * 1000.0);
  EXPECT_GT(sphereRatio, 0.98);
  EXPECT_LT(sphereRatio, 1.0);
  ExpectNear(BoundsOf(sm).lo, {-10, -10, -10}, 0.05f);  // centred

  auto cyl = Make("Cylinder");
  SetF(*cyl, kCylinderRadius, 10);
  SetF(*cyl, kCylinderHeight, 20);
  SetI(*cyl, kCylinderSides, 64);
  const double cylRatio = SignedVolume(MeshOf(*cyl)) / (kPi * 100.0 * 20.0);
  EXPECT_GT(cylRatio, 0.99);
  EXPECT_LT(cylRatio, 1.0);

  auto torus = Make("Torus");
  SetF(*torus, kTorusRadius1, 20);
  SetF(*torus, kTorusRadius2, 5);
  SetI(*torus, kTorusSegments, 48);
  SetI(*torus, kTorusSides, 24);
  const double torusRatio = SignedVolume(MeshOf(*torus)) / (2.0 * kPi * kPi * 20.0 * 25.0);
  EXPECT_GT(torusRatio, 0.98);
  EXPECT_LT(torusRatio, 1.0);

  auto plane = Make("Plane");
  SetF(*plane, kPlaneWidth, 50);
  SetF(*plane, kPlaneLength, 40);
  SetI(*plane, kPlaneWidthSegs, 3);
  SetI(*plane, kPlaneLengthSegs, 2);
  const TriMesh pm = MeshOf(*plane);
  EXPECT_EQ(pm.faces.size(), 12u);
  EXPECT_NEAR(SurfaceArea(pm), 2000.0, 1e-3);
  for (const auto& f : pm.faces) EXPECT_GT(Cross(pm.verts[f[1]] - pm.verts[f[0]], pm.verts[f[2]] - pm.verts[f[0]]).z, 0.0f);
}

TEST(Primitives, AnimatedRadiusIsReadAtTheTimeAsked) {
  auto sphere = Make("Sphere");
  ParamBlock* pb = sphere->GetParamBlock(0);
  pb->SetFloat(kSphereRadius, 0, 5.0f, true);
  pb->SetFloat(kSphereRadius, 1600, 15.0f, true);
  EXPECT_NEAR(BoundsOf(MeshOf(*sphere, 800)).hi.z, 10.0f, 1e-4f);
  EXPECT_NEAR(BoundsOf(MeshOf(*sphere, -500)).hi.z, 5.0f, 1e-4f);
  EXPECT_NEAR(BoundsOf(MeshOf(*sphere, 5000)).hi.z, 15.0f, 1e-4f);
}

// ---- Mesh objects ----

TEST(ObjFiles, MeshObjectReadsAFileOnceWhileItsSizeAndTimeStay) {
  TempFolder dir;
  Scene scene;
  scene.SetFilePath(dir.path() / "shot.json");
  const std::string cube = test::kQuadCubeObj;
  const auto obj = dir.Write("geo/cube.obj", std::string(cube.size(), '\0'));
  const auto stamp = std::filesystem::last_write_time(obj);
  Node* node = scene.CreateNode("cube", Make("Mesh"));
  node->GetObject()->GetParamBlock(0)->SetString(kMeshFile, 0, "geo/cube.obj");
  TriMesh m;
  std::string error;
  EXPECT_FALSE(node->GetObject()->GetTriMesh(0, m, &error));
  EXPECT_NE(error.find("binary data"), std::string::npos) << error;

  // New bytes of the same size under the same time: the failure stands, the file is not read.
  WriteText(obj, cube);
  std::filesystem::last_write_time(obj, stamp);
  error.clear();
  EXPECT_FALSE(node->GetObject()->GetTriMesh(0, m, &error));
  EXPECT_NE(error.find("binary data"), std::string::npos) << error;

  // Another size, even under the same time, is read again.
  WriteText(obj, cube + "# and a comment\n");
  std::filesystem::last_write_time(obj, stamp);
  EXPECT_TRUE(node->GetObject()->GetTriMesh(0, m, &error)) << error;
  EXPECT_EQ(m.faces.size(), 12u);
}

TEST(ObjFiles, MeshObjectReadsRelativeToTheSceneAndRereadsChangedFiles) {
  TempFolder dir;
  Scene scene;
  scene.SetFilePath(dir.path() / "shot.json");
  const auto obj = dir.Write("geo/cube.obj", test::kQuadCubeObj);
  Node* node = scene.CreateNode("cube", Make("Mesh"));
  node->GetObject()->GetParamBlock(0)->SetString(kMeshFile, 0, "geo/cube.obj");
  EXPECT_EQ(MeshOf(*node->GetObject()).faces.size(), 12u);

  std::ofstream(obj) << "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n";
  std::filesystem::last_write_time(obj, std::filesystem::last_write_time(obj) + std::chrono::seconds(5));
  EXPECT_EQ(MeshOf(*node->GetObject()).faces.size(), 1u);

  // Triangles given in memory are checked like a file's.
  auto* mesh = static_cast<MeshObject*>(node->GetObject());
  std::string error;
  TriMesh bad;
  bad.verts = {{0, 0, 0}};
  bad.faces = {{0, 0, 1}};
  EXPECT_FALSE(mesh->SetMesh(bad, &error));
  EXPECT_NE(error.find("refers to vertex 1"), std::string::npos) << error;
}

// ---- Particles ----

std::vector<Point3> Positions(ParticleObject& p, TimeValue t) {
  std::string error;
  EXPECT_TRUE(p.Update(t, &error)) << error;
  std::vector<Point3> out;
  for (int i = 0; i < p.Count(); ++i) out.push_back(p.Position(i));
  return out;
}

std::unique_ptr<Object> Emitter(int seed, float spread, float size) {
  auto e = Make("ParticleEmitter");
  SetI(*e, kEmitterSeed, seed);
  SetF(*e, kEmitterSpread, spread);
  SetF(*e, kEmitterSize, size);
  SetF(*e, kEmitterBirthRate, 100);
  SetF(*e, kEmitterLife, 1);
  return e;
}

TEST(ParticleEmitter, SameSeedSameParticlesWhateverWasAskedBefore) {
  auto a = Emitter(7, 30, 10), b = Emitter(7, 30, 10), c = Emitter(8, 30, 10);
  ParticleObject& pa = *a->GetParticleInterface();
  ParticleObject& pb = *b->GetParticleInterface();
  const std::vector<Point3> first = Positions(pa, 4000);
  ASSERT_GT(first.size(), 50u);
  Positions(pb, 9000);  // b has been elsewhere in time first
  EXPECT_EQ(Positions(pb, 4000), first);
  EXPECT_EQ(Positions(pa, 4000), first);
  const std::vector<Point3> other = Positions(*c->GetParticleInterface(), 4000);
  ASSERT_EQ(other.size(), first.size());  // same births, different directions and offsets
  EXPECT_NE(other, first);
}

TEST(ParticleEmitter, BirthsLifeSpeedAndGravity) {
  auto e = Emitter(1, 0, 0);
  SetF(*e, kEmitterSpeed, 4800);
  ParticleObject& p = *e->GetParticleInterface();
  EXPECT_TRUE(Positions(p, -1).empty());  // before the first birth
  // At 2 s, those born in the last second are alive: 100 of them, rising one unit per tick.
  const std::vector<Point3> pos = Positions(p, 9600);
  ASSERT_EQ(pos.size(), 100u);
  for (int i = 0; i < p.Count(); ++i) {
    ExpectNear(p.Velocity(i), {0, 0, 1});
    EXPECT_GE(pos[size_t(i)].z, 0.0f);  // the newest is born right now
    EXPECT_LT(pos[size_t(i)].z, 4800.0f);  // the oldest is not yet a second old
  }
  // Births stop at frame 100; a second later every particle has died.
  EXPECT_TRUE(Positions(p, 100 * 160 + 4800).empty());

  SetF(*e, kEmitterSpeed, 100);
  SetF(*e, kEmitterGravity, 50);
  ASSERT_TRUE(p.Update(9600));
  for (int i = 0; i < p.Count(); ++i) {
    const float vz = p.Velocity(i).z * 4800.0f;  // units per second
    const float age = (100.0f - vz) / 50.0f;
    EXPECT_NEAR(p.Position(i).z, 100.0f * age - 25.0f * age * age, 1e-2f);
  }
}

TEST(ParticleFiles, FramePatternsAndFileContents) {
  EXPECT_EQ(ParticleFileForFrame("p_####.txt", 12), "p_0012.txt");
  EXPECT_EQ(ParticleFileForFrame("p_###.txt", -3), "p_-003.txt");
  EXPECT_EQ(ParticleFileForFrame("p_#.txt", 123), "p_123.txt");
  EXPECT_EQ(ParticleFileForFrame("fixed.txt", 5), "fixed.txt");

  TempFolder dir;
  Scene scene;
  scene.SetFilePath(dir.path() / "s.json");
  dir.Write("parts/p_0001.txt", "# two particles\n\n  1 2 3\n4 5 6 4800 0 -9600\n");
  dir.Write("parts/p_0003.txt", "1 2 3\n1 2 x\n");
  Node* node = scene.CreateNode("parts", Make("ParticleFile"));
  node->GetObject()->GetParamBlock(0)->SetString(kParticleFile, 0, "parts/p_####.txt");
  ParticleObject& p = *node->GetObject()->GetParticleInterface();
  std::string error;
  ASSERT_TRUE(p.Update(160, &error)) << error;
  ASSERT_EQ(p.Count(), 2);
  EXPECT_EQ(p.Position(1), Point3(4, 5, 6));
  EXPECT_EQ(p.Velocity(1), Point3(1, 0, -2));  // per tick
  EXPECT_EQ(p.Velocity(0), Point3());
  EXPECT_TRUE(p.Update(2 * 160, &error));  // no file for frame 2: no particles
  EXPECT_EQ(p.Count(), 0);
  EXPECT_FALSE(p.Update(3 * 160, &error));
  EXPECT_EQ(p.Count(), 0);
  EXPECT_NE(error.find("p_0003.txt: line 2"), std::string::npos) << error;
  // A pipe or a device under the frame's name is refused, never read (it would block or not end).
  ASSERT_EQ(::mkfifo((dir.path() / "parts/p_0004.txt").c_str(), 0600), 0);
  EXPECT_FALSE(p.Update(4 * 160, &error));
  EXPECT_NE(error.find("p_0004.txt: not a regular file"), std::string::npos) << error;
}

// ---- Forces ----

TEST(ForceFields, AnswerInSceneUnitsPerTickSquared) {
  Scene scene;
  scene.time.metresPerUnit = 0.01;  // centimetres
  Node* g = scene.CreateNode("g", Make("Gravity"));
  auto field = g->GetObject()->GetForceField(*g);
  ASSERT_NE(field, nullptr);
  const Point3 f = field->Force(0, {1, 2, 3}, {}, 0);
  EXPECT_NEAR(f.z, -981.0 / (4800.0 * 4800.0), 1e-12);
  // Back to metres per second squared the way the capture converts: x metres per unit x 4800^2.
  EXPECT_NEAR(double(f.z) * (0.01f * 2.304e7), -9.81, 1e-4);
  EXPECT_EQ(f.x, 0.0f);

  // Wind blows along its direction turned by the node; its strength may be animated.
  Node* w = scene.CreateNode("w", Make("Wind"));
  w->transform.rotation.SetConstant(Quat::AxisAngle({0, 0, 1}, float(kPi / 2)));
  ParamBlock* pb = w->GetObject()->GetParamBlock(0);
  pb->SetFloat(kForceStrength, 0, 0.0f, true);
  pb->SetFloat(kForceStrength, 4800, 2.0f, true);
  auto wind = w->GetObject()->GetForceField(*w);
  const Point3 a = wind->Force(2400, {}, {}, 3) * float(0.01 * 2.304e7);
  ExpectNear(a, {0, 1, 0}, 1e-5f);

  pb->SetInt(kForceTestOutput, 0, 1);
  EXPECT_TRUE(std::isnan(wind->Force(0, {}, {}, 0).y));
  pb->SetInt(kForceTestOutput, 0, 2);
  EXPECT_TRUE(std::isinf(wind->Force(0, {}, {}, 0).x));
  EXPECT_EQ(g->GetObject()->GetSuperClassId(), kWsModifierSuperClass);
  EXPECT_EQ(Make("Box")->GetForceField(*g), nullptr);
}

// ---- Cameras and hair ----

TEST(Cameras, StateAtATime) {
  auto cam = Make("Camera");
  ParamBlock* pb = cam->GetParamBlock(0);
  pb->SetFloat(kCameraFov, 0, 90.0f);
  pb->SetBool(kCameraOrtho, 0, true);
  pb->SetFloat(kCameraTargetDistance, 0, 100.0f, true);
  pb->SetFloat(kCameraTargetDistance, 100, 300.0f, true);
  CameraState s;
  ASSERT_TRUE(cam->EvalCameraState(50, s));
  EXPECT_NEAR(s.fov, kPi / 2, 1e-6);
  EXPECT_TRUE(s.ortho);
  EXPECT_EQ(s.targetDistance, 200.0f);
  EXPECT_FALSE(Make("Box")->EvalCameraState(0, s));
}

TEST(Hair, SurfaceAndLengthAreFoundByNameInTheFirstBlock) {
  Scene scene;
  Node* ground = scene.CreateNode("ground", Make("Plane"));
  Node* hair = scene.CreateNode("fur", Make("TuftFx"));
  const Object& obj = *hair->GetObject();
  ASSERT_EQ(obj.ClassName(), "TuftFx");
  ParamBlock* pb = obj.GetParamBlock(0);
  // Walk the definitions the way a reader that knows only the names does.
  const ParamDef *surface = nullptr, *length = nullptr;
  for (const ParamDef& d : pb->Desc().params) {
    if (d.name == "surface") surface = &d;
    if (d.name == "length") length = &d;
  }
  ASSERT_TRUE(surface && length);
  EXPECT_EQ(surface->type, ParamType::Node);
  EXPECT_EQ(length->type, ParamType::Float);
  pb->SetNode(surface->id, 0, ground);
  pb->SetFloat(length->id, 0, 3.5f);
  EXPECT_EQ(pb->GetNode(surface->id, 0), std::optional<Node*>(ground));
  EXPECT_EQ(pb->GetFloat(length->id, 0), 3.5f);
  EXPECT_FALSE(obj.CanConvertToTriMesh());
}

// ---- Built-in classes ----

TEST(Classes, BuiltInClassesAreRegisteredWithValidBlocks) {
  std::vector<ClassId> ids;
  for (const ClassDesc* d : RegisteredClassDescs()) {
    for (const ClassId& id : ids) EXPECT_FALSE(id == d->ClassID()) << d->ClassName();
    ids.push_back(d->ClassID());
    for (const ParamBlockDesc* b : d->ParamBlockDescs()) {
      std::string error;
      EXPECT_TRUE(ValidateParamBlockDesc(*b, &error)) << d->ClassName() << ": " << error;
    }
  }
  for (const char* name : {"Box", "Sphere", "Cylinder", "Torus", "Plane", "Mesh", "ParticleEmitter", "ParticleFile",
                           "Wind", "Gravity", "Camera", "TuftFx"}) {
    auto obj = Make(name);
    ASSERT_NE(obj, nullptr) << name;
    EXPECT_EQ(obj->ClassName(), name);
    EXPECT_EQ(obj->NumParamBlocks(), 1) << name;
    EXPECT_EQ(FindClassDesc(obj->GetClassId()), &obj->Desc());
  }
  std::string error;
  EXPECT_EQ(CreateObject("Teapot", &error), nullptr);
  EXPECT_NE(error.find("Teapot"), std::string::npos);
}

}  // namespace
}  // namespace host
