// A wedge: one scene baked several times with a few settings of its domain varied. The settings
// given on the command line are checked against the domain's parameters and clamped to their
// ranges as the panel does; every combination of their values (or the values side by side) is
// one variant, named after its settings. The plan (DIR/wedge.json) lists the variants with their
// scene files, cache folders and preview files, so that whoever makes the contact sheet and the
// index afterwards (this program here, or a follow-up job on a farm) needs nothing else.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "host/core/keys.h"

namespace host {
class Object;
}  // namespace host

namespace app {

// One --set NAME=V1,V2,...: the parameter's own name and the values, clamped and written as the
// variant names show them.
struct WedgeSetting {
  std::string name;
  std::vector<std::string> values;
};

// Splits "NAME=V1,V2". False with the reason when the text has no '=', no name, or an empty value.
bool ParseSetOption(const std::string& text, WedgeSetting& setting, std::string* message);

// Checks a setting against the domain's parameters: the name (any case) must be a number or
// switch setting of the domain, every value a number of its kind (or on/off); values are
// clamped to the parameter's range (`notes` says so), and two values that end up the same are
// refused. On success the name is the parameter's and the values are in their written form.
bool CheckSetting(const host::Object& domain, WedgeSetting& setting, std::vector<std::string>* notes,
                  std::string* message);

struct WedgeVariant {
  std::string name;  // "campfire_vorticity-2_burnRate-8"
  std::vector<std::pair<std::string, std::string>> settings;
};

// Every combination of the settings' values, the first setting varying slowest; with `pairs` the
// values side by side (the lists must be equally long). `stem` starts each name. False with the
// reason for unequal pairs or for more variants than `limit`.
bool MakeVariants(const std::string& stem, const std::vector<WedgeSetting>& settings, bool pairs, size_t limit,
                  std::vector<WedgeVariant>& variants, std::string* message);

// Sets the variant's values on the domain at time t (as the panel does, clamped). False when a
// value does not take.
bool ApplyVariant(host::Object& domain, const WedgeVariant& variant, host::TimeValue t);

// What a bake of a variant left, as the plan and the index keep it.
struct PlannedVariant {
  WedgeVariant variant;
  std::string scene;        // its scene file
  std::string cacheFolder;  // where its frames go
  int startFrame = 0, endFrame = 0;
};

struct WedgePlan {
  std::string folder;  // DIR, absolute
  std::string domain;  // the domain node's name
  std::vector<int> sheetFrames;
  std::vector<PlannedVariant> variants;
};

// DIR/wedge.json, written whole or not at all.
bool WritePlan(const WedgePlan& plan, std::string* message);
// Reads DIR/wedge.json. False with the file and the reason when it is missing or malformed.
bool ReadPlan(const std::filesystem::path& folder, WedgePlan& plan, std::string* message);

// DIR/<variant>.result: the bake's exit status and its wall-clock milliseconds, one line.
std::filesystem::path ResultFile(const WedgePlan& plan, const PlannedVariant& v);
std::filesystem::path LogFile(const WedgePlan& plan, const PlannedVariant& v);
bool WriteResult(const std::filesystem::path& file, int status, double ms, std::string* message);

}  // namespace app

namespace app {

struct Session;

// Reads what the bakes of the plan left (result files, cache frames), renders the sheet's frames
// of each variant from its cache into DIR/sheet/ and writes DIR/index.json and DIR/sheet.png. The exit status: 0 when every variant baked, 1 when one
// failed or was never run (named on stderr) or a file could not be written.
int MakeSheetAndIndex(Session& session, const WedgePlan& plan);

}  // namespace app
