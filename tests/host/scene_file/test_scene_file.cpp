// Scene files: a scene saves and loads back equal, hand-written files load, relative file names
// follow the scene file, saving is atomic, and every kind of malformed file is refused with one
// message that names the file and the place, leaving the scene that was open untouched.
#include <numbers>

#include "host/core/atomic_file.h"
#include "tests/host/scene/scene_test_util.h"
#include "host/objects/hair.h"
#include "host/objects/particles.h"
#include "host/objects/primitives.h"
#include "host/scene_file/scene_file.h"

namespace host {
namespace {

using namespace test;
constexpr float kPi = std::numbers::pi_v<float>;

// Every kind of thing a scene file holds, with keys off the frame grid and a node referenced before
// it is defined (the camera is created after the domain that names it).
void BuildRichScene(Scene& s) {
  s.time.frameRate = 25;
  s.time.animStart = s.time.FrameToTicks(-10);
  s.time.animEnd = s.time.FrameToTicks(250);
  s.time.currentTime = 97;  // half a frame and a bit
  s.time.metresPerUnit = 0.01;
  s.render = {1920, 1080};

  Node* rig = s.CreateNode("rig");
  rig->transform.position.SetKey(0, {0, 0, 0});
  rig->transform.position.SetKey(100, {10.5f, -2, 0.1f});
  rig->transform.rotation.SetKey(0, Quat::EulerXYZ(0.1f, 0.2f, 0.3f));
  rig->transform.rotation.SetKey(4800, Quat::AxisAngle({0, 0, 1}, kPi));
  rig->transform.scale.SetConstant({1, 2, 3});

  Node* ball = s.CreateNode("ball", Make("Sphere"), rig);
  ball->transform.position.SetConstant({0, 0, 7});
  ball->selected = true;
  ball->renderable = false;
  ball->boxMode = true;
  ParamBlock* sp = ball->GetObject()->GetParamBlock(0);
  sp->SetFloat(kSphereRadius, 0, 5, true);
  sp->SetFloat(kSphereRadius, 480, 20, true);
  sp->SetInt(kSphereSegments, 0, 16);

  Node* domain = nullptr;
  TestPluginObject* plugin = MakeTestPlugin(s, "domain", &domain);
  plugin->cacheId = 0xfedcba9876543210ull;
  ParamBlock* pb = plugin->GetParamBlock(0);
  pb->SetFloat(kTSize, 0, 0.1f, true);
  pb->SetFloat(kTSize, 1000, 300, true);
  pb->SetColour(kTTint, 0, {0.3f, 0.3f, 0.32f}, true);
  pb->SetColour(kTTint, 200, {1, 0, 0}, true);
  pb->SetInt(kTRes, 0, 0);
  pb->SetBool(kTFlag, 0, false);
  pb->SetString(kTPath, 0, "cache/dir");
  pb->SetInt(kTMode, 0, 2);
  pb->SetFloat(kTRate, 0, -1.25f);
  pb->SetNodes(kTSources, {ball, nullptr, rig});

  Node* cam = s.CreateNode("cam", Make("Camera"));
  pb->SetNode(kTCamera, 0, cam);

  Node* tri = s.CreateNode("tri", Make("Mesh"));
  TriMesh m;
  m.verts = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0.5f}};
  m.faces = {{0, 1, 2}};
  ASSERT_TRUE(static_cast<MeshObject*>(tri->GetObject())->SetMesh(m));

  Node* fur = s.CreateNode("fur", Make("TuftFx"));
  fur->GetObject()->GetParamBlock(0)->SetNode(kTuftSurface, 0, ball);
  s.CreateNode("empty");
}

