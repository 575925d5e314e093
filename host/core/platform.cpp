#include "host/core/platform.h"

#include "host/core/status.h"
#include "host/core/text.h"

#include <dlfcn.h>
#include <link.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <system_error>

extern char** environ;

namespace host {

namespace fs = std::filesystem;

namespace {

std::string Quoted(const fs::path& p) {
  std::string text(1, '"');
  text += p.string();
  text += '"';
  return text;
}

std::mutex gDocumentsMutex;
fs::path gDocumentsOverride;

fs::path HomeFolder() {
  const char* home = std::getenv("HOME");
  return home && *home ? fs::path(home) : fs::path();
}

// The XDG_DOCUMENTS_DIR entry of user-dirs.dirs: a shell assignment of a quoted path that may
// start with $HOME.
fs::path DocumentsFromUserDirs(const fs::path& home) {
  fs::path config;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
    config = xdg;
  } else if (!home.empty()) {
    config = home / ".config";
  } else {
    return {};
  }
  std::ifstream in(config / "user-dirs.dirs");
  std::string line;
  const std::string_view key = "XDG_DOCUMENTS_DIR=";
  while (std::getline(in, line)) {
    std::string_view v(line);
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    if (!v.starts_with(key)) continue;
    v.remove_prefix(key.size());
    if (v.size() < 2 || v.front() != '"') continue;
    const size_t close = v.find('"', 1);
    if (close == std::string_view::npos) continue;
    v = v.substr(1, close - 1);
    if (v.starts_with("$HOME")) {
      if (home.empty()) continue;
      v.remove_prefix(5);
      while (!v.empty() && v.front() == '/') v.remove_prefix(1);
      return v.empty() ? home : home / fs::path(std::string(v));
    }
    if (!v.empty() && v.front() == '/') return fs::path(std::string(v));
  }
  return {};
}

// Both flags are touched by the signal handler, so they must be lock-free atomics.
std::atomic<bool> gStop{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnInterrupt(int) {
  if (gStop.exchange(true)) {
    // Asked twice: nobody is looking, so end the process the usual way.
    std::signal(SIGINT, SIG_DFL);
    std::raise(SIGINT);
  }
}

bool AsciiEqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

struct ModuleSearch {
  std::string_view fileName;
  std::string path;
};

int MatchLoadedObject(dl_phdr_info* info, size_t, void* data) {
  auto* search = static_cast<ModuleSearch*>(data);
  if (!info->dlpi_name || !*info->dlpi_name) return 0;
  const std::string_view name(info->dlpi_name);
  const size_t slash = name.rfind('/');
  const std::string_view file = slash == std::string_view::npos ? name : name.substr(slash + 1);
  if (!AsciiEqualNoCase(file, search->fileName)) return 0;
  search->path = name;
  return 1;
}

// Length in bytes of the UTF-8 character that starts with `lead`.
size_t Utf8Length(unsigned char lead) {
  if (lead < 0xC0) return 1;  // ASCII, or a stray continuation byte taken alone
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

}  // namespace

// ---- Folders ---------------------------------------------------------------------------------

fs::path DocumentsFolder() {
  {
    std::lock_guard lock(gDocumentsMutex);
    if (!gDocumentsOverride.empty()) return gDocumentsOverride;
  }
  if (const char* xdg = std::getenv("XDG_DOCUMENTS_DIR"); xdg && *xdg) return fs::path(xdg);
  const fs::path home = HomeFolder();
  if (fs::path fromFile = DocumentsFromUserDirs(home); !fromFile.empty()) return fromFile;
  return home.empty() ? fs::path("Documents") : home / "Documents";
}

void SetDocumentsFolder(const fs::path& folder) {
  std::lock_guard lock(gDocumentsMutex);
  gDocumentsOverride = folder;
}

fs::path ExecutableFolder() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path() : exe.parent_path();
}

// ---- Files and directories -------------------------------------------------------------------

bool CreateDirectories(const fs::path& folder, std::string* message) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (fs::is_directory(folder)) return true;
  SetError(message, "cannot create the folder " + Quoted(folder) + ": " +
                          (ec ? ec.message() : std::string("a file is in the way")));
  return false;
}

bool RenameReplace(const fs::path& from, const fs::path& to, std::string* message) {
  std::error_code ec;
  if (!fs::is_regular_file(from, ec)) {
    return Fail(message, "cannot move " + Quoted(from) + ": no such file");
  }
  if (fs::is_directory(to, ec)) {
    return Fail(message, "cannot move " + Quoted(from) + " onto " + Quoted(to) + ": it is a folder");
  }
  // rename(2) replaces an existing target atomically.
  fs::rename(from, to, ec);
  if (ec) {
    return Fail(message, "cannot move " + Quoted(from) + " onto " + Quoted(to) + ": " + ec.message());
  }
  return true;
}

bool DeleteFile(const fs::path& file, std::string* message) {
  std::error_code ec;
  const fs::file_status st = fs::symlink_status(file, ec);
  if (!fs::exists(st)) {
    return Fail(message, "cannot delete " + Quoted(file) + ": no such file");
  }
  if (fs::is_directory(st)) {
    return Fail(message, "cannot delete " + Quoted(file) + ": it is a folder");
  }
  if (!fs::remove(file, ec)) {
    return Fail(message, "cannot delete " + Quoted(file) + ": " + ec.message());
  }
  return true;
}

