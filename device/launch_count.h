// Launch accounting, for measuring: how many launches each label made and how often the host
// waited for the device. Knows nothing of how launches run; exec.h and the launch recordings call
// in here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tf {

// Launch accounting, off until switched on (the benchmark does): every kFor3, kReduce and kRounds
// call and every replayed LaunchGraph counts once under its label, on either path. The launches a
// graph records are not counted again when it replays. Counting takes a lock; it is meant for
// measuring, not for production runs.
struct LaunchCount {
  std::string label;
  int64_t launches = 0;
};
void SetLaunchCounting(bool on);
bool LaunchCountingOn();
void CountLaunch(const char* label);
void ResetLaunchCounts();
int64_t TotalLaunches();
std::vector<LaunchCount> LaunchCounts();  // most launches first
// The host's waits for the device's results (a kReduce, a read of the pressure solve's state),
// counted on either path while launch counting is on, where the GPU path would wait.
void CountWait();
int64_t TotalWaits();
// While a launch sequence is being recorded on the calling thread, its launches are not counted:
// the recording counts once each time it replays.
void SetRecordingOnThisThread(bool on);

// Launch recording (LaunchGraph) is on unless switched off; the benchmark switches it off to
// measure what the recordings save.
void SetLaunchGraphs(bool on);
bool LaunchGraphsOn();

inline void NoteLaunch(const char* label) {
  if (LaunchCountingOn()) CountLaunch(label);
}
inline void NoteWait() {
  if (LaunchCountingOn()) CountWait();
}

}  // namespace tf
