#include "host/panels/param_rollouts.h"

#include <cmath>

#include "host/core/status.h"
#include "host/scene/objects.h"
#include "host/scene/param_block.h"
#include "host/scene/scene.h"

namespace host {

namespace {

TimeValue Now(const ParamBlock& block) { return block.Owner() ? block.Owner()->CurrentTime() : 0; }

Scene* SceneOf(const ParamBlock& block) { return block.Owner() ? block.Owner()->GetScene() : nullptr; }

nlohmann::json NodeName(const Node* node) { return node ? nlohmann::json(node->Name()) : nlohmann::json(); }

// The node the user named, or a message saying there is none.
bool FindNamedNode(const ParamBlock& block, const std::string& name, Node*& node, std::string* message) {
  Scene* scene = SceneOf(block);
  node = scene ? scene->FindNode(name) : nullptr;
  return node || Fail(message, "The scene has no node named \"" + name + "\".");
}

ControlBinding Bind(ParamBlock& block, const ParamDef& def) {
  ParamBlock* b = &block;
  const int id = def.id;
  ControlBinding binding;
  switch (def.type) {
    case ParamType::Float:
    case ParamType::World:
      binding.get = [b, id] { return nlohmann::json(b->GetFloat(id, Now(*b)).value_or(0.0f)); };
      binding.set = [b, id](const nlohmann::json& v, std::string*) {
        return b->SetFloat(id, Now(*b), v.get<float>());
      };
      break;
    case ParamType::Int:
      binding.get = [b, id] { return nlohmann::json(b->GetInt(id, Now(*b)).value_or(0)); };
      binding.set = [b, id](const nlohmann::json& v, std::string*) {
        return b->SetInt(id, Now(*b), int(v.get<double>()));
      };
      break;
    case ParamType::Bool:
      binding.get = [b, id] { return nlohmann::json(b->GetBool(id, Now(*b)).value_or(false)); };
      binding.set = [b, id](const nlohmann::json& v, std::string*) { return b->SetBool(id, Now(*b), v.get<bool>()); };
      break;
    case ParamType::Colour:
      binding.get = [b, id] {
        const Point3 c = b->GetColour(id, Now(*b)).value_or(Point3());
        return nlohmann::json::array({c.x, c.y, c.z});
      };
      binding.set = [b, id](const nlohmann::json& v, std::string*) {
        return b->SetColour(id, Now(*b), Point3(v[0].get<float>(), v[1].get<float>(), v[2].get<float>()));
      };
      break;
    case ParamType::Filename:
      binding.get = [b, id] { return nlohmann::json(b->GetString(id, 0).value_or("")); };
      binding.set = [b, id](const nlohmann::json& v, std::string*) { return b->SetString(id, 0, v.get<std::string>()); };
      break;
    case ParamType::Node:
      binding.get = [b, id] { return NodeName(b->GetNode(id, Now(*b)).value_or(nullptr)); };
      binding.set = [b, id](const nlohmann::json& v, std::string* message) {
        Node* node = nullptr;
        if (v.is_string() && !FindNamedNode(*b, v.get<std::string>(), node, message)) return false;
        return b->SetNode(id, Now(*b), node);
      };
      break;
    case ParamType::NodeList:
      binding.get = [b, id] {
        nlohmann::json names = nlohmann::json::array();
        for (const Node* n : b->GetNodes(id)) names.push_back(NodeName(n));
        return names;
      };
      binding.set = [b, id](const nlohmann::json& v, std::string* message) {
        if (v.contains("remove")) {
          const long long index = v["remove"].get<long long>();
          if (index < 0 || index >= b->Count(id)) return Fail(message, "No such entry in the list.");
          return b->DeleteNodeAt(id, int(index));
        }
        Node* node = nullptr;
        if (!FindNamedNode(*b, v["add"].get<std::string>(), node, message)) return false;
        for (const Node* n : b->GetNodes(id))
          if (n == node) return Fail(message, "\"" + node->Name() + "\" is in the list already.");
        return b->AppendNode(id, node);
      };
      break;
  }
  return binding;
}

}  // namespace

void AddParamRollouts(CommandPanel& panel, ParamBlock& block) {
  const ParamBlockDesc& desc = block.Desc();
  std::vector<RolloutDesc> rollouts = desc.rollouts;
  if (rollouts.empty()) rollouts.push_back(RolloutDesc{0, desc.internalName, true, 0, 0, {}});
  for (const RolloutDesc& r : rollouts) {
    Panel* p = panel.AddPanel(r.dialogId, r.title, r.open);
    for (const ParamDef& def : desc.params) {
      if (def.map != r.map && !desc.rollouts.empty()) continue;
      const int id = kParamControlBase + def.id;
      const std::string& label = def.label.empty() ? def.name : def.label;
      switch (def.type) {
        case ParamType::Float:
        case ParamType::World:
        case ParamType::Int:
          if (!def.choices.empty()) {
            p->AddRadio(id, label, def.choices, Bind(block, def));
            break;
          }
          p->AddSpinner(id, label, def.hasRange ? def.minValue : -1e30, def.hasRange ? def.maxValue : 1e30,
                        def.type == ParamType::Int, Bind(block, def));
          break;
        case ParamType::Bool: p->AddCheckBox(id, label, Bind(block, def)); break;
        case ParamType::Colour: p->AddColourSwatch(id, label, Bind(block, def)); break;
        case ParamType::Filename: p->AddPathBox(id, label, Bind(block, def)); break;
        case ParamType::Node: p->AddNodePicker(id, label, false, Bind(block, def)); break;
        case ParamType::NodeList: p->AddNodePicker(id, label, true, Bind(block, def)); break;
      }
    }
  }
}

}  // namespace host
