#include "app/wedge_plan.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "host/core/atomic_file.h"
#include "host/core/status.h"
#include "host/core/text.h"
#include "host/scene/objects.h"
#include "host/scene/param_block.h"

namespace app {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

bool ParseNumber(const std::string& text, double& value) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return errno == 0 && end == text.c_str() + text.size() && std::isfinite(value);
}

bool ParseSwitch(std::string text, bool& on) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  if (text == "1" || text == "on" || text == "true" || text == "yes") return on = true, true;
  if (text == "0" || text == "off" || text == "false" || text == "no") return on = false, true;
  return false;
}

// The value as the parameter stores it, clamped, in its written form; empty when it is no value
// of that kind.
std::string CheckedValue(const host::ParamDef& def, const std::string& text, std::vector<std::string>* notes) {
  if (def.type == host::ParamType::Bool) {
    bool on = false;
    return ParseSwitch(text, on) ? (on ? "on" : "off") : "";
  }
  double v = 0.0;
  if (!ParseNumber(text, v)) return "";
  if (def.type == host::ParamType::Int && v != std::floor(v)) return "";
  const double clamped = def.hasRange ? std::clamp(v, def.minValue, def.maxValue) : v;
  if (clamped != v && notes)
    notes->push_back(host::Format("--set %s: %s is outside %g to %g, using %g", def.name.c_str(), text.c_str(),
                                  def.minValue, def.maxValue, clamped));
  if (def.type == host::ParamType::Int) return std::to_string(static_cast<long long>(clamped));
  return host::Format("%g", double(float(clamped)));
}

}  // namespace

bool ParseSetOption(const std::string& text, WedgeSetting& setting, std::string* message) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0) {
    *message = "--set: expected NAME=V1,V2,..., found \"" + text + "\"";
    return false;
  }
  setting.name = text.substr(0, eq);
  setting.values.clear();
  const std::string list = text.substr(eq + 1);
  if (list.empty()) {
    *message = "--set " + setting.name + ": the list of values is empty";
    return false;
  }
  std::stringstream items(list + ",");
  std::string item;
  while (std::getline(items, item, ',')) {
    if (item.empty()) {
      *message = "--set " + setting.name + ": an empty value in \"" + list + "\"";
      return false;
    }
    setting.values.push_back(item);
  }
  return true;
}

bool CheckSetting(const host::Object& domain, WedgeSetting& setting, std::vector<std::string>* notes,
                  std::string* message) {
  const host::ParamRef p = host::FindParam(domain, setting.name);
  if (!p) {
    *message = "--set " + setting.name + ": the domain has no setting of that name";
    return false;
  }
  const host::ParamType type = p.def->type;
  if (type != host::ParamType::Float && type != host::ParamType::World && type != host::ParamType::Int &&
      type != host::ParamType::Bool) {
    *message = "--set " + setting.name + ": a wedge varies numbers and switches, not a " +
               std::string(host::ParamTypeName(type)) + " setting";
    return false;
  }
  std::vector<std::string> written;
  for (const std::string& text : setting.values) {
    const std::string value = CheckedValue(*p.def, text, notes);
    if (value.empty()) {
      *message = "--set " + setting.name + ": \"" + text + "\" is not " +
                 (type == host::ParamType::Bool ? "on or off" : type == host::ParamType::Int ? "a whole number" : "a number");
      return false;
    }
    if (std::find(written.begin(), written.end(), value) != written.end()) {
      *message = "--set " + setting.name + ": the value " + value + " comes twice (after clamping to the range)";
      return false;
    }
    written.push_back(value);
  }
  setting.name = p.def->name;
  setting.values = std::move(written);
  return true;
}

