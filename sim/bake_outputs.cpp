#include "sim/bake_outputs.h"

namespace tf {

bool PrepareBakeOutputs(BakeOutputs& outputs, host::Object* /*domain*/, host::Node* /*node*/,
                        const FireParams& /*params*/, std::string& /*message*/) {
  // No writer exists yet: every output stays off and nothing needs preparing.
  outputs = BakeOutputs{};
  return true;
}

bool NeedsVelocity(const BakeOutputs& outputs, const FireParams& params) {
  return params.exportVelocity || outputs.flowDisplace > 0.0f;
}

bool WriteBakeOutputs(BakeOutputs& /*outputs*/, SimRun& /*run*/, CacheFrame& /*frame*/, int /*frameNumber*/,
                      std::string& /*message*/) {
  return true;
}

namespace {
std::string CountPart(const char* label, int count) {
  return count > 0 ? std::string(" ") + label + " x" + std::to_string(count) : std::string();
}
}  // namespace

std::string VdbPart(const BakeOutputs& outputs) { return CountPart("VDB", outputs.vdbFiles); }
std::string PrtPart(const BakeOutputs& outputs) { return CountPart("PRT", outputs.prtFiles); }
std::string PngPart(const BakeOutputs& outputs) { return CountPart("PNG", outputs.pngFiles); }

std::string WherePart(const BakeOutputs& outputs) {
  const bool any = outputs.vdbFiles > 0 || outputs.prtFiles > 0 || outputs.pngFiles > 0;
  return any ? " in " + outputs.outputFolder : std::string();
}

}  // namespace tf
