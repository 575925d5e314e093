#include "presets/preset_files.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "domain/fire_params_desc.h"
#include "host/core/atomic_file.h"
#include "host/scene/objects.h"
#include "host/core/platform.h"
#include "presets/builtin_presets.h"
#include "presets/preset_edit.h"

namespace tf {

namespace {

namespace fs = std::filesystem;

constexpr const char* kHeader = "; Tolvaris Fire preset. Lengths in metres.\n";
constexpr const char* kUserPrefix = "[my] ";
constexpr size_t kMaxLine = 512;
constexpr size_t kMaxName = 127;

// Why `name` cannot name a preset file, or nothing. A name never reaches outside the folder: it
// holds no separator, and "." and ".." are refused as well; control characters (NUL among them)
// would cut or garble the file name.
const char* NameProblem(std::string_view name) {
  if (name.empty()) return "Give the preset a name.";
  if (name.find_first_of("\\/:*?\"<>|") != std::string_view::npos)
    return "A preset name cannot contain \\ / : * ? \" < > |";
  if (name == "." || name == "..") return "A preset name cannot be \".\" or \"..\".";
  if (std::any_of(name.begin(), name.end(), [](char c) { return (unsigned char)c < 0x20 || c == 0x7f; }))
    return "A preset name cannot contain control characters.";
  return nullptr;
}

// Whether `name` can name a file of the presets folder to read: a listed file may hold characters
// a new preset's name may not (\ : * ? " < > | are plain on this system), but never a separator,
// "." or "..", or a control character.
bool ReadableName(std::string_view name) {
  return !name.empty() && name.find('/') == std::string_view::npos && name != "." && name != ".." &&
         std::none_of(name.begin(), name.end(), [](char c) { return (unsigned char)c < 0x20 || c == 0x7f; });
}

fs::path PresetFile(const std::string& name) { return PresetsFolder() / (name + ".tfp"); }

struct UserList {
  bool built = false;
  fs::path folder;  // the folder the names came from
  std::vector<std::string> names;
};

UserList& List() {
  static UserList list;
  return list;
}

// Writes the header and one line per written setting; the number of settings, or -1 when the file
// could not be written.
int WriteSettings(std::FILE* f, const host::ParamBlock& block, host::TimeValue t, double u) {
  int lines = 0;
  std::fputs(kHeader, f);
  for (const host::ParamDef& d : block.Desc().params) {
    if (d.id == kLiveMode) continue;  // a preset never switches live mode on or off
    const char* name = d.name.c_str();
    switch (d.type) {
      case host::ParamType::Float: std::fprintf(f, "%s = %.9g\n", name, double(*block.GetFloat(d.id, t))); break;
      case host::ParamType::World: std::fprintf(f, "%s = %.9g m\n", name, double(*block.GetFloat(d.id, t)) * u); break;
      case host::ParamType::Int:
      case host::ParamType::Bool: std::fprintf(f, "%s = %d\n", name, *block.GetInt(d.id, t)); break;
      case host::ParamType::Colour: {
        const host::Point3 c = *block.GetColour(d.id, t);
        std::fprintf(f, "%s = %.6g %.6g %.6g\n", name, double(c.x), double(c.y), double(c.z));
        break;
      }
      default: continue;
    }
    ++lines;
  }
  return std::ferror(f) ? -1 : lines;
}

// Reads one line into `line`, without its end. Longer lines are read to their end but come back
// marked, so that their tail is never taken for a line of its own. False at the end of the file.
bool ReadLine(std::streambuf& in, std::string& line, bool& tooLong) {
  line.clear();
  tooLong = false;
  int c = in.sbumpc();
  if (c == std::char_traits<char>::eof()) return false;
  for (; c != std::char_traits<char>::eof() && c != '\n'; c = in.sbumpc()) {
    if (line.size() < kMaxLine + 1) line.push_back(char(c));
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  tooLong = line.size() > kMaxLine;
  return true;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// One "name = numbers [unit]" line onto the block.
void ApplyLine(host::ParamBlock& block, const std::string& line, host::TimeValue t, double u) {
  size_t at = 0;
  while (at < line.size() && IsSpace(line[at])) ++at;
  const size_t eq = line.find('=');
  if (at == line.size() || line[at] == ';' || eq == std::string::npos) return;
  size_t end = at;
  while (end < eq && !IsSpace(line[end])) ++end;
  if (end == at || end - at > kMaxName) return;
  const host::ParamDef* d = block.Desc().FindByName(std::string_view(line).substr(at, end - at));
  if (!d || d->id == kLiveMode) return;

  // strtod stops at a NUL byte, so a binary line reads as its text up to there.
  double v[3] = {0, 0, 0};
  int count = 0;
  const char* p = line.c_str() + eq + 1;
  const char* afterFirst = p;
  for (char* next = nullptr; count < 3; ++count, p = next) {
    v[count] = std::strtod(p, &next);
    if (next == p) break;
    if (count == 0) afterFirst = next;
  }
  if (count == 0) return;
  while (IsSpace(*afterFirst)) ++afterFirst;
  const bool metres = *afterFirst == 'm';

  switch (d->type) {
    case host::ParamType::Float:
    case host::ParamType::World: {
      // A number in metres is turned into scene units, whatever the kind of the setting.
      double value = metres ? v[0] / u : v[0];
      // Past float's range the block's clamp could not see the value; NaN stays NaN and is refused.
      if (!std::isnan(value)) value = std::clamp(value, -double(FLT_MAX), double(FLT_MAX));
      block.SetFloat(d->id, t, float(value));
      break;
    }
    case host::ParamType::Colour:
      if (count == 3) block.SetColour(d->id, t, host::Point3(float(v[0]), float(v[1]), float(v[2])));
      break;
    case host::ParamType::Int:
    case host::ParamType::Bool:
      if (std::isfinite(v[0]))
        block.SetInt(d->id, t, int(std::clamp(std::trunc(v[0]), double(INT_MIN), double(INT_MAX))));
      break;
    default: break;  // nodes and file names are not preset settings
  }
}

std::string DisplayName(const std::vector<std::string>& user, int index) {
  const std::vector<BuiltInPreset>& rows = BuiltInPresets();
  if (index < 0) return {};
  if (size_t(index) < rows.size()) return rows[size_t(index)].name;
  const size_t k = size_t(index) - rows.size();
  return k < user.size() ? kUserPrefix + user[k] : std::string();
}

}  // namespace

fs::path PresetsFolder() { return host::DocumentsFolder() / "TolvarisFire" / "presets"; }

host::Status SavePreset(host::Object* domain, const std::string& name) {
  const host::ParamBlock* block = DomainBlock(domain);
  if (!block) return {false, "not a TolvarisFire node"};
  if (const char* problem = NameProblem(name)) return {false, problem};
  const fs::path folder = PresetsFolder();
  const fs::path file = PresetFile(name);
  const std::string cannot = "Cannot write " + file.string();
  if (!host::CreateDirectories(folder)) return {false, cannot};
  host::AtomicFile out(file);
  const int lines = out.Open() ? WriteSettings(out.Stream(), *block, domain->CurrentTime(), MetresPerUnit(*domain)) : -1;
  if (lines < 0 || !out.Commit()) return {false, cannot};
  RefreshUserPresets();
  return {true, "Saved preset \"" + name + "\" (" + std::to_string(lines) + " settings) in " + folder.string()};
}

bool LoadPreset(host::Object* domain, const std::string& name) {
  host::ParamBlock* block = DomainBlock(domain);
  if (!block || !ReadableName(name)) return false;
  const fs::path file = PresetFile(name);
  std::error_code ec;
  if (!fs::is_regular_file(file, ec)) return false;
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  const host::TimeValue t = domain->CurrentTime();
  const double u = MetresPerUnit(*domain);
  PresetUndoStep step(*domain);
  std::string line;
  bool tooLong = false;
  while (ReadLine(*in.rdbuf(), line, tooLong))
    if (!tooLong) ApplyLine(*block, line, t, u);
  return true;
}

const std::vector<std::string>& UserPresets() {
  const UserList& list = List();
  if (!list.built || list.folder != PresetsFolder()) RefreshUserPresets();
  return list.names;
}

void RefreshUserPresets() {
  UserList& list = List();
  list.folder = PresetsFolder();
  list.names.clear();
  for (const fs::path& file : host::FindFiles(list.folder, "*.tfp")) {
    std::string name = file.filename().string();
    name.resize(name.size() - 4);
    if (ReadableName(name)) list.names.push_back(std::move(name));
  }
  // Byte order of UTF-8 is code point order: upper case before lower case.
  std::sort(list.names.begin(), list.names.end());
  list.built = true;
}

int PresetCount() { return int(BuiltInPresets().size() + UserPresets().size()); }

std::string PresetName(int index) { return DisplayName(UserPresets(), index); }

int PresetIndex(std::string_view name) {
  const std::vector<std::string>& user = UserPresets();
  const std::string mine = kUserPrefix + std::string(name);
  for (int k = 0, n = int(BuiltInPresets().size() + user.size()); k < n; ++k) {
    const std::string shown = DisplayName(user, k);
    if (shown == name || shown == mine) return k;
  }
  return -1;
}

bool ApplyPreset(host::Object* domain, int index) {
  const std::vector<BuiltInPreset>& rows = BuiltInPresets();
  if (!DomainBlock(domain) || index <= 0 || index >= PresetCount()) return false;
  if (size_t(index) >= rows.size()) return LoadPreset(domain, UserPresets()[size_t(index) - rows.size()]);
  return ApplyBuiltInPreset(domain, rows[size_t(index)]);
}

}  // namespace tf
