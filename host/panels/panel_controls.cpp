// Value controls of the panels, and the panels as data for a front end: what it draws and the
// input it sends back by control id.
#include <algorithm>
#include <cmath>

#include "host/core/status.h"
#include "host/panels/panels.h"

namespace host {

namespace {

const char* KindName(int kind) {
  static const char* const kNames[] = {"text", "button", "dropdown", "edit", "spinner", "checkbox",
                                       "colour", "radio", "path", "node", "nodelist"};
  return kNames[kind];
}

}  // namespace

Panel::Control& Panel::PutValue(int id, Kind kind, std::string label, ControlBinding binding) {
  Control& c = Put(id, kind);
  c.label = std::move(label);
  c.binding = std::move(binding);
  return c;
}

void Panel::AddSpinner(int id, std::string label, double lo, double hi, bool integer, ControlBinding binding) {
  Control& c = PutValue(id, Kind::kSpinner, std::move(label), std::move(binding));
  c.lo = std::min(lo, hi);
  c.hi = std::max(lo, hi);
  c.integer = integer;
}

void Panel::AddCheckBox(int id, std::string label, ControlBinding binding) {
  PutValue(id, Kind::kCheckBox, std::move(label), std::move(binding));
}

void Panel::AddColourSwatch(int id, std::string label, ControlBinding binding) {
  PutValue(id, Kind::kColour, std::move(label), std::move(binding));
}

void Panel::AddRadio(int id, std::string label, std::vector<std::string> choices, ControlBinding binding) {
  PutValue(id, Kind::kRadio, std::move(label), std::move(binding)).items = std::move(choices);
}

void Panel::AddPathBox(int id, std::string label, ControlBinding binding) {
  PutValue(id, Kind::kPath, std::move(label), std::move(binding));
}

void Panel::AddNodePicker(int id, std::string label, bool list, ControlBinding binding) {
  PutValue(id, list ? Kind::kNodeList : Kind::kNode, std::move(label), std::move(binding));
}

nlohmann::json Panel::Describe() const {
  nlohmann::json controls = nlohmann::json::array();
  for (const Control& c : controls_) {
    nlohmann::json d = {{"id", c.id}, {"kind", KindName(int(c.kind))}};
    if (c.id == statusId_) d["status"] = true;
    switch (c.kind) {
      case Kind::kText:
      case Kind::kEditBox: d["text"] = c.text; break;
      case Kind::kButton: d["label"] = c.text; break;
      case Kind::kDropDown:
        d["items"] = c.items;
        d["selected"] = c.selected;
        break;
      default:
        d["label"] = c.label;
        d["value"] = c.binding.get ? c.binding.get() : nlohmann::json();
        if (c.kind == Kind::kSpinner) {
          d["min"] = c.lo;
          d["max"] = c.hi;
          d["integer"] = c.integer;
        }
        if (c.kind == Kind::kRadio) d["items"] = c.items;
        if (c.kind == Kind::kNodeList) d["buttons"] = {"Add...", "Remove"};
        break;
    }
    controls.push_back(std::move(d));
  }
  return {{"dialog", dialogId_}, {"title", title_}, {"open", open_}, {"controls", std::move(controls)}};
}

CommandStatus Panel::Input(int id, const nlohmann::json& value, std::string* message) {
  const Control* found = Find(id);
  if (!found) return CommandStatus::kNoSuchButton;
  const Control c = *found;  // a copy: what the input runs may rebuild the panel
  auto set = [&](const nlohmann::json& v) {
    if (!c.binding.set) return Fail(message, "This control cannot be changed.");
    return c.binding.set(v, message);
  };
  // The value as it came, when it has the control's shape; else the control's refusal.
  auto setIf = [&](bool fits, const char* refusal) { return fits ? set(value) : Fail(message, refusal); };
  bool ok = false;
  switch (c.kind) {
    case Kind::kButton: return owner_.Press(id);
    case Kind::kText: ok = Fail(message, "This control cannot be changed."); break;
    case Kind::kDropDown:
      ok = (value.is_number_integer() && Select(id, value.get<int>())) || Fail(message, "No such entry in the list.");
      break;
    case Kind::kEditBox:
      ok = (value.is_string() && SetText(id, value.get<std::string>())) || Fail(message, "Expected a text.");
      break;
    case Kind::kSpinner: {
      if (!value.is_number() || !std::isfinite(value.get<double>())) {
        ok = Fail(message, "Expected a number.");
        break;
      }
      double v = std::clamp(value.get<double>(), c.lo, c.hi);
      if (c.integer) v = std::round(v);
      ok = set(v);
      break;
    }
    case Kind::kCheckBox: ok = setIf(value.is_boolean(), "Expected true or false."); break;
    case Kind::kRadio:
      ok = setIf(value.is_number_integer() && value.get<long long>() >= 0 &&
                     size_t(value.get<long long>()) < c.items.size(),
                 "No such choice.");
      break;
    case Kind::kColour: {
      const bool three = value.is_array() && value.size() == 3 &&
                         std::all_of(value.begin(), value.end(), [](const nlohmann::json& v) {
                           return v.is_number() && std::isfinite(v.get<double>());
                         });
      if (!three) {
        ok = Fail(message, "Expected a colour as three numbers.");
        break;
      }
      nlohmann::json rgb = nlohmann::json::array();
      for (const nlohmann::json& v : value) rgb.push_back(std::clamp(v.get<double>(), 0.0, 1.0));
      ok = set(rgb);
      break;
    }
    case Kind::kPath: ok = setIf(value.is_string(), "Expected a text."); break;
    case Kind::kNode: ok = setIf(value.is_string() || value.is_null(), "Expected a node name."); break;
    case Kind::kNodeList: {
      const bool add = value.is_object() && value.size() == 1 && value.contains("add") && value["add"].is_string();
      const bool remove = value.is_object() && value.size() == 1 && value.contains("remove") &&
                          value["remove"].is_number_integer();
      ok = setIf(add || remove, "Expected {\"add\": name} or {\"remove\": index}.");
      break;
    }
  }
  return ok ? CommandStatus::kSucceeded : CommandStatus::kFailed;
}

CommandStatus CommandPanel::Input(int id, const nlohmann::json& value, std::string* message) {
  Panel* panel = FindPanelWithControl(id);
  return panel ? panel->Input(id, value, message) : CommandStatus::kNoSuchButton;
}

nlohmann::json CommandPanel::Describe() const {
  nlohmann::json panels = nlohmann::json::array();
  for (const auto& p : panels_) panels.push_back(p->Describe());
  nlohmann::json timers = nlohmann::json::array();
  for (const Timer& t : timers_) timers.push_back({{"id", t.id}, {"periodMs", t.periodMs}});
  return {{"panels", std::move(panels)}, {"timers", std::move(timers)}};
}

}  // namespace host