bool MakeVariants(const std::string& stem, const std::vector<WedgeSetting>& settings, bool pairs, size_t limit,
                  std::vector<WedgeVariant>& variants, std::string* message) {
  variants.clear();
  size_t count = settings.empty() ? 0 : (pairs ? settings.front().values.size() : 1);
  for (const WedgeSetting& s : settings) {
    if (pairs && s.values.size() != count) {
      *message = "--pairs: every --set needs as many values as the first (" + std::to_string(count) + "), " + s.name +
                 " has " + std::to_string(s.values.size());
      return false;
    }
    if (!pairs) count = std::min(count * s.values.size(), limit + 1);
  }
  if (count > limit) {
    *message = "the wedge would have more than " + std::to_string(limit) + " variants";
    return false;
  }
  for (size_t k = 0; k < count; ++k) {
    WedgeVariant v{stem, {}};
    size_t rest = k;
    for (size_t i = settings.size(); i-- > 0;) {  // the last setting varies fastest
      const size_t n = settings[i].values.size();
      const std::string& value = settings[i].values[pairs ? k : rest % n];
      if (!pairs) rest /= n;
      v.settings.insert(v.settings.begin(), {settings[i].name, value});
    }
    for (const auto& [name, value] : v.settings) v.name += "_" + name + "-" + value;
    variants.push_back(std::move(v));
  }
  return true;
}

bool ApplyVariant(host::Object& domain, const WedgeVariant& variant, host::TimeValue t) {
  for (const auto& [name, value] : variant.settings) {
    const host::ParamRef p = host::FindParam(domain, name);
    if (!p) return false;
    bool ok = false;
    if (p.def->type == host::ParamType::Bool) {
      bool on = false;
      ok = ParseSwitch(value, on) && p.block->SetBool(p.id, t, on);
    } else if (p.def->type == host::ParamType::Int) {
      ok = p.block->SetInt(p.id, t, std::stoi(value));
    } else {
      ok = p.block->SetFloat(p.id, t, std::stof(value));
    }
    if (!ok) return false;
  }
  return true;
}

bool WritePlan(const WedgePlan& plan, std::string* message) {
  json variants = json::array();
  for (const PlannedVariant& v : plan.variants) {
    json settings = json::array();
    for (const auto& [name, value] : v.variant.settings) settings.push_back({name, value});
    variants.push_back({{"name", v.variant.name}, {"settings", settings}, {"scene", v.scene},
                        {"cacheFolder", v.cacheFolder},
                        {"startFrame", v.startFrame}, {"endFrame", v.endFrame}});
  }
  const json doc{{"format", "tolvaris-wedge"}, {"version", 1}, {"domain", plan.domain},
                 {"sheetFrames", plan.sheetFrames}, {"variants", variants}};
  const std::string text = doc.dump(1) + "\n";
  return host::WriteFileAtomically(fs::path(plan.folder) / "wedge.json",
                                   {reinterpret_cast<const uint8_t*>(text.data()), text.size()}, message);
}

bool ReadPlan(const fs::path& folder, WedgePlan& plan, std::string* message) {
  const fs::path file = folder / "wedge.json";
  std::ifstream in(file);
  if (!in) return host::Fail(message, "cannot read " + file.string() + " (is it a wedge's folder?)");
  try {
    const json doc = json::parse(in);
    if (doc.value("format", "") != "tolvaris-wedge") return host::Fail(message, file.string() + ": not a wedge plan");
    plan.folder = fs::absolute(folder).lexically_normal().string();
    plan.domain = doc.at("domain").get<std::string>();
    plan.sheetFrames = doc.at("sheetFrames").get<std::vector<int>>();
    plan.variants.clear();
    for (const json& v : doc.at("variants")) {
      PlannedVariant p;
      p.variant.name = v.at("name").get<std::string>();
      for (const json& s : v.at("settings"))
        p.variant.settings.emplace_back(s.at(0).get<std::string>(), s.at(1).get<std::string>());
      p.scene = v.at("scene").get<std::string>();
      p.cacheFolder = v.at("cacheFolder").get<std::string>();
      p.startFrame = v.at("startFrame").get<int>();
      p.endFrame = v.at("endFrame").get<int>();
      plan.variants.push_back(std::move(p));
    }
  } catch (const std::exception& e) {
    return host::Fail(message, file.string() + ": " + e.what());
  }
  return true;
}

fs::path ResultFile(const WedgePlan& plan, const PlannedVariant& v) {
  return fs::path(plan.folder) / (v.variant.name + ".result");
}

fs::path LogFile(const WedgePlan& plan, const PlannedVariant& v) {
  return fs::path(plan.folder) / (v.variant.name + ".log");
}

bool WriteResult(const fs::path& file, int status, double ms, std::string* message) {
  const std::string text = host::Format("%d %.0f\n", status, ms);
  return host::WriteFileAtomically(file, {reinterpret_cast<const uint8_t*>(text.data()), text.size()}, message);
}

}  // namespace app