TEST(SceneFile, SavesAndLoadsBackEqual) {
  TempFolder dir;
  Scene a;
  BuildRichScene(a);
  const auto file = dir.path() / "shot.json";
  std::string error;
  ASSERT_TRUE(SaveScene(a, file, &error)) << error;
  EXPECT_FALSE(std::filesystem::exists(host::AtomicFile::TemporaryPathFor(dir.path() / "shot.json")));
  EXPECT_EQ(a.FileName(), "shot.json");

  Scene b;
  b.CreateNode("leftover");
  ASSERT_TRUE(LoadScene(b, file, &error)) << error;
  EXPECT_EQ(SceneToText(b), SceneToText(a));  // nothing lost, nothing added
  EXPECT_EQ(b.FindNode("leftover"), nullptr);
  EXPECT_EQ(b.FileName(), "shot.json");
  EXPECT_EQ(b.FileDir(), dir.path().string());

  // And what the text holds is what the scene does.
  EXPECT_EQ(b.time.frameRate, 25);
  EXPECT_EQ(b.time.currentTime, 97);
  EXPECT_EQ(b.time.animStart, a.time.animStart);
  EXPECT_EQ(b.render, a.render);
  for (const auto& n : a.Nodes()) {
    Node* m = b.FindNode(n->Name());
    ASSERT_NE(m, nullptr) << n->Name();
    EXPECT_EQ(m->Handle(), n->Handle());
    EXPECT_EQ(m->transform, n->transform) << n->Name();
    for (TimeValue t : {-50, 0, 37, 100, 2400, 9999})
      ExpectNear(Point3(1, 1, 1) * m->GetNodeTM(t), Point3(1, 1, 1) * n->GetNodeTM(t), 1e-4f);
  }
  Node* ball = b.FindNode("ball");
  EXPECT_EQ(ball->Parent(), b.FindNode("rig"));
  EXPECT_TRUE(ball->selected && ball->boxMode && !ball->renderable);
  EXPECT_EQ(ball->GetObject()->GetParamBlock(0)->GetFloat(kSphereRadius, 240), 12.5f);

  auto* plugin = static_cast<TestPluginObject*>(b.FindNode("domain")->GetObject());
  EXPECT_EQ(plugin->cacheId, 0xfedcba9876543210ull);
  EXPECT_EQ(plugin->postLoads, 1);
  EXPECT_EQ(plugin->sourcesAtPostLoad, 3);
  ParamBlock* pb = plugin->GetParamBlock(0);
  EXPECT_EQ(pb->GetNodes(kTSources), (std::vector<Node*>{ball, nullptr, b.FindNode("rig")}));
  EXPECT_EQ(pb->GetNode(kTCamera, 0), std::optional<Node*>(b.FindNode("cam")));
  EXPECT_EQ(pb->GetFloat(kTSize, 0), 0.1f);
  ExpectNear(*pb->GetColour(kTTint, 100), {0.65f, 0.15f, 0.16f}, 1e-6f);
  EXPECT_EQ(b.FindNode("fur")->GetObject()->GetParamBlock(0)->GetNode(kTuftSurface, 0), std::optional<Node*>(ball));
  TriMesh tri;
  ASSERT_TRUE(b.FindNode("tri")->GetObject()->GetTriMesh(0, tri));
  EXPECT_EQ(tri.verts[2], Point3(0, 1, 0.5f));
  // New nodes never take a loaded handle.
  EXPECT_GT(b.CreateNode("new")->Handle(), b.FindNode("empty")->Handle());
}

TEST(SceneFile, HandWrittenFilesUseNamesEulerAnglesAndDefaults) {
  TempFolder dir;
  const auto file = dir.Write("hand.json", R"({
    "format": "tolvaris-scene", "version": 1,
    "time": {"frameRate": 24},
    "nodes": [
      {"handle": 5, "name": "child", "parent": 9,
       "rotation": {"value": [0, 0, 90]},
       "object": {"class": "Sphere", "blocks": [{"params": [
          {"name": "radius", "keys": [{"frame": 0, "value": -5}, {"frame": 2.5, "value": 10}]}]}]}},
      {"handle": 9, "name": "parent", "position": {"value": [1, 2, 3]}}
    ]})");
  Scene s;
  std::string error;
  ASSERT_TRUE(LoadScene(s, file, &error)) << error;
  Node* child = s.FindNode("child");
  ASSERT_NE(child, nullptr);
  ExpectNear(Point3(1, 0, 0) * child->GetNodeTM(0), {1, 3, 3});  // turned 90 degrees, then moved
  const ParamBlock* pb = child->GetObject()->GetParamBlock(0);
  EXPECT_EQ(pb->GetFloat(kSphereRadius, 0), 0.0f);  // clamped into the range, as a set would
  EXPECT_EQ(pb->GetFloat(kSphereRadius, 500), 10.0f);  // frame 2.5 at 24 fps is tick 500
  EXPECT_EQ(pb->GetInt(kSphereSegments, 0), 32);  // not in the file: the default
  EXPECT_EQ(s.time.metresPerUnit, TimeSettings().metresPerUnit);
}

