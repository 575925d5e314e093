// A flag raised for the length of a scope and lowered on every way out of it, early returns and
// exceptions included: the "a bake is running" and "an update is running" guards.
#pragma once

namespace host {

class FlagScope {
 public:
  explicit FlagScope(bool& flag) : flag_(flag) { flag_ = true; }
  ~FlagScope() { flag_ = false; }
  FlagScope(const FlagScope&) = delete;
  FlagScope& operator=(const FlagScope&) = delete;

 private:
  bool& flag_;
};

}  // namespace host
