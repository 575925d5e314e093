#define TFR_BODY_SOURCE
// The physics phases of a substep. They are filled in one by one; until then each leaves the
// fields as they are.
#include "solver/fire_sim_impl.h"

namespace tf {

void FireSim::Impl::Forces(const FireParams&, float) {}
void FireSim::Impl::FaceBC() {}
void FireSim::Impl::AdvectVel(float) {}
void FireSim::Impl::Project(const FireParams&, float) { stats.iterations = 0; }
void FireSim::Impl::AdvectScalar(float*&, float*&, float) {}
void FireSim::Impl::Combust(const FireParams&, float) {}
void FireSim::Impl::VCycle(int) {}
void FireSim::Impl::Smooth(Level&, int) {}
void FireSim::Impl::RestrictSolid() {}

bool FireSim::SetSolids(const float*) { return false; }
void FireSim::SetEmission(const EmissionParams& e) { impl->emission = e; }
bool FireSim::SetEmitterMask(const float*) { return false; }
bool FireSim::SetEmitterVelocity(const float*, const float*, const float*) { return false; }
bool FireSim::SetForceField(const float*, const float*, const float*) { return false; }
bool FireSim::SetFlammables(const float*, float, float) { return false; }
bool FireSim::SetQuench(const float*, float, float) { return false; }

}  // namespace tf
