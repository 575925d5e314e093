#define TFR_BODY_SOURCE
#include "solver/fire_sim_impl.h"

namespace tf {

void FireSim::Impl::Project(const FireParams&, float) { stats.iterations = 0; }
void FireSim::Impl::VCycle(int) {}
void FireSim::Impl::Smooth(Level&, int) {}

}  // namespace tf
