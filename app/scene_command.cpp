// tolvaris scene SCENE: loads a scene file and lists its time settings, render output size and
// nodes, each with its transform and its object's parameters at the current frame.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <sstream>

#include "app/command.h"
#include "app/scene_loading.h"

namespace app {

namespace {

std::string Num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v == 0.0 ? 0.0 : v);  // no "-0"
  return buf;
}

std::string Vec(const host::Point3& p) { return Num(p.x) + ", " + Num(p.y) + ", " + Num(p.z); }

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

std::string NodeName(const host::Node* n) { return n ? Quoted(n->Name()) : "none"; }

class Lister {
 public:
  Lister(const host::Scene& scene, std::ostream& out) : s_(scene), out_(out) {}

  void All() {
    const host::TimeSettings& t = s_.time;
    out_ << "scene   " << s_.FilePath().string() << "\n"
         << "time    " << t.frameRate << " fps, " << t.TicksPerFrame() << " ticks per frame; frames "
         << Frame(t.animStart) << " to " << Frame(t.animEnd) << "; current frame " << Frame(t.currentTime) << "\n"
         << "units   " << Num(t.metresPerUnit) << " metres per scene unit\n"
         << "render  " << s_.render.width << " x " << s_.render.height << "\n"
         << "nodes   " << s_.Nodes().size() << "\n";
    for (const auto& n : s_.Nodes()) DescribeNode(*n);
  }

 private:
  std::string Frame(host::TimeValue t) const { return Num(double(t) / s_.time.TicksPerFrame()); }

  // "; keys at frames 0, 24" for an animated track.
  template <class T>
  std::string Keys(const host::Track<T>& track) const {
    const auto& keys = track.Keys();
    if (keys.empty()) return "";
    constexpr size_t kShown = 8;
    std::string s = keys.size() == 1 ? "; key at frame " : "; keys at frames ";
    for (size_t k = 0; k < keys.size() && k < kShown; ++k) s += (k ? ", " : "") + Frame(keys[k].t);
    if (keys.size() > kShown) s += ", ... (" + std::to_string(keys.size()) + " keys)";
    return s;
  }

  // Indented and padded, so that the values of a node line up.
  static std::string Label(std::string name) {
    name.resize(std::max<size_t>(name.size(), 14), ' ');
    return "    " + name + " ";
  }

  static std::string Rotation(host::Quat q) {
    q = q.Normalized();
    if (q.w < 0) q = {-q.x, -q.y, -q.z, -q.w};
    const double w = std::min(1.0, double(q.w));
    const double angle = 2.0 * std::acos(w) * 180.0 / 3.14159265358979;
    const double s = std::sqrt(std::max(0.0, 1.0 - w * w));
    if (angle < 1e-4 || s < 1e-9) return "none";
    const host::Point3 axis(float(q.x / s), float(q.y / s), float(q.z / s));
    return Num(angle) + " degrees about " + Vec(axis);
  }

  void DescribeNode(const host::Node& n) {
    const host::TimeValue now = s_.time.currentTime;
    const host::Object* obj = n.GetObject();
    out_ << "\n" << Quoted(n.Name()) << "  handle " << n.Handle() << "  "
         << (obj ? std::string(obj->ClassName()) : std::string("(no object)")) << "  "
         << (n.Parent() ? "parent " + NodeName(n.Parent()) : std::string("top level"))
         << (n.selected ? "  selected" : "") << (n.renderable ? "" : "  not renderable") << "\n";
    const host::NodeTransform& tm = n.transform;
    out_ << Label("position") << Vec(tm.position.Eval(now)) << Keys(tm.position) << "\n"
         << Label("rotation") << Rotation(tm.rotation.Eval(now)) << Keys(tm.rotation) << "\n"
         << Label("scale") << Vec(tm.scale.Eval(now)) << Keys(tm.scale) << "\n";
    if (!obj) return;
    for (int b = 0; b < obj->NumParamBlocks(); ++b) {
      const host::ParamBlock& block = *obj->GetParamBlock(b);
      for (const host::ParamDef& d : block.Desc().params) {
        out_ << Label(d.name) << ParamValue(block, d, now) << "\n";
      }
    }
  }

  std::string ParamValue(const host::ParamBlock& b, const host::ParamDef& d, host::TimeValue t) const {
    using host::ParamType;
    switch (d.type) {
      case ParamType::Float:
      case ParamType::World:
        return Num(double(b.GetFloat(d.id, t).value_or(0.0f))) + Keys(*b.GetFloatTrack(d.id));
      case ParamType::Int: {
        const int v = b.GetInt(d.id, t).value_or(0);
        std::string s = std::to_string(v);
        if (v >= 0 && size_t(v) < d.choices.size()) s += " (" + d.choices[size_t(v)] + ")";
        return s;
      }
      case ParamType::Bool: return b.GetBool(d.id, t).value_or(false) ? "true" : "false";
      case ParamType::Colour: return Vec(b.GetColour(d.id, t).value_or(host::Point3())) + Keys(*b.GetColourTrack(d.id));
      case ParamType::Filename: {
        const std::string f = b.GetString(d.id, t).value_or("");
        return f.empty() ? "none" : Quoted(f);
      }
      case ParamType::Node: return NodeName(b.GetNode(d.id, t).value_or(nullptr));
      case ParamType::NodeList: {
        std::string s = "[";
        const std::vector<host::Node*> nodes = b.GetNodes(d.id);
        for (size_t k = 0; k < nodes.size(); ++k) s += (k ? ", " : "") + NodeName(nodes[k]);
        return s + "]";
      }
    }
    return "?";
  }

  const host::Scene& s_;
  std::ostream& out_;
};

class SceneCommand : public Command {
 public:
  const char* Name() const override { return "scene"; }
  const char* Summary() const override { return "list a scene file's settings, nodes and parameters"; }

  void Define(CLI::App& command) override {
    command.add_option("SCENE", scene_, "the scene file to list")->required()->type_name("SCENE.json");
  }

  int Run(Session& session) override {
    std::string message;
    if (!LoadSceneFile(scene_, session.scene, &message)) {
      Report(message);
      return kExitFailed;
    }
    // Built whole first: a listing is never cut off half way by a failure.
    std::ostringstream text;
    Lister(session.scene, text).All();
    std::cout << text.str() << std::flush;
    return kExitOk;
  }

 private:
  std::string scene_;
};

}  // namespace

std::unique_ptr<Command> MakeSceneCommand() { return std::make_unique<SceneCommand>(); }

}  // namespace app
