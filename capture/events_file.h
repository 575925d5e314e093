// The destruction tool's events file: impact, spark and dust events by frame, beside the scene or
// at the domain's `eventsFile`.
#pragma once

#include <string>
#include <vector>

#include "capture/sim_run.h"

namespace host {
class Object;
}

namespace tf {

// The events file of a domain: its `eventsFile` parameter when set, otherwise the scene file's
// folder, the scene file name up to its first "." and "_cyclone/events.txt"; empty for an unsaved
// scene.
std::string EventsFilePath(const host::Object& domain);

// Reads the events with at least `minEnergy` from `path` into `events` (replacing its contents)
// and sets `inMetres` when a comment line declares metres. The number of events, or -1 when the
// path is empty or the file cannot be opened.
int ReadEventsFile(const std::string& path, float minEnergy, std::vector<ImpactEvent>& events,
                   bool& inMetres);

}  // namespace tf
