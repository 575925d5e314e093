// A file-size limit for one scope, which binds root too: writes past it fail with EFBIG (the
// signal that would end the process is ignored meanwhile), as they would on a full disk.
#pragma once

#include <sys/resource.h>

#include <csignal>

namespace host::testing {

class ScopedFileSizeLimit {
 public:
  explicit ScopedFileSizeLimit(rlim_t bytes) {
    if (getrlimit(RLIMIT_FSIZE, &old_) != 0) return;
    rlimit small = old_;
    small.rlim_cur = bytes;
    handler_ = std::signal(SIGXFSZ, SIG_IGN);
    active_ = setrlimit(RLIMIT_FSIZE, &small) == 0;
  }
  ~ScopedFileSizeLimit() {
    if (!active_) return;
    setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, handler_);
  }
  ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
  ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;
  bool Active() const { return active_; }

 private:
  rlimit old_{};
  void (*handler_)(int) = SIG_DFL;
  bool active_ = false;
};

}  // namespace host::testing
