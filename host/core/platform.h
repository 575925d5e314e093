// Platform services of the host: the user's folders, file functions, clocks, memory, the process,
// lookup of loaded modules, opening a folder in the file browser, and the stop request that stands
// for "Escape held". Plug-in code reaches the operating system only through these calls.
//
// File functions never throw: they return whether they succeeded and, when asked, a message that
// names the file and the reason.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// ---- Folders ---------------------------------------------------------------------------------

// The user's documents folder: the override when one is set, else $XDG_DOCUMENTS_DIR, else the
// XDG_DOCUMENTS_DIR line of the user-dirs.dirs file, else $HOME/Documents. The folder need not
// exist; callers create what they write into.
std::filesystem::path DocumentsFolder();
// Sets the documents folder for the whole process (tests, `tolvaris --documents`); an empty path
// goes back to the user's own.
void SetDocumentsFolder(const std::filesystem::path& folder);

// The folder holding the running executable (empty when it cannot be found).
std::filesystem::path ExecutableFolder();

// ---- Files and directories -------------------------------------------------------------------

// Creates the folder and any missing parents. True when the folder exists afterwards.
bool CreateDirectories(const std::filesystem::path& folder, std::string* message = nullptr);
// Moves `from` onto `to`, replacing an existing file there in one step, so a reader sees either
// the old or the new file. On failure both files are left as they were.
bool RenameReplace(const std::filesystem::path& from, const std::filesystem::path& to,
                   std::string* message = nullptr);
// Deletes one file (never a folder). False when nothing was deleted.
bool DeleteFile(const std::filesystem::path& file, std::string* message = nullptr);
// The files (not folders) of `folder` whose names match `pattern`, sorted by name; empty when the
// folder cannot be read.
std::vector<std::filesystem::path> FindFiles(const std::filesystem::path& folder, std::string_view pattern);
// Wildcard match of a whole file name: '*' matches any run of characters, '?' exactly one (a
// whole UTF-8 character), everything else itself, case-sensitively as the file system does.
bool WildcardMatch(std::string_view pattern, std::string_view name);

// ---- Clocks ------------------------------------------------------------------------------------

// The high-resolution monotonic counter, in ticks of kHighResFrequency per second.
inline constexpr uint64_t kHighResFrequency = 1'000'000'000;
uint64_t HighResCounter();
// The same clock in seconds, for measuring durations.
double HighResSeconds();
// Milliseconds since the system started, on the monotonic clock.
uint64_t MillisecondsSinceStart();

// ---- Memory and process ----------------------------------------------------------------------

// Physical memory available to new allocations, in bytes; 0 when it cannot be read.
uint64_t AvailablePhysicalMemory();
// The MemAvailable figure of a /proc/meminfo text, in bytes.
std::optional<uint64_t> ParseMemAvailable(std::string_view meminfo);
uint32_t ProcessId();

// ---- Modules ---------------------------------------------------------------------------------

using ModuleHandle = void*;
// An already loaded module (a plug-in or any shared library of the process) found by its file
// name, ignoring ASCII case and the folder it was loaded from; null when no such module is loaded.
// Nothing is loaded and no reference is taken: the handle is valid while the module stays loaded.
ModuleHandle FindLoadedModule(std::string_view fileName);
// An exported symbol of a module, or null.
void* FindModuleExport(ModuleHandle module, const char* name);
// An exported function, typed: FindModuleFunction<int (*)()>(module, "LibVersion").
template <class Fn>
Fn FindModuleFunction(ModuleHandle module, const char* name) {
  return reinterpret_cast<Fn>(FindModuleExport(module, name));
}

// ---- Desktop ---------------------------------------------------------------------------------

// Asks the desktop to show the folder in its file browser. Best effort and never waits for the
// browser: false when the folder does not exist, or there is no opener (xdg-open) or no desktop
// (neither DISPLAY nor WAYLAND_DISPLAY) to show it on.
bool OpenFolder(const std::filesystem::path& folder);

// ---- Stop request ("Escape held") ------------------------------------------------------------

// Makes Ctrl-C (SIGINT) set the stop request instead of ending the process; a second Ctrl-C while
// the request is still set ends it as usual, so a program that never looks can still be stopped.
void InstallStopHandler();
// Long commands poll this between steps and stop early when it is set.
bool StopRequested();
void RequestStop();
void ClearStop();

}  // namespace host