TEST(SceneFile, RelativeFileNamesResolveAgainstTheSceneFolder) {
  TempFolder dir;
  dir.Write("shots/geo/tri.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
  dir.Write("shots/parts/p_0002.txt", "1 2 3\n");
  const auto file = dir.Write("shots/a.json", R"({"format": "tolvaris-scene", "version": 1, "nodes": [
      {"handle": 1, "object": {"class": "Mesh", "blocks": [{"params": [{"name": "file", "value": "geo/tri.obj"}]}]}},
      {"handle": 2, "object": {"class": "ParticleFile", "blocks": [{"params": [{"name": "file", "value": "parts/p_####.txt"}]}]}}
    ]})");
  Scene s;
  std::string error;
  ASSERT_TRUE(LoadScene(s, file, &error)) << error;
  TriMesh m;
  ASSERT_TRUE(s.FindNode(1u)->GetObject()->GetTriMesh(0, m, &error)) << error;
  EXPECT_EQ(m.faces.size(), 1u);
  ParticleObject* p = s.FindNode(2u)->GetObject()->GetParticleInterface();
  ASSERT_TRUE(p->Update(2 * 160, &error)) << error;
  EXPECT_EQ(p->Count(), 1);
}

TEST(SceneFile, SavingIsAtomic) {
  TempFolder dir;
  Scene s;
  s.CreateNode("a");
  std::string error;
  const auto file = dir.Write("s.json", "old contents");
  ASSERT_TRUE(SaveScene(s, file, &error)) << error;
  EXPECT_NE(ReadText(file).find("\"a\""), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(host::AtomicFile::TemporaryPathFor(dir.path() / "s.json")));

  // A folder that does not exist: refused, nothing written, the scene keeps its file.
  EXPECT_FALSE(SaveScene(s, dir.path() / "missing" / "t.json", &error));
  EXPECT_NE(error.find("t.json"), std::string::npos) << error;
  EXPECT_EQ(s.FilePath(), std::filesystem::absolute(file));
  // A plug-in that fails while saving: the old file stays.
  MakeTestPlugin(s, "domain")->failSave = true;
  EXPECT_FALSE(SaveScene(s, file, &error));
  EXPECT_NE(error.find("disk quota of the plug-in"), std::string::npos) << error;
  EXPECT_NE(ReadText(file).find("\"a\""), std::string::npos);
  EXPECT_EQ(ReadText(file).find("domain"), std::string::npos);
  static_cast<TestPluginObject*>(s.FindNode("domain")->GetObject())->failSave = false;
  // A target that cannot be replaced (a folder): the old target stays, no .part is left.
  std::filesystem::create_directories(dir.path() / "dir.json" / "inside");
  EXPECT_FALSE(SaveScene(s, dir.path() / "dir.json", &error));
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "dir.json" / "inside"));
  EXPECT_FALSE(std::filesystem::exists(host::AtomicFile::TemporaryPathFor(dir.path() / "dir.json")));
}

// ---- Malformed files ----

std::string Doc(const std::string& nodes, const std::string& extra = "") {
  return R"({"format": "tolvaris-scene", "version": 1, )" + extra + R"("nodes": [)" + nodes + "]}";
}

std::string Domain(const std::string& params, const std::string& data = R"({"cacheId": "0000000000000001"})") {
  return R"({"handle": 1, "name": "d", "object": {"class": "TestDomain", "blocks": [{"id": 0, "params": [)" + params +
         R"(]}], "data": )" + data + "}}";
}

struct BadFile {
  const char* what;
  std::string text;
  std::vector<std::string> expect;  // substrings of the message
};

