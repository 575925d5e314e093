// The renderer's per-voxel and per-pixel computations, each written once. Every function and
// body here is marked TFR_HD: nvcc compiles it for the device and the host, a plain C++ build for
// the host alone. Bodies capture raw pointers and scalars only, so they copy into kernels as is.
#pragma once

#include <math.h>

#include <cstddef>
#include <cstdint>

#include "device/device.h"
#include "device/device_math.h"
#include "device/sampling.h"
#include "render/occupancy.h"
#include "render/render.h"

namespace tf {
namespace render_detail {

TFR_HD inline Vec3f V3(float x, float y, float z) { return Vec3f{x, y, z}; }
TFR_HD inline Vec3f Add(const Vec3f& a, const Vec3f& b) { return V3(a.x + b.x, a.y + b.y, a.z + b.z); }
TFR_HD inline Vec3f Sub(const Vec3f& a, const Vec3f& b) { return V3(a.x - b.x, a.y - b.y, a.z - b.z); }
TFR_HD inline Vec3f Mul(const Vec3f& a, const Vec3f& b) { return V3(a.x * b.x, a.y * b.y, a.z * b.z); }
TFR_HD inline Vec3f Scale(const Vec3f& a, float s) { return V3(a.x * s, a.y * s, a.z * s); }
TFR_HD inline float Dot(const Vec3f& a, const Vec3f& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

// The element (x, y, z) of an a * b * c array; sizes are formed in 64 bits so a large crop cannot
// wrap the index.
TFR_HD inline size_t Index3(int32_t x, int32_t y, int32_t z, int32_t a, int32_t b) {
  return size_t(x) + size_t(a) * (size_t(y) + size_t(b) * size_t(z));
}

// Where a trilinear lookup of an a * b * c grid at (x, y, z) reads, in cell units with cell i
// spanning [i, i + 1]: the device layer's sampler placed at the cell centres. Several arrays of
// one grid sampled at one point share it. Outside the cell centres' range by more than half a
// cell nothing is read (the lookup gives 0); nearer the border the position clamps to the
// outermost centres.
struct GridCoords {
  bool inside;
  Corners at;
};

TFR_HD TFR_SAMPLE_INLINE GridCoords GridAt(int32_t a, int32_t b, int32_t c, float x, float y, float z) {
  GridCoords q{};
  const float u = x - 0.5f, v = y - 0.5f, w = z - 0.5f;
  q.inside = !(u < -0.5f || u > float(a) - 0.5f || v < -0.5f || v > float(b) - 0.5f || w < -0.5f ||
               w > float(c) - 0.5f) &&
             u == u && v == v && w == w;
  if (q.inside) q.at = Locate(a, b, c, u, v, w);
  return q;
}

// The eight values around the point, interpolated in x, then y, then z; 0 for a null array.
TFR_HD TFR_SAMPLE_INLINE float Lerp8(const float* g, const GridCoords& q) {
  if (g == nullptr || !q.inside) return 0.0f;
  return Interpolate(g, q.at);
}

// A single trilinear lookup.
TFR_HD inline float SampleGrid(const float* g, int32_t a, int32_t b, int32_t c, float x, float y, float z) {
  if (g == nullptr) return 0.0f;
  return Lerp8(g, GridAt(a, b, c, x, y, z));
}

// Table colour at `kelvin` and the uncapped strength max(0, (K / 1500)^6 - 0.08). At or above
// 4300 K the last pair of entries is used with the fraction 0.999.
TFR_HD inline void KelvinColor(const Vec3f* table, float kelvin, Vec3f& color, float& strength) {
  // A NaN temperature (a damaged cache frame) takes the first entry: NaN never reaches the integer
  // conversion, which would be undefined.
  const float p = (kelvin - 300.0f) / 4000.0f * 127.0f;
  const float f = p == p ? ClampF(p, 0.0f, 126.999f) : 0.0f;
  const int32_t i = int32_t(f);
  const float frac = f - float(i);
  color = Add(table[i], Scale(Sub(table[i + 1], table[i]), frac));
  const float q = kelvin / 1500.0f;
  const float q2 = q * q;
  strength = MaxF(0.0f, q2 * q2 * q2 - 0.08f);
}

// Fire emission of a temperature sample: nothing at or below 0.15 after scaling; otherwise the
// table colour times min(W, 4) times the intensity. `w` receives W (uncapped).
TFR_HD inline void FireColor(const Vec3f* table, float tau, float tempScale, float intensity, Vec3f& emission,
                             float& w) {
  const float v = tau * tempScale;
  if (!(v > 0.15f)) {
    emission = V3(0.0f, 0.0f, 0.0f);
    w = 0.0f;
    return;
  }
  Vec3f c;
  KelvinColor(table, v * 1000.0f + 300.0f, c, w);
  emission = Scale(c, MinF(w, 4.0f) * intensity);
}

// The scalars and read-only tables of a render as they travel into a kernel.
struct ShadeView {
  float densityScale, fireIntensity, fireTempScale, shadowAmount, detailAmount, glowK, detailFreq;
  Vec3f smokeColor, lightColor, skyColor, background, lightDir;
  const Vec3f* table;  // kFireColorEntries colours
  const float *glowR, *glowG, *glowB;
  int32_t gx, gy, gz;
};

// Transmittance from each voxel centre toward the key light, one cell per step; the voxel's own
// density does not count. With bricks, light rays step over bricks of (next to) no smoke, voxels
// that no march sample reads stay fully lit, and with a lattice stride of 2 only the voxels of the
// even lattice (and the last of each axis) are traced here: ShadowFillBody fills the others.
struct ShadowBody {
  const float* density;
  float* shadow;
  int32_t nx, ny, nz;
  float densityScale, cellSize;
  Vec3f lightDir;
  BrickView bricks;
  int32_t stride;  // 1 traces every voxel

  TFR_HD bool Needed(int32_t x, int32_t y, int32_t z) const {
    return bricks.shadow == nullptr ||
           bricks.shadow[BrickIndex(bricks, x / kBrickCells, y / kBrickCells, z / kBrickCells)] != 0;
  }

  TFR_HD float Trace(int32_t x, int32_t y, int32_t z) const {
    float sum = 0.0f;
    if (density != nullptr) {
      const bool skipping = bricks.light != nullptr;
      float px = float(x) + 0.5f, py = float(y) + 0.5f, pz = float(z) + 0.5f;
      float spent = 0.0f;
      int32_t unchecked = 0;  // steps left in a brick found worth sampling
      for (int32_t s = 0; s < 4096; ++s) {
        px += lightDir.x, py += lightDir.y, pz += lightDir.z;
        if (px < 0.0f || py < 0.0f || pz < 0.0f || px > float(nx) || py > float(ny) || pz > float(nz)) break;
        if (skipping && unchecked == 0) {
          int32_t n = 1;
          // What a skipped brick would have added changes the voxel's light in proportion to the
          // light that is left.
          const float left = expf(-sum);
          if (SkipBrick(bricks.light, bricks, px, py, pz, lightDir.x, lightDir.y, lightDir.z, 1.0f, left, spent, n)) {
            // this step and n - 1 more lie in the brick
            px += lightDir.x * float(n - 1), py += lightDir.y * float(n - 1), pz += lightDir.z * float(n - 1);
            s += n - 1;
            continue;
          }
          unchecked = n;
        }
        if (unchecked > 0) --unchecked;
        sum += SampleGrid(density, nx, ny, nz, px, py, pz) * densityScale * cellSize;
        if (sum > 12.0f) break;
      }
    }
    return expf(-sum);
  }

  TFR_HD void operator()(int32_t x, int32_t y, int32_t z) const {
    if (stride == 2 && !(OnLattice(x, nx) && OnLattice(y, ny) && OnLattice(z, nz))) return;
    shadow[Index3(x, y, z, nx, ny)] = Needed(x, y, z) ? Trace(x, y, z) : 1.0f;
  }

  TFR_HD static bool OnLattice(int32_t v, int32_t n) { return (v & 1) == 0 || v == n - 1; }
};

// The largest difference between the lattice voxels around a voxel that lets it take their
// interpolation without a further look; its error is a fraction of this, and a pixel sees it times
// the key light on the smoke.
inline constexpr float kShadowSpread = 0.02f;

// Where the lattice voxels differ more, the light still changes smoothly across most of a plume:
// the interpolation is taken when the light's bend along each axis (the second differences of the
// lattice values on either side) lets a straight line between lattice voxels miss the middle by
// at most this, summed over the axes.
inline constexpr float kShadowBend = 4e-3f;

// The voxels between the lattice ShadowBody traced with stride 2: interpolated from the lattice
// voxels around them, or traced where the light bends too much between them or one of them was
// left unlit.
struct ShadowFillBody {
  ShadowBody trace;

  // The lattice voxels on either side of v along an axis of n voxels, and v's weight between them.
  TFR_HD static void Span(int32_t v, int32_t n, int32_t& lo, int32_t& hi, float& w) {
    if (ShadowBody::OnLattice(v, n)) {
      lo = hi = v, w = 0.0f;
      return;
    }
    lo = v - 1;
    hi = v + 1 < n - 1 ? v + 1 : n - 1;
    w = 0.5f;
  }

  TFR_HD float At(int32_t i, int32_t j, int32_t k) const {
    return trace.shadow[Index3(i, j, k, trace.nx, trace.ny)];
  }

  // How far the middle of the lattice step lo..hi along one axis (through the lattice voxel
  // (x, y, z) for the other two) can lie from the straight line between its ends: an eighth of the
  // larger second difference of the lattice values at lo and hi. A negative result when the
  // lattice values around it cannot tell (the grid's edge, an unlit brick, a step of one voxel).
  TFR_HD float Bend(int axis, int32_t x, int32_t y, int32_t z, int32_t lo, int32_t hi, int32_t n) const {
    if (lo == hi) return 0.0f;
    if (hi != lo + 2 || lo < 2 || hi + 2 > n - 1 || ((hi + 2) & 1) != 0) return -1.0f;
    int32_t p[3] = {x, y, z};
    float v[4];
    for (int s = 0; s < 4; ++s) {
      p[axis] = lo - 2 + 2 * s;
      if (!trace.Needed(p[0], p[1], p[2])) return -1.0f;
      v[s] = At(p[0], p[1], p[2]);
    }
    const float a = fabsf(v[0] - 2.0f * v[1] + v[2]), b = fabsf(v[1] - 2.0f * v[2] + v[3]);
    const float bend = 0.125f * MaxF(a, b);
    return bend == bend ? bend : -1.0f;
  }

  TFR_HD void operator()(int32_t x, int32_t y, int32_t z) const {
    const ShadowBody& b = trace;
    if (ShadowBody::OnLattice(x, b.nx) && ShadowBody::OnLattice(y, b.ny) && ShadowBody::OnLattice(z, b.nz)) return;
    float* out = b.shadow + Index3(x, y, z, b.nx, b.ny);
    if (!b.Needed(x, y, z)) {
      *out = 1.0f;
      return;
    }
    int32_t x0, x1, y0, y1, z0, z1;
    float fx, fy, fz;
    Span(x, b.nx, x0, x1, fx);
    Span(y, b.ny, y0, y1, fy);
    Span(z, b.nz, z0, z1, fz);
    if (!(b.Needed(x0, y0, z0) && b.Needed(x1, y0, z0) && b.Needed(x0, y1, z0) && b.Needed(x1, y1, z0) &&
          b.Needed(x0, y0, z1) && b.Needed(x1, y0, z1) && b.Needed(x0, y1, z1) && b.Needed(x1, y1, z1))) {
      *out = b.Trace(x, y, z);
      return;
    }
    auto at = [&](int32_t i, int32_t j, int32_t k) { return At(i, j, k); };
    // Where the light changes fast between the lattice voxels a straight line between them can
    // miss an edge of the smoke's shadow: such voxels are traced unless the light bends little.
    const float v[8] = {at(x0, y0, z0), at(x1, y0, z0), at(x0, y1, z0), at(x1, y1, z0),
                        at(x0, y0, z1), at(x1, y0, z1), at(x0, y1, z1), at(x1, y1, z1)};
    float lo = v[0], hi = v[0];
    bool numbers = true;  // a NaN in the smoke darkens only the voxels whose own rays meet it
    for (int i = 0; i < 8; ++i) lo = MinF(lo, v[i]), hi = MaxF(hi, v[i]), numbers = numbers && v[i] == v[i];
    if (!numbers) {
      *out = b.Trace(x, y, z);
      return;
    }
    if (!(hi - lo <= kShadowSpread)) {
      // Along each axis, the largest bend of the four lattice lines through the cell around the voxel.
      float bend[3] = {0.0f, 0.0f, 0.0f};
      for (int n = 0; n < 4; ++n) {
        const bool u = (n & 1) != 0, w = (n & 2) != 0;
        const float bx = Bend(0, x, u ? y1 : y0, w ? z1 : z0, x0, x1, b.nx);
        const float by = Bend(1, u ? x1 : x0, y, w ? z1 : z0, y0, y1, b.ny);
        const float bz = Bend(2, u ? x1 : x0, w ? y1 : y0, z, z0, z1, b.nz);
        bend[0] = bx >= 0.0f && bend[0] >= 0.0f ? MaxF(bend[0], bx) : -1.0f;
        bend[1] = by >= 0.0f && bend[1] >= 0.0f ? MaxF(bend[1], by) : -1.0f;
        bend[2] = bz >= 0.0f && bend[2] >= 0.0f ? MaxF(bend[2], bz) : -1.0f;
      }
      if (!(bend[0] >= 0.0f && bend[1] >= 0.0f && bend[2] >= 0.0f && bend[0] + bend[1] + bend[2] <= kShadowBend)) {
        *out = b.Trace(x, y, z);
        return;
      }
    }
    const float c00 = at(x0, y0, z0) + (at(x1, y0, z0) - at(x0, y0, z0)) * fx;
    const float c10 = at(x0, y1, z0) + (at(x1, y1, z0) - at(x0, y1, z0)) * fx;
    const float c01 = at(x0, y0, z1) + (at(x1, y0, z1) - at(x0, y0, z1)) * fx;
    const float c11 = at(x0, y1, z1) + (at(x1, y1, z1) - at(x0, y1, z1)) * fx;
    const float c0 = c00 + (c10 - c00) * fy;
    const float c1 = c01 + (c11 - c01) * fy;
    *out = c0 + (c1 - c0) * fz;
  }
};

// One pixel of the preview as the reference march takes it: a jittered march in half-cell steps
// through the volume's box, every sample taken. The accelerated march (BrickMarchBody) shares its
// ray, its shading of a sample and its output.
// The channels of the render-time detail are one noise moved apart: channel c (0..3) sits at the
// lattice offset DetailOffset(axis, c) along each axis (0 x, 1 y, 2 z).
TFR_HD inline float DetailOffset(int axis, int c) {
  const float offset[3][4] = {{0.0f, 31.7f, 0.0f, 91.3f}, {0.0f, 11.3f, 57.1f, 0.0f}, {0.0f, 0.0f, 7.9f, 43.7f}};
  return offset[axis][c];
}

// The render-time detail: four channels of two-octave noise at p (s[c] += (noise - 0.5) x
// amplitude, the first octave and then the second). Three displace the sample point, the fourth
// scales the density.
TFR_HD inline void DetailChannels(const Vec3f& p, float freq, float s[4]) {
  float f = freq, amp = 1.0f;
  for (int oct = 0; oct < 2; ++oct) {
    for (int c = 0; c < 4; ++c) {
      const float n =
          DetailNoise(f * p.x + DetailOffset(0, c), f * p.y + DetailOffset(1, c), f * p.z + DetailOffset(2, c));
      s[c] += (n - 0.5f) * amp;
    }
    f *= 2.1f;
    amp *= 0.5f;
  }
}

// Moves p by the first three channels and gives the density factor from the fourth.
TFR_HD inline float ApplyDetail(const ShadeView& sv, const float s[4], Vec3f& p) {
  p = Add(p, Scale(V3(s[0], s[1], s[2]), sv.detailAmount * 1.6f / sv.detailFreq));
  return MaxF(0.0f, sv.detailAmount * 0.45f * s[3] + 1.0f);
}

struct MarchBody {
  const float* density;
  const float* temperature;
  const float* shadow;
  float* image;
  int32_t* steps;  // optional: samples taken per pixel
  int32_t nx, ny, nz;
  float cellSize;
  Vec3f volumeOrigin;
  Vec3f camPos, camRight, camUp, camForward;
  bool ortho;
  float tanHalfFov, orthoHalfWidth;
  int32_t width, height;
  ShadeView sv;

  // The pixel's ray in grid units and the span of t it spends in the box; false when it misses.
  TFR_HD TFR_SAMPLE_INLINE bool Ray(int32_t px, int32_t py, Vec3f& g0, Vec3f& dir, float& tEnter, float& tExit) const {
    const float sx = (float(px) + 0.5f) / float(width) * 2.0f - 1.0f;
    const float sy = 1.0f - (float(py) + 0.5f) / float(height) * 2.0f;
    const float aspect = float(height) / float(width);
    Vec3f origin;
    if (ortho) {
      origin = Add(camPos, Add(Scale(camRight, sx * orthoHalfWidth), Scale(camUp, sy * orthoHalfWidth * aspect)));
      dir = camForward;
    } else {
      origin = camPos;
      dir = Add(camForward, Add(Scale(camRight, sx * tanHalfFov), Scale(camUp, sy * tanHalfFov * aspect)));
    }
    const float len = sqrtf(Dot(dir, dir));
    if (len > 0.0f) dir = Scale(dir, 1.0f / len);

    g0 = Scale(Sub(origin, volumeOrigin), 1.0f / cellSize);
    tEnter = 0.0f, tExit = 1e30f;
    bool hit = true;
    const float o[3] = {g0.x, g0.y, g0.z};
    const float d[3] = {dir.x, dir.y, dir.z};
    const float size[3] = {float(nx), float(ny), float(nz)};
    for (int a = 0; a < 3; ++a) {
      if (fabsf(d[a]) < 1e-12f) {
        if (o[a] < 0.0f || o[a] > size[a]) hit = false;
      } else {
        const float t0 = (0.0f - o[a]) / d[a], t1 = (size[a] - o[a]) / d[a];
        tEnter = MaxF(tEnter, MinF(t0, t1));
        tExit = MinF(tExit, MaxF(t0, t1));
      }
    }
    return hit && tExit > tEnter;
  }

  // Where the march of a pixel starts: less than half a step past the entry, by a hash of the pixel.
  TFR_HD static float Jitter(int32_t px, int32_t py) {
    const uint32_t h = uint32_t(py) * 5563181u - uint32_t(px) * 7544539u;
    return float((h >> 8) & 0xFFFFu) * 0.5f / 65536.0f;
  }

  // Adds one sample at the (displaced) point p, standing for `span` cells of the ray, to the
  // pixel's colour and transmittance. Without `hot` the sample's temperature is known not to emit
  // (its strength is 0, so it neither adds light nor absorbs) and is not read; without `glowing`
  // the glow around it is known to be 0 and is not read either.
  TFR_HD TFR_SAMPLE_INLINE void Shade(const Vec3f& p, float m, float span, bool hot, bool glowing, float& T, Vec3f& C) const {
    // Density, temperature and shadow share the grid, so one set of coordinates serves all.
    const GridCoords q = GridAt(nx, ny, nz, p.x, p.y, p.z);
    const float sigma = Lerp8(density, q) * m * sv.densityScale;
    const float ts = expf(-sigma * cellSize * span);
    Vec3f e = V3(0.0f, 0.0f, 0.0f);
    float tf = 1.0f;
    if (hot) {
      float w;
      FireColor(sv.table, Lerp8(temperature, q), sv.fireTempScale, sv.fireIntensity, e, w);
      tf = expf(-0.06f * MinF(w, 4.0f));
    }
    if (sigma > 0.0f) {
      const float vis = 1.0f - (1.0f - Lerp8(shadow, q)) * sv.shadowAmount;
      Vec3f glow = V3(0.0f, 0.0f, 0.0f);
      if (glowing) {
        const GridCoords gq = GridAt(sv.gx, sv.gy, sv.gz, p.x * 0.25f, p.y * 0.25f, p.z * 0.25f);
        glow = V3(Lerp8(sv.glowR, gq), Lerp8(sv.glowG, gq), Lerp8(sv.glowB, gq));
      }
      const float weight = (1.0f - ts) * T;
      const Vec3f light = Add(Add(Scale(sv.lightColor, vis), sv.skyColor), Scale(glow, sv.glowK));
      C = Add(C, Scale(Mul(light, sv.smokeColor), weight));
    }
    C = Add(C, Scale(e, (1.0f - tf) * T));
    T *= tf * ts;
  }

  TFR_HD void Store(int32_t px, int32_t py, float T, const Vec3f& C, int32_t n) const {
    const size_t at = (size_t(width) * size_t(py) + size_t(px)) * 3;
    image[at + 0] = sv.background.x * T + C.x;
    image[at + 1] = sv.background.y * T + C.y;
    image[at + 2] = sv.background.z * T + C.z;
    if (steps != nullptr) steps[size_t(width) * size_t(py) + size_t(px)] = n;
  }

  TFR_HD void operator()(int32_t px, int32_t py) const {
    Vec3f g0, dir;
    float tEnter, tExit;
    float T = 1.0f;
    Vec3f C = V3(0.0f, 0.0f, 0.0f);
    int32_t n = 0;  // samples taken
    if (Ray(px, py, g0, dir, tEnter, tExit)) {
      float t = tEnter + Jitter(px, py);
      while (n < 16384 && tExit > t && T > 0.003f) {
        Vec3f p = Add(g0, Scale(dir, t));
        ++n;
        float m = 1.0f;
        if (sv.detailAmount > 0.0f) {
          float s[4] = {0.0f, 0.0f, 0.0f, 0.0f};
          DetailChannels(p, sv.detailFreq, s);
          m = ApplyDetail(sv, s, p);
        }
        Shade(p, m, 0.5f, true, true, T, C);
        t += 0.5f;
      }
    }
    Store(px, py, T, C, n);
  }
};

// Asks the host compiler to put the iterations of a short loop in vector lanes; the device
// compiler runs them per thread as written.
#if defined(__CUDA_ARCH__)
#define TFR_LANES
#else
#define TFR_LANES _Pragma("omp simd")
#endif

// The largest lattice coordinate the detail noise of a render may reach for RayNoise to take its
// fast floor; beyond it the march calls DetailNoise itself.
inline constexpr float kFastNoiseReach = 4194304.0f;  // 2^22: floats still hold every integer and half

// The detail noise along one ray, the four channels of both octaves side by side in eight lanes
// (lane l: octave l / 4, channel l % 4): each lane's lattice coordinates move linearly with t, so
// they are formed from the ray with one multiply-add and floored by truncation (they are known to
// be small); the eight corners of each lane's lattice cell are hashed afresh at every sample. The
// loop over the lanes carries no branch, so the host compiler packs it into one vector: hashing
// every corner that way costs less than keeping the corners from sample to sample, whose tests for
// a change of cell go either way at random. Gives DetailNoise's value up to the rounding of the
// coordinates and of the corners' scaling.
struct RayNoise {
  static constexpr int kLanes = 8;
  float base[3][kLanes];   // axis, lane: the lattice coordinate at t = 0
  float slope[3][kLanes];  // its change per unit of t
  float amp[kLanes];       // the octave's amplitude

  TFR_HD void Start(const Vec3f& g0, const Vec3f& dir, float freq) {
    const float g[3] = {g0.x, g0.y, g0.z}, d[3] = {dir.x, dir.y, dir.z};
    const float f[2] = {freq, freq * 2.1f};
    for (int l = 0; l < kLanes; ++l) {
      const int o = l / 4, c = l % 4;
      amp[l] = o == 0 ? 1.0f : 0.5f;
      for (int a = 0; a < 3; ++a) {
        slope[a][l] = f[o] * d[a];
        base[a][l] = f[o] * g[a] + DetailOffset(a, c);
      }
    }
  }

  // s[c] += (noise of channel c - 0.5) x amplitude, the first octave and then the second, at ray
  // parameter t.
  TFR_HD TFR_SAMPLE_INLINE void Add(float t, float s[4]) const {
    float r[kLanes];
    TFR_LANES
    for (int l = 0; l < kLanes; ++l) {
      float w[3];
      uint32_t h[3];
      for (int a = 0; a < 3; ++a) {
        // Truncation, one less below zero where it rounded up: a floor without a branch.
        const float v = base[a][l] + slope[a][l] * t;
        const int32_t i = int32_t(v);
        const int32_t fl = i - int32_t(float(i) > v);
        w[a] = NoiseSmooth(v - float(fl));
        h[a] = uint32_t(fl);
      }
      // NoiseCorner's hash, with (X + 1)·m = X·m + m in 32-bit wrap-around arithmetic, and its
      // scaling by a multiplication instead of a division (at most one unit in the last place).
      const uint32_t x0 = h[0] * kNoiseMulX, x1 = x0 + kNoiseMulX;
      const uint32_t y0 = h[1] * kNoiseMulY, y1 = y0 + kNoiseMulY;
      const uint32_t z0 = h[2] * kNoiseMulZ, z1 = z0 + kNoiseMulZ;
      const float k = 1.0f / 16777215.0f;
      const float c000 = float(NoiseHashBits(x0 ^ y0 ^ z0)) * k, c100 = float(NoiseHashBits(x1 ^ y0 ^ z0)) * k;
      const float c010 = float(NoiseHashBits(x0 ^ y1 ^ z0)) * k, c110 = float(NoiseHashBits(x1 ^ y1 ^ z0)) * k;
      const float c001 = float(NoiseHashBits(x0 ^ y0 ^ z1)) * k, c101 = float(NoiseHashBits(x1 ^ y0 ^ z1)) * k;
      const float c011 = float(NoiseHashBits(x0 ^ y1 ^ z1)) * k, c111 = float(NoiseHashBits(x1 ^ y1 ^ z1)) * k;
      const float u = w[0], v = w[1], z = w[2];
      const float x00 = c000 + (c100 - c000) * u;
      const float x10 = c010 + (c110 - c010) * u;
      const float x01 = c001 + (c101 - c001) * u;
      const float x11 = c011 + (c111 - c011) * u;
      const float yLow = x00 + (x10 - x00) * v;
      const float yHigh = x01 + (x11 - x01) * v;
      r[l] = (yLow + (yHigh - yLow) * z - 0.5f) * amp[l];
    }
    for (int c = 0; c < 4; ++c) {
      s[c] += r[c];
      s[c] += r[c + 4];
    }
  }
};

// The optical depth per half-cell sample below which a brick is marched in whole-cell steps: one
// sample at the middle of each pair of half-cell samples, standing for both. Cold bricks only.
// The pair's light differs from the two samples' by the change of the smoke between them, a
// fraction of this depth times the light on the smoke.
inline constexpr float kThinTau = 0.01f;

// One pixel of the accelerated preview: the reference's samples, except that steps falling in a
// brick which cannot show are not taken, thin bricks are sampled once per whole cell, the
// temperature is read only in bricks that may hold fire and the glow only where there is some.
struct BrickMarchBody {
  MarchBody m;
  BrickView bricks;
  bool fastNoise;  // every lattice coordinate of the noise lies within kFastNoiseReach

  // Always inlined, so that a caller compiled for other instructions (the AVX2 rows) compiles the
  // whole march for them.
  TFR_HD TFR_SAMPLE_INLINE void operator()(int32_t px, int32_t py) const {
    Vec3f g0, dir;
    float tEnter, tExit;
    float T = 1.0f;
    Vec3f C = V3(0.0f, 0.0f, 0.0f);
    int32_t n = 0;  // samples taken
    if (m.Ray(px, py, g0, dir, tEnter, tExit)) {
      const ShadeView& sv = m.sv;
      const bool detail = sv.detailAmount > 0.0f;
      // A ray from a camera with a value that is not a number takes DetailNoise's own floor.
      const float span = fabsf(g0.x) + fabsf(g0.y) + fabsf(g0.z) + fabsf(dir.x) + fabsf(dir.y) + fabsf(dir.z);
      const bool fast = fastNoise && span < 1e30f;
      RayNoise noise;
      if (detail && fast) noise.Start(g0, dir, sv.detailFreq);
      float t = tEnter + MarchBody::Jitter(px, py);
      float spent = 0.0f;
      int32_t k = 0;          // steps, taken or skipped
      int32_t unchecked = 0;  // steps left in a brick found worth sampling
      bool hot = true, thin = false, glowing = true;
      while (k < 16384 && tExit > t && T > 0.003f) {
        if (unchecked == 0) {
          const Vec3f at = Add(g0, Scale(dir, t));
          int32_t skip = 1;
          if (SkipBrick(bricks.march, bricks, at.x, at.y, at.z, dir.x, dir.y, dir.z, 0.5f, T, spent, skip)) {
            t += 0.5f * float(skip);
            k += skip;
            continue;
          }
          unchecked = skip;
          const size_t brick =
              BrickIndex(bricks, BrickOf(at.x, bricks.bx), BrickOf(at.y, bricks.by), BrickOf(at.z, bricks.bz));
          const float tau = bricks.march[brick];
          glowing = bricks.glow[brick] != 0;
          hot = !(tau < 1e30f);  // a brick that may emit, or holds a value that is not a number
          thin = tau <= kThinTau;
        }
        const int32_t take = thin && unchecked >= 2 && k + 2 <= 16384 && tExit > t + 0.5f ? 2 : 1;
        const float tc = t + 0.25f * float(take - 1);  // the middle of the steps taken
        Vec3f p = Add(g0, Scale(dir, tc));
        float mod = 1.0f;
        if (detail) {
          float s[4] = {0.0f, 0.0f, 0.0f, 0.0f};
          if (fast)
            noise.Add(tc, s);
          else
            DetailChannels(p, sv.detailFreq, s);
          mod = ApplyDetail(sv, s, p);
        }
        m.Shade(p, mod, 0.5f * float(take), hot, glowing, T, C);
        unchecked -= take;
        k += take;
        ++n;
        t += 0.5f * float(take);
      }
    }
    m.Store(px, py, T, C, n);
  }
};

// Colour and opacity of one voxel for the viewport, with its shadow already computed.
struct VoxelColorBody {
  const float* density;
  const float* temperature;
  const float* shadow;
  float* out;
  int32_t nx, ny;
  float cellSize, exposureScale;
  ShadeView sv;

  TFR_HD void operator()(int32_t x, int32_t y, int32_t z) const {
    const size_t i = Index3(x, y, z, nx, ny);
    const float d = density != nullptr ? density[i] : 0.0f;
    const float a = 1.0f - expf(-d * sv.densityScale * cellSize);
    Vec3f e;
    float w;
    FireColor(sv.table, temperature != nullptr ? temperature[i] : 0.0f, sv.fireTempScale, sv.fireIntensity, e, w);
    const float f = 1.0f - expf(-0.12f * MinF(w, 4.0f));
    const float vis = 1.0f - (1.0f - shadow[i]) * sv.shadowAmount;
    const GridCoords gq =
        GridAt(sv.gx, sv.gy, sv.gz, (float(x) + 0.5f) * 0.25f, (float(y) + 0.5f) * 0.25f, (float(z) + 0.5f) * 0.25f);
    const Vec3f glow = V3(Lerp8(sv.glowR, gq), Lerp8(sv.glowG, gq), Lerp8(sv.glowB, gq));
    const Vec3f light = Add(Add(Scale(sv.lightColor, vis), sv.skyColor), Scale(glow, sv.glowK));
    const Vec3f rgb = Scale(Add(Scale(Mul(light, sv.smokeColor), a), Scale(e, f)), exposureScale);
    out[i * 4 + 0] = rgb.x;
    out[i * 4 + 1] = rgb.y;
    out[i * 4 + 2] = rgb.z;
    out[i * 4 + 3] = MinF(1.0f, MaxF(a, f));
  }
};

}  // namespace render_detail
}  // namespace tf
