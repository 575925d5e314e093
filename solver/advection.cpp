#define TFR_BODY_SOURCE
#include "solver/fire_sim_impl.h"

namespace tf {

void FireSim::Impl::AdvectVel(float) {}
void FireSim::Impl::AdvectScalar(float*&, float*&, float) {}

}  // namespace tf