std::vector<fs::path> FindFiles(const fs::path& folder, std::string_view pattern) {
  std::vector<fs::path> found;
  std::error_code ec;
  fs::directory_iterator it(folder, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    std::error_code typeError;
    if (!it->is_regular_file(typeError)) continue;
    if (WildcardMatch(pattern, it->path().filename().string())) found.push_back(it->path());
  }
  std::sort(found.begin(), found.end(),
            [](const fs::path& a, const fs::path& b) { return a.filename().string() < b.filename().string(); });
  return found;
}

bool WildcardMatch(std::string_view pattern, std::string_view name) {
  // Greedy matching with one backtrack point: the last '*' seen and where its run ended.
  size_t p = 0, n = 0;
  size_t starP = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
      continue;
    }
    if (p < pattern.size() && pattern[p] == '?') {
      ++p;
      n += Utf8Length(static_cast<unsigned char>(name[n]));
      if (n > name.size()) n = name.size();
      continue;
    }
    if (p < pattern.size() && pattern[p] == name[n]) {
      ++p;
      ++n;
      continue;
    }
    if (starP == std::string_view::npos) return false;
    // Let the last '*' swallow one more character and try again after it.
    p = starP + 1;
    starN += Utf8Length(static_cast<unsigned char>(name[starN]));
    if (starN > name.size()) return false;
    n = starN;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// ---- Clocks ------------------------------------------------------------------------------------

uint64_t HighResCounter() {
  using namespace std::chrono;
  return uint64_t(duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count());
}

double HighResSeconds() { return double(HighResCounter()) / double(kHighResFrequency); }

uint64_t MillisecondsSinceStart() {
  // The steady clock is CLOCK_MONOTONIC, which counts from boot.
  using namespace std::chrono;
  return uint64_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// ---- Memory and process ----------------------------------------------------------------------

std::optional<uint64_t> ParseMemAvailable(std::string_view meminfo) {
  std::istringstream in{std::string(meminfo)};
  std::string line;
  while (std::getline(in, line)) {
    if (!line.starts_with("MemAvailable:")) continue;
    std::istringstream fields(line.substr(13));
    uint64_t value = 0;
    std::string unit;
    if (!(fields >> value)) return std::nullopt;
    fields >> unit;
    if (unit.empty()) return value;
    if (unit == "kB") return value * 1024;
    return std::nullopt;
  }
  return std::nullopt;
}

uint64_t AvailablePhysicalMemory() {
  std::ifstream in("/proc/meminfo");
  if (in) {
    std::stringstream text;
    text << in.rdbuf();
    if (auto bytes = ParseMemAvailable(text.str())) return *bytes;
  }
  // Older kernels have no MemAvailable: free pages are the nearest figure.
  const long pages = sysconf(_SC_AVPHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return 0;
  return uint64_t(pages) * uint64_t(pageSize);
}

uint32_t ProcessId() { return uint32_t(getpid()); }

// ---- Modules ---------------------------------------------------------------------------------

ModuleHandle FindLoadedModule(std::string_view fileName) {
  if (fileName.empty()) return nullptr;
  // The loader matches a bare name only against sonames, and plug-ins have none: find the path
  // the module was loaded from among the loaded objects, then ask for it without loading.
  ModuleSearch search{fileName, {}};
  if (!dl_iterate_phdr(MatchLoadedObject, &search)) return nullptr;
  void* handle = dlopen(search.path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (!handle) return nullptr;
  // RTLD_NOLOAD still counts a reference; give it back so the module can unload as before.
  dlclose(handle);
  return handle;
}

void* FindModuleExport(ModuleHandle module, const char* name) {
  if (!module || !name) return nullptr;
  return dlsym(module, name);
}

// ---- Desktop ---------------------------------------------------------------------------------

bool OpenFolder(const fs::path& folder) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) return false;
  // The shell starts the opener in the background and returns at once, so the only wait here is
  // for that shell; the opener is left to init and its output goes nowhere.
  const std::string path = fs::absolute(folder, ec).string();
  char sh[] = "/bin/sh", dashC[] = "-c", name[] = "tolvaris-open";
  // Without an opener or a desktop to show the folder on, nothing would open: that is a failure.
  char script[] =
      "command -v xdg-open >/dev/null 2>&1 && [ -n \"$DISPLAY$WAYLAND_DISPLAY\" ] || exit 1\n"
      "xdg-open \"$1\" </dev/null >/dev/null 2>&1 &";
  std::string pathArg = path;
  char* argv[] = {sh, dashC, script, name, pathArg.data(), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, environ) != 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// ---- Stop request ----------------------------------------------------------------------------

void InstallStopHandler() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
}

bool StopRequested() { return gStop.load(std::memory_order_relaxed); }
void RequestStop() { gStop.store(true, std::memory_order_relaxed); }
void ClearStop() { gStop.store(false, std::memory_order_relaxed); }

}  // namespace host
