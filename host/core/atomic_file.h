// Files that appear under their name whole or not at all.
//
// The bytes go to "<name>.<process id>.part" beside the target, so that two programs writing one
// name never share a temporary file (one would remove or rename the other's half-written bytes).
// It is created new and exclusive: never opened through an existing name or a symbolic link, so
// nobody can point a writer at another file by planting a link in a shared folder. A stale file
// or link of that name (a killed writer's that had the same process id, or a planted one) is
// removed first, without following it; a folder of that name is left alone and the write fails,
// and so does a target that is a device or a pipe (renaming would replace it).
// On commit the data are flushed to the disk before the rename, so that a crash or a power loss
// leaves either the old file or the new one under the name, never an empty or torn one. Whatever
// fails on the way (a full disk, a file-size limit, a missing folder) removes the temporary file
// and leaves an older file under the name as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace host {

class AtomicFile {
 public:
  explicit AtomicFile(std::filesystem::path target);
  // An uncommitted temporary file is removed.
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates the temporary file. False with the reason in Error().
  bool Open();
  // Appends; false (the reason in Error()) when the write fails.
  bool Write(const void* data, std::size_t size);
  // The open temporary file as a stdio stream, for writers that want one; null before Open.
  std::FILE* Stream() const { return file_; }
  // Flushes the data to the disk, closes the file and renames it onto the target. False with the
  // reason; the temporary file is gone then.
  bool Commit();

  const std::filesystem::path& TemporaryPath() const { return part_; }
  // The temporary name this process writes `target` through.
  static std::filesystem::path TemporaryPathFor(const std::filesystem::path& target);
  const std::string& Error() const { return error_; }
  // Whether the failure may be the disk running out: no space, a quota, a file-size limit or an
  // input/output error. False for a cause that names itself (a pipe under the name, a folder in
  // the way, no permission).
  bool MayBeOutOfSpace() const;

 private:
  bool Fail(const std::string& what, int err);

  std::filesystem::path target_, part_;
  std::FILE* file_ = nullptr;
  bool created_ = false;
  std::string error_;
  int errno_ = 0;  // of the failure; 0 when it was not a system call's
};

// Writes `bytes` to `target` through an AtomicFile. False with the reason in `error`.
bool WriteFileAtomically(const std::filesystem::path& target, std::span<const uint8_t> bytes,
                         std::string* error = nullptr);

// An exclusive lock on a file, held until the object goes or the process ends (a process that dies
// lets go of it): one writer at a time for a folder that several programs may write to.
class FileLock {
 public:
  FileLock() = default;
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  // Creates `file` when missing and takes the lock without waiting; false when another holder
  // has it or the file cannot be made. A shared lock is held beside other shared ones, never
  // beside the one that is not.
  bool TryLock(const std::filesystem::path& file, bool shared = false);
  // Replaces what the held lock file says (who holds it, for those refused); false when no lock is
  // held or the file cannot be written.
  bool Note(std::string_view text);

 private:
  int fd_ = -1;
};

// Write failures beyond the process's file-size limit come back as errors (EFBIG) instead of a
// signal that ends the process.
void IgnoreFileSizeSignal();

}  // namespace host
