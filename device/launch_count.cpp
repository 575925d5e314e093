#include "device/launch_count.h"

#include <algorithm>
#include <atomic>
#include <mutex>

namespace tf {

// ---- launch accounting ------------------------------------------------------------------------

namespace {

std::atomic<bool> gCounting{false};
std::atomic<bool> gGraphs{true};
std::mutex gCountLock;
std::vector<LaunchCount> gCounts;  // guarded by gCountLock
int64_t gWaits = 0;                // guarded by gCountLock
// Launches a graph records on this thread are counted when the graph replays, not now.
thread_local bool tRecording = false;

}  // namespace

void SetLaunchGraphs(bool on) { gGraphs.store(on, std::memory_order_relaxed); }

bool LaunchGraphsOn() { return gGraphs.load(std::memory_order_relaxed); }

void SetLaunchCounting(bool on) { gCounting.store(on, std::memory_order_relaxed); }

bool LaunchCountingOn() { return gCounting.load(std::memory_order_relaxed); }

void CountLaunch(const char* label) {
  if (tRecording) return;
  const std::lock_guard<std::mutex> lock(gCountLock);
  for (LaunchCount& c : gCounts) {
    if (c.label == label) {
      ++c.launches;
      return;
    }
  }
  gCounts.push_back(LaunchCount{label, 1});
}

void ResetLaunchCounts() {
  const std::lock_guard<std::mutex> lock(gCountLock);
  gCounts.clear();
  gWaits = 0;
}

void CountWait() {
  const std::lock_guard<std::mutex> lock(gCountLock);
  ++gWaits;
}

int64_t TotalWaits() {
  const std::lock_guard<std::mutex> lock(gCountLock);
  return gWaits;
}

int64_t TotalLaunches() {
  const std::lock_guard<std::mutex> lock(gCountLock);
  int64_t total = 0;
  for (const LaunchCount& c : gCounts) total += c.launches;
  return total;
}

std::vector<LaunchCount> LaunchCounts() {
  std::vector<LaunchCount> out;
  {
    const std::lock_guard<std::mutex> lock(gCountLock);
    out = gCounts;
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const LaunchCount& a, const LaunchCount& b) { return a.launches > b.launches; });
  return out;
}

void SetRecordingOnThisThread(bool on) { tRecording = on; }

}  // namespace tf
