// Writing scene files: the scene as a document, laid out as text, written atomically.
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <span>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "host/core/atomic_file.h"
#include "host/core/status.h"
#include "host/scene_file/scene_document.h"
#include "host/scene_file/scene_file.h"

namespace host {

namespace {

using json = nlohmann::json;

// The shortest decimal that reads back as the same float: 0.1f is written 0.1, not 0.100000001.
double Tidy(float f) {
  char buf[32];
  const auto res = std::to_chars(buf, buf + sizeof buf, f);
  return std::strtod(std::string(buf, res.ptr).c_str(), nullptr);
}

ojson Frame(TimeValue t, int tpf) {
  if (t % tpf == 0) return ojson(int64_t(t / tpf));
  return ojson(double(t) / tpf);
}

ojson Write(const Point3& p) { return ojson::array({Tidy(p.x), Tidy(p.y), Tidy(p.z)}); }
ojson Write(float f) { return ojson(Tidy(f)); }
ojson Write(const Quat& q) { return ojson::array({Tidy(q.x), Tidy(q.y), Tidy(q.z), Tidy(q.w)}); }

template <class T> ojson WriteTrack(const Track<T>& track, int tpf) {
  ojson j = ojson::object();
  j["value"] = Write(track.Constant());
  if (track.IsAnimated()) {
    ojson keys = ojson::array();
    for (const auto& k : track.Keys()) keys.push_back(ojson{{"frame", Frame(k.t, tpf)}, {"value", Write(k.value)}});
    j["keys"] = std::move(keys);
  }
  return j;
}

ojson NodeRef(const Node* n) { return n ? ojson(n->Handle()) : ojson(nullptr); }

ojson WriteBlock(const ParamBlock& block, int tpf) {
  ojson params = ojson::array();
  for (const ParamDef& d : block.Desc().params) {
    ojson p = ojson::object();
    p["id"] = d.id;
    p["name"] = d.name;
    switch (d.type) {
      case ParamType::Float:
      case ParamType::World: {
        ojson t = WriteTrack(*block.GetFloatTrack(d.id), tpf);
        for (auto& [k, v] : t.items()) p[k] = v;
        break;
      }
      case ParamType::Colour: {
        ojson t = WriteTrack(*block.GetColourTrack(d.id), tpf);
        for (auto& [k, v] : t.items()) p[k] = v;
        break;
      }
      case ParamType::Int: p["value"] = block.GetInt(d.id, 0).value_or(0); break;
      case ParamType::Bool: p["value"] = block.GetBool(d.id, 0).value_or(false); break;
      case ParamType::Filename: p["value"] = block.GetString(d.id, 0).value_or(""); break;
      case ParamType::Node: p["value"] = NodeRef(block.GetNode(d.id, 0).value_or(nullptr)); break;
      case ParamType::NodeList: {
        ojson list = ojson::array();
        for (const Node* n : block.GetNodes(d.id)) list.push_back(NodeRef(n));
        p["value"] = std::move(list);
        break;
      }
    }
    params.push_back(std::move(p));
  }
  return ojson{{"id", block.Id()}, {"params", std::move(params)}};
}

ojson WriteObject(const Object& o, int tpf) {
  ojson j = ojson::object();
  j["class"] = std::string(o.ClassName());
  j["classId"] = ojson::array({HexWord(o.GetClassId().a), HexWord(o.GetClassId().b)});
  ojson blocks = ojson::array();
  for (int b = 0; b < o.NumParamBlocks(); ++b) blocks.push_back(WriteBlock(*o.GetParamBlock(b), tpf));
  j["blocks"] = std::move(blocks);
  json data = o.SaveData();
  if (!data.is_null()) j["data"] = ojson::parse(data.dump(-1, ' ', false, json::error_handler_t::replace));
  return j;
}

ojson WriteScene(const Scene& scene) {
  const int tpf = scene.time.TicksPerFrame();
  ojson root = ojson::object();
  root["format"] = kSceneFormatName;
  root["version"] = kSceneFileVersion;
  root["time"] = ojson{{"frameRate", scene.time.frameRate},
                       {"startFrame", Frame(scene.time.animStart, tpf)},
                       {"endFrame", Frame(scene.time.animEnd, tpf)},
                       {"currentFrame", Frame(scene.time.currentTime, tpf)}};
  root["metresPerUnit"] = scene.time.metresPerUnit;
  root["render"] = ojson{{"width", scene.render.width}, {"height", scene.render.height}};
  ojson nodes = ojson::array();
  for (const auto& n : scene.Nodes()) {
    ojson j = ojson::object();
    j["handle"] = n->Handle();
    j["name"] = n->Name();
    if (n->Parent()) j["parent"] = n->Parent()->Handle();
    j["selected"] = n->selected;
    j["renderable"] = n->renderable;
    j["boxMode"] = n->boxMode;
    j["position"] = WriteTrack(n->transform.position, tpf);
    j["rotation"] = WriteTrack(n->transform.rotation, tpf);
    j["scale"] = WriteTrack(n->transform.scale, tpf);
    if (const Object* o = n->GetObject()) j["object"] = WriteObject(*o, tpf);
    nodes.push_back(std::move(j));
  }
  root["nodes"] = std::move(nodes);
  return root;
}

// Objects' SaveData is plug-in code: whatever it throws stops here.
bool BuildText(const Scene& scene, std::string& out, std::string* error) {
  try {
    out = PrintDocument(WriteScene(scene)) + "\n";
    return true;
  } catch (const std::exception& e) {
    SetError(error, e.what());
  } catch (...) {
    SetError(error, "an object failed to save its data");
  }
  return false;
}

}  // namespace

std::string SceneToText(const Scene& scene) {
  std::string out;
  return BuildText(scene, out, nullptr) ? out : std::string();
}

bool SaveScene(Scene& scene, const std::filesystem::path& file, std::string* error) {
  auto fail = [&](const std::string& why) {
    return Fail(error, file.string() + ": " + why);
  };
  try {
    std::string text, why;
    if (!BuildText(scene, text, &why)) return fail("not saved: " + why);
    if (!WriteFileAtomically(file, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), &why))
      return fail(why);
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(file, ec);
    scene.SetFilePath(ec ? file : absolute);
    return true;
  } catch (const std::exception& e) {
    return fail(e.what());
  }
}

}  // namespace host
