// How a failure and its message reach the caller: one form for each of the two kinds of call.
//
// A command, the whole of what a user, a script or the command line asked for (a bake, an export,
// a script run, a VDB file written), returns a result derived from Status: `ok` says whether it
// did its job, `message` is its text for the status line or the script, a summary on success and
// the reason on failure. What else the command reports (counts, timings) sits beside them.
//
// A step a command is made of (open, parse, check, write one file) returns bool, or a pointer that
// is null on failure, and takes the reason through a `std::string*` argument that may be null (the
// last one, but for optional outputs): it stores the text with SetError, or ends with
// `return Fail(error, text)`. Neither kind throws across a subsystem's edge.
#pragma once

#include <string>
#include <utility>

namespace host {

struct Status {
  bool ok = false;
  std::string message;
};

// Stores `text` where the caller asked for the reason of a failure (`error` may be null).
inline void SetError(std::string* error, std::string text) {
  if (error) *error = std::move(text);
}

// The same, for the step that fails right there: `return Fail(error, "...")`.
inline bool Fail(std::string* error, std::string text) {
  SetError(error, std::move(text));
  return false;
}

}  // namespace host
