// The bake's per-frame output stage: after each cache file, optionally a VDB file, a PRT file and
// a preview image of the frame, with flow displacement applied to what they see. Prepared once per
// bake, run for every frame, and its counts and times go into the bake's summary.
// With every output switched off, preparing and writing do nothing and succeed, and the summary
// pieces are empty.
#pragma once

#include <cstdint>
#include <string>

#include "capture/sim_run.h"
#include "render/render.h"
#include "cache/cache_file.h"
#include "cache/simulate_domain.h"
#include "solver/fire_sim.h"

namespace host {
class Node;
class Object;
}  // namespace host

namespace tf {

struct BakeOutputs {
  bool outVDB = false, outPRT = false, outPreview = false;
  uint32_t vdbMask = 0;
  int32_t prtPerCell = 1;
  int32_t previewWidth = 1280;
  std::string outputFolder;
  std::string baseName;  // the domain node's name
  float flowDisplace = 0.0f;
  float flowDisplaceSize = 4.0f;
  int frameRate = 30;  // the scene's, for the flow displacement's time
  // For the preview images: the camera at the host's current time and the look at time 0.
  RenderCamera camera;
  RenderSettings settings;
  // What the stage did, for the summary.
  int vdbFiles = 0, prtFiles = 0, pngFiles = 0;
  double displaceMs = 0.0;  // flow displacement; counted as cache time
  double vdbMs = 0.0;
  double previewMs = 0.0;  // preview and PRT writing
};

// Reads the output settings at time 0 and prepares what the switched-on outputs need. False, with
// `message` set, when the bake must not start.
bool PrepareBakeOutputs(BakeOutputs& outputs, const DomainRef& domain, host::Node& node, const FireParams& params,
                        std::string* message);
// Deletes the files an earlier bake of the domain wrote for each kind of output this bake writes
// (<node>_0012.vdb, <node>_0012.prt, <node>_preview_0012.png), so that the outputs always match
// the cache, also after a bake that was stopped or killed. Files of other domains (even one named
// "<node>_B") and of kinds switched off are left alone. Temporary files that killed writers left
// for those names ("<node>_0012.vdb.<process id>.part") go too.
void DeleteOldBakeOutputs(const BakeOutputs& outputs);
// Whether frame capture must read the velocity back for these outputs.
bool NeedsVelocity(const BakeOutputs& outputs, const FireParams& params);
// Writes the outputs of one frame, after its cache file. False, with `message` set, stops the bake.
bool WriteBakeOutputs(BakeOutputs& outputs, SimRun& run, CacheFrame& frame, int frameNumber, std::string* message);

// Summary pieces: " VDB x<n>", " PRT x<n>", " PNG x<n>" for counts above 0, and " in <folder>"
// when any file was written; empty otherwise.
std::string VdbPart(const BakeOutputs& outputs);
std::string PrtPart(const BakeOutputs& outputs);
std::string PngPart(const BakeOutputs& outputs);
std::string WherePart(const BakeOutputs& outputs);

}  // namespace tf
