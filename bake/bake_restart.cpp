#include "bake/bake_restart.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "host/core/atomic_file.h"
#include "host/core/platform.h"
#include "host/core/status.h"
#include "bake/adaptive_run.h"
#include "cache/cache_file.h"
#include "solver/fire_sim_state.h"

namespace tf {

namespace {

constexpr uint32_t kRestartMagic = 0x32524654u;  // "TFR2": with the window
// "TFR1", written before the window was kept: the same record without it, the whole box.
constexpr uint32_t kRestartMagicBox = 0x31524654u;
constexpr const char* kRestartBase = "restart";
constexpr const char* kRestartExt = "tfr";
// Far more than any grid the solver accepts holds; a damaged length is refused before reading.
constexpr uint64_t kMaxRestartBytes = uint64_t(1) << 40;

struct CaptureRecord {
  float previousTM[12];
  int32_t hasPreviousTM;
  float motionRemainder[3];
  int32_t invalidForceSamples;
  int32_t windowLo[3], windowHi[3];  // the solver's window in the box's cells
};

CaptureRecord RecordOf(const RunCaptureState& state) {
  CaptureRecord r{};
  for (int row = 0; row < 4; ++row) {
    const host::Point3 p = state.previousTM.GetRow(row);
    r.previousTM[3 * row] = p.x;
    r.previousTM[3 * row + 1] = p.y;
    r.previousTM[3 * row + 2] = p.z;
  }
  r.hasPreviousTM = state.hasPreviousTM ? 1 : 0;
  for (int a = 0; a < 3; ++a) r.motionRemainder[a] = state.motionRemainder[size_t(a)];
  r.invalidForceSamples = state.invalidForceSamples;
  return r;
}

CaptureRecord RecordOf(const SimRun& run) {
  CaptureRecord r = RecordOf(run.capture);
  const CellBox& w = run.window.cells;
  const int32_t lo[3] = {w.lo.x, w.lo.y, w.lo.z}, hi[3] = {w.hi.x, w.hi.y, w.hi.z};
  std::memcpy(r.windowLo, lo, sizeof lo);
  std::memcpy(r.windowHi, hi, sizeof hi);
  return r;
}

CellBox WindowOf(const CaptureRecord& r) {
  return {{r.windowLo[0], r.windowLo[1], r.windowLo[2]}, {r.windowHi[0], r.windowHi[1], r.windowHi[2]}};
}

// A window a restart file may hold for `run`: inside the box, as the run's own rules make them.
bool WindowFits(const SimRun& run, const CellBox& w) {
  const Int3 s = w.Size();
  return w.lo.x >= 0 && w.lo.y >= 0 && w.lo.z >= 0 && w.hi.x <= run.grid.nx && w.hi.y <= run.grid.ny &&
         w.hi.z <= run.grid.nz && s.x >= kMinWindowCells && s.y >= kMinWindowCells && s.z >= kMinWindowCells;
}

void Apply(const CaptureRecord& r, RunCaptureState& state) {
  for (int row = 0; row < 4; ++row)
    state.previousTM.SetRow(row, {r.previousTM[3 * row], r.previousTM[3 * row + 1], r.previousTM[3 * row + 2]});
  state.hasPreviousTM = r.hasPreviousTM != 0;
  for (int a = 0; a < 3; ++a) state.motionRemainder[size_t(a)] = r.motionRemainder[a];
  state.invalidForceSamples = r.invalidForceSamples;
}

std::string RestartPath(const std::string& folder, int frame) {
  return MakeFramePath(folder, kRestartBase, frame, kRestartExt);
}

// The frame of a restart file's name, or false for any other name.
bool FrameOfName(const std::string& name, int& frame) {
  int value = 0, used = 0;
  char ext[8] = {};
  if (std::sscanf(name.c_str(), "restart_m%d.%3s%n", &value, ext, &used) == 2 && size_t(used) == name.size()) {
    frame = -value;
  } else if (std::sscanf(name.c_str(), "restart_%d.%3s%n", &value, ext, &used) == 2 && size_t(used) == name.size()) {
    frame = value;
  } else {
    return false;
  }
  return std::strcmp(ext, kRestartExt) == 0 && name == std::filesystem::path(RestartPath("", frame)).filename();
}

}  // namespace

bool WriteRestartPoint(const std::string& cacheFolder, SimRun& run, int frame, std::string* error) {
  std::vector<uint8_t> bytes;
  const CaptureRecord record = RecordOf(run);
  // Room for the header up front (GCC 12 also mistakes inserts into an empty vector for an
  // overflow).
  bytes.reserve(sizeof kRestartMagic + sizeof frame + sizeof record);
  const auto put = [&bytes](const void* p, size_t n) {
    bytes.insert(bytes.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
  };
  put(&kRestartMagic, sizeof kRestartMagic);
  put(&frame, sizeof frame);
  put(&record, sizeof record);
  if (!run.sim || !SaveFireSimState(*run.sim, bytes)) {
    return host::Fail(error, "the solver is not ready");
  }
  const std::string path = RestartPath(cacheFolder, frame);
  if (!host::WriteFileAtomically(path, bytes, error)) return false;
  for (const std::filesystem::path& old : host::FindFiles(cacheFolder, "restart_*.tfr")) {
    int other = 0;
    if (FrameOfName(old.filename().string(), other) && other != frame) host::DeleteFile(old);
  }
  return true;
}

bool FindRestartPoint(const std::string& cacheFolder, int& frame) {
  bool found = false;
  for (const std::filesystem::path& file : host::FindFiles(cacheFolder, "restart_*.tfr")) {
    int f = 0;
    std::error_code ec;
    if (!FrameOfName(file.filename().string(), f) || !std::filesystem::is_regular_file(file, ec)) continue;
    if (!found || f > frame) frame = f;
    found = true;
  }
  return found;
}

bool LoadRestartPoint(const std::string& cacheFolder, int frame, SimRun& run, std::string* error) {
  const std::string path = RestartPath(cacheFolder, frame);
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    return host::Fail(error, "no restart file " + path);
  }
  const uint64_t size = std::filesystem::file_size(path, ec);
  std::FILE* file = ec || size > kMaxRestartBytes ? nullptr : std::fopen(path.c_str(), "rb");
  if (!file) {
    return host::Fail(error, "cannot read " + path);
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  const bool read = std::fread(bytes.data(), 1, bytes.size(), file) == bytes.size() && std::fgetc(file) == EOF;
  std::fclose(file);
  uint32_t magic = 0;
  int32_t saved = 0;
  CaptureRecord record{};
  if (read && bytes.size() >= sizeof magic) std::memcpy(&magic, bytes.data(), sizeof magic);
  const size_t recordBytes = magic == kRestartMagicBox ? offsetof(CaptureRecord, windowLo) : sizeof record;
  const size_t kHead = sizeof magic + sizeof saved + recordBytes;
  const bool known = magic == kRestartMagic || magic == kRestartMagicBox;
  if (read && known && bytes.size() >= kHead) {
    std::memcpy(&saved, bytes.data() + sizeof magic, sizeof saved);
    std::memcpy(&record, bytes.data() + sizeof magic + sizeof saved, recordBytes);
  }
  if (!read || !known || saved != frame || bytes.size() < kHead) {
    return host::Fail(error, path + " is not a restart file of frame " + std::to_string(frame));
  }
  const CellBox window =
      magic == kRestartMagicBox ? CellBox{{0, 0, 0}, {run.grid.nx, run.grid.ny, run.grid.nz}} : WindowOf(record);
  if (!WindowFits(run, window)) return host::Fail(error, path + " holds a window outside the domain's grid");
  const CellBox before = run.window.cells;
  if (run.window.settings.on && !MoveWindow(run, window))
    return host::Fail(error, path + ": the device cannot hold the bake's window");
  std::string why;
  if (!run.sim || !LoadFireSimState(*run.sim, std::span(bytes).subspan(kHead), &why)) {
    MoveWindow(run, before);
    return host::Fail(error, path + ": " + why);
  }
  Apply(record, run.capture);
  return true;
}

void DeleteRestartPoints(const std::string& cacheFolder) {
  for (const std::filesystem::path& file : host::FindFiles(cacheFolder, "restart_*.tfr")) {
    int f = 0;
    if (FrameOfName(file.filename().string(), f)) host::DeleteFile(file);
  }
}

}  // namespace tf
