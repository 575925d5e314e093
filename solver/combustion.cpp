#define TFR_BODY_SOURCE
// Combustion, the last phase of a substep: one pass over the cells that clears colliders, quenches,
// injects what the emitters and flammable objects give, burns fuel into heat and smoke, cools,
// dissipates, and records the burning rate in `flame` for the next projection's gas expansion.
#include <cmath>

#include "solver/fire_sim_impl.h"

namespace tf {

void FireSim::Impl::Combust(const FireParams& p, float dt) {
  // Per-substep factors, computed once on the host.
  const float burnFraction = 1.0f - std::exp(-p.burnRate * dt);
  const float coolFactor = std::exp(-p.cooling * dt);
  const float smokeFactor = std::exp(-p.smokeDissipate * dt);
  const float fuelFactor = std::exp(-p.fuelDecay * dt);
  const float radiative = dt * p.radiativeCooling;
  const float ignition = p.ignitionTemp, heat = p.heat, yield = p.smokeYield;
  const float fuelRate = emission.fuelRate, emitTemp = emission.emitTemp, smokeRate = emission.smokeRate;
  const float qStrength = quenchStrength, steamAmount = steam, flamRate = flamFuel, maxAge = burnTime;
  const uint8_t* solid = levels[0].solid;
  const float* quench = hasQuench ? quenchMask : nullptr;
  const float* flammable = hasFlammable ? flammableMask : nullptr;
  float* age = burnAge;
  float* pd = density;
  float* pt = temperature;
  float* pf = fuel;
  float* ps = dust;
  float* pflame = flame;
  const float* emit = emitterMask;
  const Dims d = dims();

  kFor3(exec(), "combust", d.nx, d.ny, d.nz, [=] TFR_HD(int i, int j, int k) {
    const int c = d.cell(i, j, k);
    if (solid[c]) {
      pd[c] = 0.0f;
      pt[c] = 0.0f;
      pf[c] = 0.0f;
      pflame[c] = 0.0f;
      ps[c] = 0.0f;
      return;
    }
    float D = pd[c], T = pt[c], F = pf[c], S = ps[c];
    float q = 0.0f;
    if (quench) q = quench[c] < 1.0f ? quench[c] : 1.0f;
    const float m = (1.0f - q) * emit[c];
    if (q > 0.0f) {
      // Extinguishing turns the heat it removes into steam, counted as smoke.
      const float l = expf(-qStrength * q * dt);
      D = D + T * steamAmount * (1.0f - l);
      T = T * l;
      F = F * l;
    }
    if (m < 0.0f) {  // smoke-and-dust source
      const float a = 4.0f * m * dt;
      D = D - a;
      S = S - a;
    }
    if (m > 0.0f) {  // fire emitter: raises the temperature to its own, never beyond
      F = F + m * fuelRate * dt;
      D = D + m * smokeRate * dt;
      T = T > m * emitTemp ? T : m * emitTemp;
    }
    if (flammable) {
      float cov = flammable[c];
      if (cov > 0.0f && q < 1.0f) {
        const float a = age[c];
        if (maxAge > a && (a > 0.0f || T >= ignition)) {
          cov = (cov < 1.0f ? cov : 1.0f) * (1.0f - q);
          F = F + cov * flamRate * dt;
          const float hold = 1.2f * ignition * cov;
          T = T > hold ? T : hold;
          age[c] = a + dt;
        }
      }
    }
    float b = 0.0f;
    if (F > 0.0f && T >= ignition) {
      b = F * burnFraction;
      F = F - b;
      T = T + b * heat;
      D = D + b * yield;
    }
    T = T * coolFactor;
    const float t4 = T * T * T * T;
    T = T - radiative * t4;
    T = T > 0.0f ? T : 0.0f;
    D = D * smokeFactor - 0.01f * dt;
    D = D > 0.0f ? D : 0.0f;
    S = S * smokeFactor - 0.01f * dt;
    S = S > 0.0f ? S : 0.0f;
    S = S < D ? S : D;
    F = F * fuelFactor;
    F = F > 0.0f ? F : 0.0f;
    pd[c] = D;
    ps[c] = S;
    pt[c] = T;
    pf[c] = F;
    pflame[c] = b / dt;
  });
}

}  // namespace tf
