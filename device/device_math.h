// The small maths every per-cell and per-pixel body shares, on both devices: the one three-float
// vector, single-instruction minimum, maximum, clamp and lerp, and the two lattice noises (the
// signed, seeded noise of the turbulence force and the [0, 1] detail noise of the source flicker,
// the flow displacement and the renderer's detail). The trilinear sampler is device/sampling.h.
// This header and the rest of the device layer (the device/ folder) sit below everything else and
// include nothing above them.
#pragma once

#include <math.h>

#include <cstdint>

#include "device/device.h"

namespace tf {

// Three floats: a position in cells, a velocity, a direction or a linear RGB colour.
struct Vec3f {
  float x = 0.0f, y = 0.0f, z = 0.0f;
};

// Minimum and maximum that compile to one instruction on both devices (the host's fminf may be a
// library call that blocks vectorisation). A NaN in `a` gives `b`.
TFR_HD inline float MinF(float a, float b) { return a < b ? a : b; }
TFR_HD inline float MaxF(float a, float b) { return a > b ? a : b; }
TFR_HD inline float ClampF(float v, float lo, float hi) { return v < lo ? lo : (v > hi ? hi : v); }
TFR_HD inline float Lerp(float a, float b, float t) { return (1.0f - t) * a + t * b; }

// ---- seeded value noise: the turbulence force ---------------------------------------------------

TFR_HD inline uint32_t SeedHash(int seed) { return uint32_t(seed) * 0x9E3779B1u; }

// Value noise with the seed already hashed. Inline so that a row loop can keep the parts that
// depend on y and z only out of it.
TFR_HD inline float HashedNoise(float x, float y, float z, uint32_t seedHash) {
  const int x0 = int(floorf(x)), y0 = int(floorf(y)), z0 = int(floorf(z));
  const float fx = x - float(x0), fy = y - float(y0), fz = z - float(z0);
  const float sx = fx * fx * (3.0f - 2.0f * fx);
  const float sy = fy * fy * (3.0f - 2.0f * fy);
  const float sz = fz * fz * (3.0f - 2.0f * fz);
  const float wx[2] = {1.0f - sx, sx}, wy[2] = {1.0f - sy, sy}, wz[2] = {1.0f - sz, sz};
  // Each lattice coordinate enters the hash as its own product, and (X + 1)·m = X·m + m in
  // 32-bit wrap-around arithmetic.
  const uint32_t hx[2] = {uint32_t(x0) * 73856093u, uint32_t(x0) * 73856093u + 73856093u};
  const uint32_t hy[2] = {uint32_t(y0) * 19349663u, uint32_t(y0) * 19349663u + 19349663u};
  const uint32_t hz[2] = {uint32_t(z0) * 83492791u, uint32_t(z0) * 83492791u + 83492791u};
  float sum = 0.0f;
  for (int c = 0; c < 8; ++c) {
    const int bx = c & 1, by = (c >> 1) & 1, bz = c >> 2;
    uint32_t h = hx[bx] ^ hy[by] ^ hz[bz] ^ seedHash;
    h ^= h >> 13;
    h *= 0x5BD1E995u;
    h ^= h >> 15;
    const float value = float(h & 0xFFFFFFu) * (1.0f / 8388608.0f) - 1.0f;
    sum += value * wx[bx] * wy[by] * wz[bz];
  }
  return sum;
}

// Smoothly interpolated pseudo-random values in [-1, 1): every integer lattice point carries a
// value hashed from its coordinates and `seed`, blended between the eight corners of the unit
// cell around (x, y, z) with the weights f^2 (3 - 2f). At integer points the result is the value
// of that lattice point.
TFR_HD inline float ValueNoise(float x, float y, float z, int seed) {
  return HashedNoise(x, y, z, SeedHash(seed));
}

// ---- detail noise: source flicker, flow displacement, render detail -----------------------------

// The integer lattice coordinate below `v`, kept inside int32 for values the noise cannot use
// anyway (huge, infinite or NaN inputs come from infinite half values in a frame).
TFR_HD inline int32_t NoiseFloor(float v) {
  if (!(v == v)) return 0;
  const float f = floorf(v);
  if (f <= -2147483648.0f) return int32_t(-2147483647 - 1);
  if (f >= 2147483520.0f) return 2147483520;
  return int32_t(f);
}

// A lattice corner's value in [0, 1]: 24 bits hashed from the xor of its coordinates' products.
inline constexpr uint32_t kNoiseMulX = 73856093u, kNoiseMulY = 19349663u, kNoiseMulZ = 83492791u;

TFR_HD inline uint32_t NoiseHashBits(uint32_t m) {
  const uint32_t t = (m ^ (m >> 13)) * 1540483477u;
  return (t ^ (t >> 15)) & 0xFFFFFFu;
}

TFR_HD inline float NoiseCorner(int32_t i, int32_t j, int32_t k) {
  return float(NoiseHashBits((uint32_t(i) * kNoiseMulX) ^ (uint32_t(j) * kNoiseMulY) ^ (uint32_t(k) * kNoiseMulZ))) /
         16777215.0f;
}

TFR_HD inline float NoiseSmooth(float u) { return u * u * (3.0f - 2.0f * u); }

// Lattice value noise in [0, 1]: a hash of each integer lattice corner, blended over the unit
// cell with the weights 3u^2 - 2u^3. At integer points it is that corner's value.
TFR_HD inline float DetailNoise(float a, float b, float c) {
  const int32_t i = NoiseFloor(a), j = NoiseFloor(b), k = NoiseFloor(c);
  const float u = NoiseSmooth(a - floorf(a)), v = NoiseSmooth(b - floorf(b)), w = NoiseSmooth(c - floorf(c));
  const float x00 = NoiseCorner(i, j, k) + (NoiseCorner(i + 1, j, k) - NoiseCorner(i, j, k)) * u;
  const float x10 = NoiseCorner(i, j + 1, k) + (NoiseCorner(i + 1, j + 1, k) - NoiseCorner(i, j + 1, k)) * u;
  const float x01 = NoiseCorner(i, j, k + 1) + (NoiseCorner(i + 1, j, k + 1) - NoiseCorner(i, j, k + 1)) * u;
  const float x11 =
      NoiseCorner(i, j + 1, k + 1) + (NoiseCorner(i + 1, j + 1, k + 1) - NoiseCorner(i, j + 1, k + 1)) * u;
  const float y0 = x00 + (x10 - x00) * v;
  const float y1 = x01 + (x11 - x01) * v;
  return y0 + (y1 - y0) * w;
}

}  // namespace tf
