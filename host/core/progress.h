// Progress of a long command (a bake, an export): the one callback type every such command takes.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace host {

// Told the steps done, the steps in all and the step's text after every step; returns false to
// stop the command there. An empty one goes on. It also takes a callback written with a leading
// pointer argument (always passed null), the form the export button's callback has.
class ProgressFn {
 public:
  using Fn = std::function<bool(int32_t done, int32_t total, const std::string& text)>;

  ProgressFn() = default;
  ProgressFn(std::nullptr_t) {}
  template <class F>
    requires std::invocable<F&, int32_t, int32_t, const std::string&>
  ProgressFn(F f) : fn_(std::move(f)) {}
  template <class F>
    requires std::invocable<F&, void*, int32_t, int32_t, const std::string&>
  ProgressFn(F f)
      : fn_([f = std::move(f)](int32_t done, int32_t total, const std::string& text) mutable {
          return f(nullptr, done, total, text);
        }) {}

  explicit operator bool() const { return bool(fn_); }
  // False when the callback asked to stop.
  bool operator()(int32_t done, int32_t total, const std::string& text) const {
    return !fn_ || fn_(done, total, text);
  }

 private:
  Fn fn_;
};

}  // namespace host
