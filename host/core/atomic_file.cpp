#include "host/core/atomic_file.h"

#include "host/core/status.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace host {

AtomicFile::AtomicFile(std::filesystem::path target)
    : target_(std::move(target)), part_(TemporaryPathFor(target_)) {}

std::filesystem::path AtomicFile::TemporaryPathFor(const std::filesystem::path& target) {
  // Built piece by piece: GCC 12 warns falsely about "." + string (-Wrestrict).
  std::string suffix(1, '.');
  suffix += std::to_string(::getpid());
  suffix += ".part";
  std::filesystem::path part = target;
  part += suffix;
  return part;
}

AtomicFile::~AtomicFile() {
  if (file_) std::fclose(file_);
  if (created_) ::unlink(part_.c_str());
}

bool AtomicFile::Fail(const std::string& what, int err) {
  error_ = what + ": " + std::strerror(err);
  errno_ = err;
  if (file_) std::fclose(file_);
  file_ = nullptr;
  if (created_) ::unlink(part_.c_str());
  created_ = false;
  return false;
}

bool AtomicFile::Open() {
  // A device or a pipe under the target's name is not a file to replace. (A folder there makes the
  // final rename fail, which removes the temporary file.)
  struct stat target;
  if (::lstat(target_.c_str(), &target) == 0 && !S_ISREG(target.st_mode) && !S_ISLNK(target.st_mode) &&
      !S_ISDIR(target.st_mode)) {
    error_ = "cannot write " + target_.string() + ": not a regular file";
    return false;
  }
  constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = ::open(part_.c_str(), kFlags, 0644);
  if (fd < 0 && errno == EEXIST) {
    // A killed writer's file or a planted link: unlink removes the name itself, never what a link
    // points at. A folder of that name is not ours to remove.
    struct stat st;
    if (::lstat(part_.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) && ::unlink(part_.c_str()) == 0)
      fd = ::open(part_.c_str(), kFlags, 0644);
    else
      errno = EEXIST;
  }
  if (fd < 0) return Fail("cannot create " + part_.string(), errno);
  created_ = true;
  file_ = ::fdopen(fd, "wb");
  if (!file_) {
    const int err = errno;
    ::close(fd);
    return Fail("cannot write " + part_.string(), err);
  }
  return true;
}

bool AtomicFile::Write(const void* data, std::size_t size) {
  if (!file_) return false;
  if (size == 0 || std::fwrite(data, 1, size, file_) == size) return true;
  return Fail("cannot write " + part_.string(), errno ? errno : EIO);
}

bool AtomicFile::Commit() {
  if (!file_) return false;
  // A full disk often shows only when the buffered tail is flushed, so every step is checked.
  // Writes through Stream() leave their failures in the stream's error flag.
  if (std::fflush(file_) != 0 || std::ferror(file_) || ::fsync(::fileno(file_)) != 0)
    return Fail("cannot write " + part_.string(), errno ? errno : EIO);
  const int closed = std::fclose(file_);
  file_ = nullptr;
  if (closed != 0) return Fail("cannot write " + part_.string(), errno);
  if (::rename(part_.c_str(), target_.c_str()) != 0) return Fail("cannot replace " + target_.string(), errno);
  created_ = false;
  return true;
}

bool AtomicFile::MayBeOutOfSpace() const {
  return errno_ == ENOSPC || errno_ == EDQUOT || errno_ == EFBIG || errno_ == EIO;
}

bool WriteFileAtomically(const std::filesystem::path& target, std::span<const uint8_t> bytes, std::string* error) {
  AtomicFile file(target);
  const bool ok = file.Open() && file.Write(bytes.data(), bytes.size()) && file.Commit();
  if (!ok) SetError(error, file.Error());
  return ok;
}

FileLock::~FileLock() {
  if (fd_ >= 0) ::close(fd_);
}

bool FileLock::TryLock(const std::filesystem::path& file, bool shared) {
  if (fd_ >= 0) return true;
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  if (::flock(fd, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

bool FileLock::Note(std::string_view text) {
  return fd_ >= 0 && ::ftruncate(fd_, 0) == 0 && ::pwrite(fd_, text.data(), text.size(), 0) == ssize_t(text.size());
}

void IgnoreFileSizeSignal() { ::signal(SIGXFSZ, SIG_IGN); }

}  // namespace host
