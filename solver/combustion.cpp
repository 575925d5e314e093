#define TFR_BODY_SOURCE
// Combustion, the last phase of a substep: one pass over the cells that clears colliders, quenches,
// injects what the emitters and flammable objects give, burns fuel into heat and smoke, cools,
// dissipates, and records the burning rate in `flame` for the next projection's gas expansion.
#include <cmath>

#include "device/rows.h"
#include "device/sampling.h"
#include "solver/fire_sim_impl.h"

namespace tf {

namespace {

// The arrays and per-substep factors of the pass. Quench and Flammable say whether the optional
// quench and flammable masks take part; without them a cell's work has no branch (every choice is
// made on the bits), and a row of cells runs in vector lanes.
struct Combustion {
  const uint8_t* solid;
  const float* quench;
  const float* flammable;
  float* age;
  float* pd;
  float* pt;
  float* pf;
  float* ps;
  float* pflame;
  const float* emit;
  Dims d;
  float dt, burnFraction, coolFactor, smokeFactor, fuelFactor, radiative;
  float ignition, heat, yield, fuelRate, emitTemp, smokeRate;
  float qStrength, steamAmount, flamRate, maxAge;
};

template <bool Quench, bool Flammable>
TFR_HD TFR_SAMPLE_INLINE void CombustCell(const Combustion& x, const uint8_t* solid, const float* emit,
                                          float* pd, float* pt, float* pf, float* ps, float* pflame,
                                          int c) {
  const float dt = x.dt;
  const bool wall = solid[c] != 0;
  if constexpr (Quench || Flammable) {
    if (wall) {
      pd[c] = 0.0f;
      pt[c] = 0.0f;
      pf[c] = 0.0f;
      pflame[c] = 0.0f;
      ps[c] = 0.0f;
      return;
    }
  }
  float D = pd[c], T = pt[c], F = pf[c], S = ps[c];
  float q = 0.0f;
  if constexpr (Quench) q = x.quench[c] < 1.0f ? x.quench[c] : 1.0f;
  const float m = (1.0f - q) * emit[c];
  if constexpr (Quench) {
    if (q > 0.0f) {
      // Extinguishing turns the heat it removes into steam, counted as smoke.
      const float l = expf(-x.qStrength * q * dt);
      D = D + T * x.steamAmount * (1.0f - l);
      T = T * l;
      F = F * l;
    }
  }
  // A smoke-and-dust source (m < 0), or a fire emitter (m > 0), which raises the temperature to its
  // own, never beyond.
  const bool smoky = m < 0.0f, fiery = m > 0.0f;
  const float a = 4.0f * m * dt;
  D = Pick(smoky, D - a, D);
  S = Pick(smoky, S - a, S);
  const float hot = m * x.emitTemp;
  F = Pick(fiery, F + m * x.fuelRate * dt, F);
  D = Pick(fiery, D + m * x.smokeRate * dt, D);
  T = Pick(fiery, T > hot ? T : hot, T);
  if constexpr (Flammable) {
    float cov = x.flammable[c];
    if (cov > 0.0f && q < 1.0f) {
      const float at = x.age[c];
      if (x.maxAge > at && (at > 0.0f || T >= x.ignition)) {
        cov = (cov < 1.0f ? cov : 1.0f) * (1.0f - q);
        F = F + cov * x.flamRate * dt;
        const float hold = 1.2f * x.ignition * cov;
        T = T > hold ? T : hold;
        x.age[c] = at + dt;
      }
    }
  }
  const bool burning = (F > 0.0f) & (T >= x.ignition);
  const float burnt = F * x.burnFraction;
  const float b = Pick(burning, burnt, 0.0f);
  F = Pick(burning, F - burnt, F);
  T = Pick(burning, T + burnt * x.heat, T);
  D = Pick(burning, D + burnt * x.yield, D);
  T = T * x.coolFactor;
  const float t4 = T * T * T * T;
  T = T - x.radiative * t4;
  T = T > 0.0f ? T : 0.0f;
  D = D * x.smokeFactor - 0.01f * dt;
  D = D > 0.0f ? D : 0.0f;
  S = S * x.smokeFactor - 0.01f * dt;
  S = S > 0.0f ? S : 0.0f;
  S = S < D ? S : D;
  F = F * x.fuelFactor;
  F = F > 0.0f ? F : 0.0f;
  // Colliders hold nothing (with the optional masks they have returned above).
  pd[c] = Pick(wall, 0.0f, D);
  ps[c] = Pick(wall, 0.0f, S);
  pt[c] = Pick(wall, 0.0f, T);
  pf[c] = Pick(wall, 0.0f, F);
  pflame[c] = Pick(wall, 0.0f, b / dt);
}

// Every cell once, in place (RowLoop::Plain).
template <bool Quench, bool Flammable>
void RunCombust(const Exec& ex, const Combustion& x) {
  const Dims d = x.d;
  const IndexBox all{{0, 0, 0}, {d.nx - 1, d.ny - 1, d.nz - 1}};
  kRows(ex, "combust", d.nx, d.ny, d.nz, all, [=] TFR_HD(bool, int i, int j, int k) TFR_ROW_BODY {
    CombustCell<Quench, Flammable>(x, x.solid, x.emit, x.pd, x.pt, x.pf, x.ps, x.pflame, d.cell(i, j, k));
  }, RowWork::Even, RowLoop::Plain);
}

}  // namespace

void FireSim::Impl::Combust(const FireParams& p, float dt) {
  // Per-substep factors, computed once on the host.
  const Combustion x{.solid = levels[0].solid,
                     .quench = hasQuench ? quenchMask : nullptr,
                     .flammable = hasFlammable ? flammableMask : nullptr,
                     .age = burnAge,
                     .pd = density,
                     .pt = temperature,
                     .pf = fuel,
                     .ps = dust,
                     .pflame = flame,
                     .emit = emitterMask,
                     .d = dims(),
                     .dt = dt,
                     .burnFraction = 1.0f - std::exp(-p.burnRate * dt),
                     .coolFactor = std::exp(-p.cooling * dt),
                     .smokeFactor = std::exp(-p.smokeDissipate * dt),
                     .fuelFactor = std::exp(-p.fuelDecay * dt),
                     .radiative = dt * p.radiativeCooling,
                     .ignition = p.ignitionTemp,
                     .heat = p.heat,
                     .yield = p.smokeYield,
                     .fuelRate = emission.fuelRate,
                     .emitTemp = emission.emitTemp,
                     .smokeRate = emission.smokeRate,
                     .qStrength = quenchStrength,
                     .steamAmount = steam,
                     .flamRate = flamFuel,
                     .maxAge = burnTime};
  const Exec ex = exec();
  if (x.quench && x.flammable)
    RunCombust<true, true>(ex, x);
  else if (x.quench)
    RunCombust<true, false>(ex, x);
  else if (x.flammable)
    RunCombust<false, true>(ex, x);
  else
    RunCombust<false, false>(ex, x);
}

}  // namespace tf