std::vector<BadFile> BadFiles() {
  std::string truncated;
  {
    Scene s;
    BuildRichScene(s);
    const std::string full = SceneToText(s);
    truncated = full.substr(0, full.rfind('\n', full.size() / 2) + 1);  // cut at a line end
  }
  std::string deep = "0";
  for (int i = 0; i < 100; ++i) deep = "[" + deep + "]";
  return {
      {"syntax", R"({"format": "tolvaris-scene", "version": 1,, "nodes": []})", {"line 1, column 43", "syntax error"}},
      {"truncated", truncated, {"line ", "end of input"}},
      {"empty", "", {"line 1, column 1", "empty"}},
      {"bad UTF-8", Doc("{\"handle\": 1, \"name\": \"\xff\xfe\"}"), {"line 1, column"}},
      {"root array", "[1, 2]", {": /: expected an object"}},
      {"other JSON", R"({"format": "mesh", "version": 1})", {"/format: not a scene file"}},
      {"no version", R"({"format": "tolvaris-scene"})", {"\"version\" is missing"}},
      {"newer version", R"({"format": "tolvaris-scene", "version": 2})", {"/version: version 2", "newer"}},
      {"nodes not array", R"({"format": "tolvaris-scene", "version": 1, "nodes": {}})", {"/nodes: expected an array"}},
      {"handle string", Doc(R"({"handle": "1"})"), {"/nodes/0/handle: expected an integer, found a string"}},
      {"handle negative", Doc(R"({"handle": -1})"), {"/nodes/0/handle", "outside 1 to 4294967295"}},
      {"frame rate 3e10", Doc("", R"("time": {"frameRate": 3e10}, )"), {"/time/frameRate", "outside 1 to 4800"}},
      {"int 3e10", Doc(Domain(R"({"id": 1, "value": 3e10})")), {"/nodes/0/object/blocks/0/params/0/value", "outside"}},
      {"int 64-bit", Doc(Domain(R"({"id": 1, "value": 30000000000})")), {"params/0/value: 30000000000 is outside"}},
      {"int fraction", Doc(Domain(R"({"id": 1, "value": 2.5})")), {"params/0/value: expected an integer"}},
      {"number beyond a double", Doc(Domain(R"({"name": "size",
                                                   "value": 1e400})")), {"line 2, column 61", "number overflow"}},
      {"float too big", Doc(Domain(R"({"name": "size", "value": 1e39})")), {"params/0/value", "too large"}},
      {"bool as number", Doc(R"({"handle": 1, "selected": 1})"), {"/nodes/0/selected: expected true or false"}},
      {"unit scale", Doc("", R"("metresPerUnit": -1, )"), {"/metresPerUnit", "not a unit scale"}},
      {"unknown parent", Doc(R"({"handle": 1, "parent": 99})"), {"/nodes/0/parent: node 99 does not exist"}},
      {"unknown list entry",
       Doc(Domain(R"({"id": 6, "value": [1, null, 42]})")),
       {"/nodes/0/object/blocks/0/params/0/value/2: node 42 does not exist"}},
      {"unknown node param", Doc(Domain(R"({"id": 5, "value": 7})")), {"params/0/value: node 7 does not exist"}},
      {"parent cycle", Doc(R"({"handle": 1, "name": "A", "parent": 3}, {"handle": 2, "name": "B", "parent": 1},
                              {"handle": 3, "name": "C", "parent": 2})"),
       {"/nodes/2/parent", "cycle"}},
      {"own parent", Doc(R"({"handle": 4, "parent": 4})"), {"/nodes/0/parent", "own parent"}},
      {"duplicate handle", Doc(R"({"handle": 1}, {"handle": 1})"), {"/nodes/1/handle", "used by two nodes"}},
      {"deep nesting", Doc(Domain("", deep)), {"line 1: nested deeper than 64 levels"}},
      {"unknown class", Doc(R"({"handle": 1, "object": {"class": "FluidBlob"}})"), {"/nodes/0/object/class", "plug-in loaded"}},
      {"class mismatch", Doc(R"({"handle": 1, "object": {"class": "Box", "classId": ["0x7a310002", "0x1c5e0001"]}})"),
       {"/nodes/0/object/class", "is \"Sphere\", not \"Box\""}},
      {"bad class id", Doc(R"({"handle": 1, "object": {"classId": ["0xzz", 1]}})"), {"/nodes/0/object/classId/0"}},
      {"misspelt key", Doc(R"({"handle": 1, "postion": {"value": [0, 0, 0]}})"), {"/nodes/0: unknown key \"postion\""}},
      {"newline in a key", Doc(R"({"handle": 1, "pos\nition": {}})"), {"/nodes/0: unknown key \"pos\\nition\""}},
      {"unknown param", Doc(Domain(R"({"name": "nope", "value": 1})")), {"params/0/name", "no parameter \"nope\""}},
      {"id and name disagree", Doc(Domain(R"({"id": 1, "name": "size", "value": 1})")), {"is \"resolution\", not \"size\""}},
      {"param twice", Doc(Domain(R"({"id": 1, "value": 1}, {"name": "RESOLUTION", "value": 2})")), {"params/1", "given twice"}},
      {"keys on an int", Doc(Domain(R"({"id": 1, "keys": []})")), {"params/0/keys", "has no keys"}},
      {"keys on a fixed float",
       Doc(Domain(R"({"id": 8, "keys": [{"frame": 0, "value": 1}]})")),
       {"params/0/keys", "cannot be animated"}},
      {"two keys at a frame",
       Doc(R"({"handle": 1, "position": {"keys": [{"frame": 1, "value": [0, 0, 0]}, {"frame": 1.0, "value": [1, 0, 0]}]}})"),
       {"/nodes/0/position/keys/1/frame", "two keys at frame"}},
      {"frame out of range",
       Doc(R"({"handle": 1, "scale": {"keys": [{"frame": 1e12, "value": [1, 1, 1]}]}})"),
       {"/nodes/0/scale/keys/0/frame", "outside the scene's time range"}},
      {"short point", Doc(R"({"handle": 1, "position": {"value": [1, 2]}})"), {"/nodes/0/position/value: expected an array of 3"}},
      {"zero quaternion", Doc(R"({"handle": 1, "rotation": {"value": [0, 0, 0, 0]}})"), {"/nodes/0/rotation/value", "zero length"}},
      {"plug-in data", Doc(Domain("", R"({"cacheId": "xyz"})")), {"/nodes/0/object/data/cacheId: expected 16 hexadecimal"}},
      {"plug-in data missing", Doc(Domain("", "null")), {"/nodes/0/object/data/cacheId"}},
      {"mesh data", Doc(R"({"handle": 1, "object": {"class": "Mesh", "data": {"vertices": [[0, 0, 0]], "faces": [[0, 0, 3e10]]}}})"),
       {"/nodes/0/object/data/faces/0", "integers"}},
      {"mesh index", Doc(R"({"handle": 1, "object": {"class": "Mesh", "data": {"vertices": [[0, 0, 0]], "faces": [[0, 0, 1]]}}})"),
       {"/nodes/0/object/data/faces/0", "not one of the 1 vertices"}},
      {"data on a primitive", Doc(R"({"handle": 1, "object": {"class": "Box", "data": {"x": 1}}})"),
       {"/nodes/0/object/data", "keeps no saved data"}},
  };
}

TEST(SceneFile, MalformedFilesLoadNothingAndSayWhereTheFault) {
  TempFolder dir;
  TestPlugin();
  for (const BadFile& bad : BadFiles()) {
    SCOPED_TRACE(bad.what);
    const auto file = dir.Write("bad.json", bad.text);
    Scene scene;
    scene.time.frameRate = 24;
    scene.SetFilePath("/keep/me.json");
    Node* keep = scene.CreateNode("keep", Make("Sphere"));
    std::string error;
    EXPECT_FALSE(LoadScene(scene, file, &error));
    EXPECT_EQ(error.rfind(file.string() + ": ", 0), 0u) << error;  // starts with the file
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;      // one message
    for (const std::string& part : bad.expect) EXPECT_NE(error.find(part), std::string::npos) << error;
    // The scene that was open is exactly as it was.
    ASSERT_EQ(scene.Nodes().size(), 1u);
    EXPECT_EQ(scene.Nodes()[0].get(), keep);
    EXPECT_EQ(keep->GetObject()->GetScene(), &scene);
    EXPECT_EQ(scene.time.frameRate, 24);
    EXPECT_EQ(scene.FilePath(), std::filesystem::path("/keep/me.json"));
  }
  Scene scene;
  std::string error;
  EXPECT_FALSE(LoadScene(scene, dir.path() / "absent.json", &error));
  EXPECT_NE(error.find("absent.json: no such file"), std::string::npos) << error;
}

}  // namespace
}  // namespace host
