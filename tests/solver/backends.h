// Every solver test is written once and runs on each backend the machine has: the CPU always,
// the GPU where a device is present (otherwise the GPU cases are reported as skipped).
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "device/device_memory.h"
#include "solver/fire_sim.h"
#include "solver/fire_sim_impl.h"

namespace tf::test {

enum class Backend { Cpu, Gpu };

inline void PrintTo(Backend b, std::ostream* os) { *os << (b == Backend::Gpu ? "GPU" : "CPU"); }

inline std::string BackendName(const ::testing::TestParamInfo<Backend>& info) {
  return info.param == Backend::Gpu ? "Gpu" : "Cpu";
}

class Backends : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    if (gpu() && !GpuPresent()) GTEST_SKIP() << "no GPU on this machine";
  }
  bool gpu() const { return GetParam() == Backend::Gpu; }

  // Creates `sim` on this backend; the GPU case must really run on the GPU.
  void create(FireSim& sim, GridDesc g, OpenSides sides = kDefaultOpenSides) {
    ASSERT_TRUE(sim.Create(g, sides, gpu())) << sim.LastError();
    ASSERT_EQ(sim.UsesGpu(), gpu());
  }
};

#define TFR_INSTANTIATE_BACKENDS(Suite) \
  INSTANTIATE_TEST_SUITE_P(All, Suite, ::testing::Values(Backend::Cpu, Backend::Gpu), BackendName)

inline GridDesc Grid(int nx, int ny, int nz, float h = 0.1f) { return GridDesc{nx, ny, nz, h}; }

// Writes host values into one of the solver's arrays (whatever device it lives on).
inline void Put(FireSim& sim, float* FireSim::Impl::*member, const std::vector<float>& values) {
  FireSim::Impl& s = sim.Internals();
  Upload(s.exec(), s.*member, values.data(), values.size() * sizeof(float));
}

inline std::vector<float> Get(FireSim& sim, float* FireSim::Impl::*member, size_t count) {
  FireSim::Impl& s = sim.Internals();
  std::vector<float> out(count);
  Download(s.exec(), out.data(), s.*member, count * sizeof(float));
  return out;
}

// n uniform values in [lo, hi), repeatable for a seed.
inline std::vector<float> Random(size_t n, float lo, float hi, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(lo, hi);
  std::vector<float> out(n);
  for (float& x : out) x = dist(rng);
  return out;
}

inline size_t CellIndex(const GridDesc& g, int i, int j, int k) {
  return size_t(i) + size_t(g.nx) * (size_t(j) + size_t(g.ny) * size_t(k));
}

}  // namespace tf::test
