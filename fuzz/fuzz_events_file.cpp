// Destruction events files: any bytes give a count of events (or -1) and only finite events.
#include <cmath>
#include <cstdlib>

#include "capture/events_file.h"
#include "fuzz/fuzz_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::filesystem::path path = tf::fuzz::WriteInput("events.txt", data, size);
  std::vector<tf::ImpactEvent> events;
  bool inMetres = false;
  const int n = tf::ReadEventsFile(path.string(), 0.0f, events, inMetres);
  if (n >= 0 && size_t(n) != events.size()) std::abort();
  for (const tf::ImpactEvent& e : events)
    if (!std::isfinite(e.x) || !std::isfinite(e.y) || !std::isfinite(e.z) || !std::isfinite(e.energy)) std::abort();
  return 0;
}
