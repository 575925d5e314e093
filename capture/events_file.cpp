#include "capture/events_file.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string_view>

#include "domain/fire_params_desc.h"
#include "host/scene/objects.h"
#include "host/scene/scene.h"

namespace tf {
namespace {

constexpr size_t kMaxLineBytes = 511;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// A reader of one line that follows the conversions of "%d %f %f %f %63s %f": blanks before each
// field are skipped, a number ends where its text stops being one.
class LineFields {
 public:
  explicit LineFields(std::string_view line) : text_(line), p_(text_.c_str()) {}

  bool Int(int32_t& value) {
    SkipBlanks();
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(p_, &end, 10);
    if (end == p_ || errno == ERANGE || v < std::numeric_limits<int32_t>::min() ||
        v > std::numeric_limits<int32_t>::max())
      return false;
    p_ = end;
    value = int32_t(v);
    return true;
  }
  // A number that is not finite does not count as one: it would place or size an event nowhere.
  bool Float(float& value) {
    SkipBlanks();
    char* end = nullptr;
    const float v = std::strtof(p_, &end);
    if (end == p_ || !std::isfinite(v)) return false;
    p_ = end;
    value = v;
    return true;
  }
  bool Word(std::string& word, size_t maxLength) {
    SkipBlanks();
    word.clear();
    while (*p_ && !IsBlank(*p_) && word.size() < maxLength) word.push_back(*p_++);
    return !word.empty();
  }

 private:
  void SkipBlanks() {
    while (*p_ && IsBlank(*p_)) ++p_;
  }
  std::string text_;
  const char* p_;
};

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// The event kind of a word: 0 spark or glass, 1 impact, 2 dust, -1 for anything else.
int EventKind(std::string_view word) {
  if (EqualsNoCase(word, "spark") || EqualsNoCase(word, "glass")) return 0;
  if (EqualsNoCase(word, "impact")) return 1;
  if (EqualsNoCase(word, "dust")) return 2;
  return -1;
}

}  // namespace

std::string EventsFilePath(const host::Object& domain) {
  const host::Scene* scene = domain.GetScene();
  if (const host::ParamBlock* block = domain.GetParamBlockById(kFireParamBlockId)) {
    const std::string file = block->GetString(kEventsFile, 0).value_or("");
    if (!file.empty()) return scene ? scene->ResolvePath(file).string() : file;
  }
  if (!scene) return {};
  const std::string scenePath = scene->FilePath().string();
  if (scenePath.empty()) return {};
  // Either separator ends the folder, so that a scene path written the Windows way works too.
  const size_t slash = scenePath.find_last_of("\\/");
  const std::string folder = slash == std::string::npos ? std::string() : scenePath.substr(0, slash + 1);
  const std::string fileName = slash == std::string::npos ? scenePath : scenePath.substr(slash + 1);
  return folder + fileName.substr(0, fileName.find('.')) + "_cyclone/events.txt";
}

int ReadEventsFile(const std::string& path, float minEnergy, std::vector<ImpactEvent>& events, bool& inMetres) {
  events.clear();
  inMetres = false;
  if (path.empty()) return -1;
  std::error_code ec;
  // A folder, a pipe or a device is no events file (reading a pipe would block).
  if (!std::filesystem::is_regular_file(path, ec)) return -1;
  std::ifstream in(path, std::ios::binary);
  if (!in) return -1;
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() > kMaxLineBytes) line.resize(kMaxLineBytes);
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos) continue;
    const std::string_view text = std::string_view(line).substr(first);
    if (text.front() == '#') {
      if (text.find("units metres") != std::string_view::npos || text.find("units meters") != std::string_view::npos)
        inMetres = true;
      continue;
    }
    if (text.front() == '\r' || text.front() == '\n') continue;
    LineFields fields(text);
    ImpactEvent e;
    std::string word;
    if (!fields.Int(e.frame) || !fields.Float(e.x) || !fields.Float(e.y) || !fields.Float(e.z) ||
        !fields.Word(word, 63))
      continue;
    if (!fields.Float(e.energy)) e.energy = 0.0f;
    e.kind = EventKind(word);
    if (e.kind < 0 || e.energy < minEnergy) continue;
    events.push_back(e);
  }
  return int(events.size());
}

}  // namespace tf
