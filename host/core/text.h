// Messages: the one printf-style formatter. How a failure's text reaches its caller is in
// host/core/status.h.
//
// Everything above the host layer builds its messages with these, so a format string and its
// arguments are checked by the compiler wherever a message is made.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>

namespace host {

// printf into a std::string of exactly the needed length; an empty text for a bad format.
[[gnu::format(printf, 1, 2)]] inline std::string Format(const char* format, ...) {
  va_list args, again;
  va_start(args, format);
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text;
  if (n > 0) {
    text.resize(size_t(n) + 1);
    std::vsnprintf(text.data(), text.size(), format, again);
    text.resize(size_t(n));
  }
  va_end(again);
  return text;
}

// The same into a fixed buffer of `size` bytes, cut to fit, for code that must not allocate (the
// script engine's path to a Lua error).
[[gnu::format(printf, 3, 4)]] inline void FormatInto(char* out, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(out, size, format, args);
  va_end(args);
}

}  // namespace host
