// The written document laid out as text.
#include <string>

#include "host/scene_file/scene_document.h"

namespace host {

namespace {

std::string Scalar(const ojson& j) { return j.dump(-1, ' ', false, ojson::error_handler_t::replace); }

bool IsScalar(const ojson& j) { return !j.is_object() && !j.is_array(); }

bool IsFlat(const ojson& j, int depth = 0) {
  if (IsScalar(j)) return true;
  if (depth == 2) return false;
  for (const auto& item : j) if (!IsFlat(item, depth + 1)) return false;
  return true;
}

std::string Inline(const ojson& j) {
  if (IsScalar(j)) return Scalar(j);
  std::string out = j.is_object() ? "{" : "[";
  bool first = true;
  for (auto it = j.begin(); it != j.end(); ++it) {
    if (!first) out += ", ";
    first = false;
    if (j.is_object()) out += Scalar(ojson(it.key())) + ": ";
    out += Inline(*it);
  }
  return out + (j.is_object() ? "}" : "]");
}

void Pretty(const ojson& j, int indent, std::string& out) {
  constexpr size_t kLine = 100;
  if (IsFlat(j)) {
    const std::string one = Inline(j);
    if (IsScalar(j) || j.empty() || one.size() + size_t(indent) <= kLine) {
      out += one;
      return;
    }
  }
  const std::string pad(size_t(indent + 2), ' ');
  out += j.is_object() ? "{\n" : "[\n";
  bool first = true;
  for (auto it = j.begin(); it != j.end(); ++it) {
    if (!first) out += ",\n";
    first = false;
    out += pad;
    if (j.is_object()) out += Scalar(ojson(it.key())) + ": ";
    Pretty(*it, indent + 2, out);
  }
  out += '\n';
  out.append(size_t(indent), ' ');
  out += j.is_object() ? '}' : ']';
}

}  // namespace

std::string PrintDocument(const ojson& document) {
  std::string out;
  Pretty(document, 0, out);
  return out;
}

}  // namespace host
