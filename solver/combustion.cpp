#define TFR_BODY_SOURCE
#include "solver/fire_sim_impl.h"

namespace tf {

void FireSim::Impl::Combust(const FireParams&, float) {}

}  // namespace tf
