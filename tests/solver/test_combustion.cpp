// Combustion, cell by cell: ignition, burning rate, emitters, quench, flammables, decay limits.
#include <cmath>
#include <cstring>
#include <vector>

#include "tests/solver/backends.h"

namespace tf::test {
namespace {

class Combustion : public Backends {
 protected:
  void SetUp() override {
    Backends::SetUp();
    if (IsSkipped()) return;
    create(sim, g);
    p.cooling = 0.0f;
    p.radiativeCooling = 0.0f;
    p.smokeDissipate = 0.0f;
  }
  void set(float* FireSim::Impl::*a, float value) { Put(sim, a, std::vector<float>(n, value)); }
  float at(float* FireSim::Impl::*a, size_t c = 0) { return Get(sim, a, n)[c]; }
  void combust(float dt) { sim.Internals().Combust(p, dt); }

  GridDesc g = Grid(4, 4, 4);
  size_t n = 64;
  FireSim sim;
  FireParams p;
};

TEST_P(Combustion, FlameIsFuelBurntPerSecond) {
  set(&FireSim::Impl::fuel, 1.0f);
  set(&FireSim::Impl::temperature, p.ignitionTemp);  // exactly at ignition: burns
  p.burnRate = std::log(2.0f) / 0.1f;                 // half the fuel per 0.1 s
  p.heat = 2.0f;
  p.smokeYield = 0.5f;
  combust(0.1f);
  EXPECT_NEAR(at(&FireSim::Impl::flame), 5.0f, 1e-4f);
  EXPECT_NEAR(at(&FireSim::Impl::fuel), 0.5f, 1e-6f);
  EXPECT_NEAR(at(&FireSim::Impl::temperature), 0.25f + 1.0f, 1e-5f);
  EXPECT_NEAR(at(&FireSim::Impl::density), 0.25f - 0.001f, 1e-6f);  // yield minus the constant loss
}

TEST_P(Combustion, ColdFuelNeverBurns) {
  set(&FireSim::Impl::fuel, 1.0f);
  set(&FireSim::Impl::temperature, std::nextafter(p.ignitionTemp, 0.0f));
  for (int i = 0; i < 10; ++i) combust(0.05f);
  EXPECT_EQ(at(&FireSim::Impl::fuel), 1.0f);
  EXPECT_EQ(at(&FireSim::Impl::flame), 0.0f);
  p.fuelDecay = 1.0f;
  combust(0.5f);
  EXPECT_NEAR(at(&FireSim::Impl::fuel), std::exp(-0.5f), 1e-6f);
}

TEST_P(Combustion, EmittersRaiseTemperatureAndAddFuel) {
  EmissionParams e;
  e.fuelRate = 2.0f;
  e.emitTemp = 0.5f;
  e.smokeRate = 1.0f;
  sim.SetEmission(e);
  p.ignitionTemp = 10.0f;  // nothing burns
  std::vector<float> mask(n, 0.0f), temp(n, 0.0f);
  mask[0] = 1.0f;
  mask[1] = 0.5f;
  mask[2] = 1.0f;
  temp[2] = 0.9f;  // hotter than the emitter: not cooled
  mask[3] = -0.5f;  // smoke-and-dust source
  ASSERT_TRUE(sim.SetEmitterMask(mask.data()));
  Put(sim, &FireSim::Impl::temperature, temp);
  combust(0.1f);
  const std::vector<float> t = Get(sim, &FireSim::Impl::temperature, n);
  const std::vector<float> f = Get(sim, &FireSim::Impl::fuel, n);
  const std::vector<float> d = Get(sim, &FireSim::Impl::density, n);
  const std::vector<float> s = Get(sim, &FireSim::Impl::dust, n);
  EXPECT_FLOAT_EQ(t[0], 0.5f);
  EXPECT_FLOAT_EQ(t[1], 0.25f);
  EXPECT_FLOAT_EQ(t[2], 0.9f);
  EXPECT_FLOAT_EQ(f[0], 0.2f);
  EXPECT_FLOAT_EQ(f[1], 0.1f);
  EXPECT_NEAR(d[0], 0.1f - 0.001f, 1e-6f);
  EXPECT_NEAR(d[3], 0.2f - 0.001f, 1e-6f);  // 4 |m| per second
  EXPECT_NEAR(s[3], 0.2f - 0.001f, 1e-6f);
  EXPECT_EQ(t[3], 0.0f);
  EXPECT_EQ(f[3], 0.0f);
  EXPECT_EQ(s[0], 0.0f);
}

TEST_P(Combustion, FullQuenchCancelsEmittersAndMakesSteam) {
  EmissionParams e;
  e.smokeRate = 1.0f;
  sim.SetEmission(e);
  p.ignitionTemp = 10.0f;
  set(&FireSim::Impl::temperature, 0.8f);
  set(&FireSim::Impl::fuel, 1.0f);
  std::vector<float> ones(n, 1.0f), quench(n, 2.0f);  // coverage is used up to 1
  ASSERT_TRUE(sim.SetEmitterMask(ones.data()));
  ASSERT_TRUE(sim.SetQuench(quench.data(), 3.0f, 0.5f));
  combust(0.1f);
  const float l = std::exp(-3.0f * 0.1f);
  EXPECT_NEAR(at(&FireSim::Impl::temperature), 0.8f * l, 1e-6f);
  EXPECT_NEAR(at(&FireSim::Impl::fuel), l, 1e-6f);  // no emitter fuel on top
  EXPECT_NEAR(at(&FireSim::Impl::density), 0.8f * 0.5f * (1.0f - l) - 0.001f, 1e-6f);
}

TEST_P(Combustion, FlammablesIgniteBurnForTheirTimeAndStop) {
  p.ignitionTemp = 0.5f;
  p.burnRate = 0.0f;  // keep the fuel to count it
  std::vector<float> mask(n, 0.0f), temp(n, 0.0f);
  mask[0] = 1.0f;
  mask[1] = 1.0f;
  temp[0] = 0.5f;  // hot enough to start; cell 1 stays cold
  Put(sim, &FireSim::Impl::temperature, temp);
  ASSERT_TRUE(sim.SetFlammables(mask.data(), 2.0f, 0.3f));
  for (int i = 0; i < 5; ++i) combust(0.1f);
  const std::vector<float> age = Get(sim, &FireSim::Impl::burnAge, n);
  const std::vector<float> f = Get(sim, &FireSim::Impl::fuel, n);
  // Burns while the age is below 0.3: ages 0, 0.1, 0.2 (and a float 0.3 just under) add fuel.
  EXPECT_GE(age[0], 0.3f - 1e-6f);
  EXPECT_LE(age[0], 0.4f + 1e-6f);
  EXPECT_NEAR(f[0], 2.0f * age[0], 1e-5f);
  EXPECT_EQ(age[1], 0.0f);
  EXPECT_EQ(f[1], 0.0f);
  // Burnt out: hot again, still no more fuel.
  const float fuelBefore = f[0];
  Put(sim, &FireSim::Impl::temperature, std::vector<float>(n, 1.0f));
  combust(0.1f);
  EXPECT_EQ(at(&FireSim::Impl::fuel), fuelBefore);
  // Full quench blocks burning of a fresh flammable cell even when hot.
  std::vector<float> quench(n, 1.0f);
  ASSERT_TRUE(sim.SetQuench(quench.data(), 0.0f, 0.0f));
  combust(0.1f);
  EXPECT_EQ(Get(sim, &FireSim::Impl::burnAge, n)[2], 0.0f);
}

TEST_P(Combustion, LimitsAndSolids) {
  p.smokeDissipate = 0.5f;
  p.cooling = 1.0f;
  p.radiativeCooling = 1000.0f;
  set(&FireSim::Impl::density, 0.0009f);
  set(&FireSim::Impl::dust, 0.5f);
  set(&FireSim::Impl::temperature, 3.0f);
  combust(0.1f);
  EXPECT_EQ(at(&FireSim::Impl::density), 0.0f);  // below 0.01 dt after decay
  EXPECT_EQ(at(&FireSim::Impl::dust), 0.0f);     // never above density
  EXPECT_EQ(at(&FireSim::Impl::temperature), 0.0f);

  // Solid cells are emptied whatever the emitters say.
  set(&FireSim::Impl::density, 1.0f);
  std::vector<float> solid(n, 1.0f), ones(n, 1.0f);
  solid[5] = -1.0f;
  ASSERT_TRUE(sim.SetSolids(solid.data()));
  ASSERT_TRUE(sim.SetEmitterMask(ones.data()));
  combust(0.1f);
  EXPECT_EQ(at(&FireSim::Impl::density, 5), 0.0f);
  EXPECT_EQ(at(&FireSim::Impl::fuel, 5), 0.0f);
  EXPECT_GT(at(&FireSim::Impl::fuel, 4), 0.0f);
}

// Without quench or flammable masks the pass takes its own branch-free path; masks of zeros change
// nothing a cell computes, so both paths must agree bit for bit on every kind of cell: walls,
// fire and smoke emitters, burning and cold fuel.
TEST_P(Combustion, NeutralMasksChangeNoBit) {
  const EmissionParams e{.fuelRate = 2.0f, .emitTemp = 0.5f, .smokeRate = 1.0f};
  p.radiativeCooling = 0.6f;
  p.smokeDissipate = 0.15f;
  FireSim masked;
  create(masked, g);
  std::vector<float> emit(n), walls(n, 1.0f), fuel(n), temp(n), dens(n);
  for (size_t c = 0; c < n; ++c) {
    emit[c] = c % 5 == 0 ? 0.7f : c % 7 == 0 ? -0.4f : 0.0f;
    walls[c] = c % 11 == 3 ? -1.0f : 1.0f;
    fuel[c] = float(c % 3) * 0.4f;
    temp[c] = float(c % 4) * 0.15f;
    dens[c] = float(c % 6) * 0.2f;
  }
  const std::vector<float> zeros(n, 0.0f);
  for (FireSim* s : {&sim, &masked}) {
    s->SetEmission(e);
    ASSERT_TRUE(s->SetEmitterMask(emit.data()));
    ASSERT_TRUE(s->SetSolids(walls.data()));
    Put(*s, &FireSim::Impl::fuel, fuel);
    Put(*s, &FireSim::Impl::temperature, temp);
    Put(*s, &FireSim::Impl::density, dens);
    Put(*s, &FireSim::Impl::dust, dens);
  }
  ASSERT_TRUE(masked.SetQuench(zeros.data(), 8.0f, 0.5f));
  ASSERT_TRUE(masked.SetFlammables(zeros.data(), 4.0f, 8.0f));
  for (int step = 0; step < 3; ++step) {
    sim.Internals().Combust(p, 0.05f);
    masked.Internals().Combust(p, 0.05f);
  }
  for (float* FireSim::Impl::*a : {&FireSim::Impl::density, &FireSim::Impl::temperature, &FireSim::Impl::fuel,
                                   &FireSim::Impl::dust, &FireSim::Impl::flame}) {
    const std::vector<float> plain = Get(sim, a, n), withMasks = Get(masked, a, n);
    EXPECT_EQ(std::memcmp(plain.data(), withMasks.data(), n * sizeof(float)), 0);
  }
  EXPECT_GT(Get(sim, &FireSim::Impl::flame, n)[5], 0.0f);  // something burnt
}

TFR_INSTANTIATE_BACKENDS(Combustion);

}  // namespace
}  // namespace tf::test
