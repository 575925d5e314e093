// The occupancy bricks of a render, built on the CPU from the frame and the shading context.
#include "render/occupancy.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace tf {

namespace {

constexpr int32_t kTile = 2;  // bricks gather their halo from 2^3-cell tiles

// Largest |value| of each 2^3 tile; NaN when the tile holds one. Null fields read as zero.
std::vector<float> TileMaxima(const float* field, int32_t nx, int32_t ny, int32_t nz, int32_t tx, int32_t ty,
                              int32_t tz) {
  std::vector<float> tiles(size_t(tx) * size_t(ty) * size_t(tz), 0.0f);
  if (field == nullptr) return tiles;
  [[maybe_unused]] const bool parallel = int64_t(nx) * ny * nz >= 4096;
#pragma omp parallel for schedule(static) if (parallel)
  for (int32_t k = 0; k < tz; ++k)
    for (int32_t z = k * kTile; z < std::min(nz, k * kTile + kTile); ++z)
      for (int32_t y = 0; y < ny; ++y) {
        const float* row = field + size_t(nx) * (size_t(y) + size_t(ny) * size_t(z));
        float* out = tiles.data() + size_t(tx) * (size_t(y / kTile) + size_t(ty) * size_t(k));
        for (int32_t x = 0; x < nx; ++x) {
          const float a = std::fabs(row[x]);
          float& m = out[x / kTile];
          if (!(a <= m)) m = std::isnan(m) ? m : a;  // NaN sticks
        }
      }
  return tiles;
}

// Per brick, the largest tile value within `halo` cells of the brick (rounded out to whole tiles).
std::vector<float> BrickMaxima(const std::vector<float>& tiles, int32_t tx, int32_t ty, int32_t tz, int32_t bx,
                               int32_t by, int32_t bz, int32_t halo) {
  std::vector<float> out(size_t(bx) * size_t(by) * size_t(bz), 0.0f);
  auto range = [&](int32_t b, int32_t count, int32_t& lo, int32_t& hi) {
    lo = std::max(0, (b * kBrickCells - halo) / kTile);
    hi = std::min(count - 1, (b * kBrickCells + kBrickCells + halo - 1) / kTile);
  };
  [[maybe_unused]] const bool parallel = int64_t(bx) * by * bz >= 64;
#pragma omp parallel for schedule(static) if (parallel)
  for (int32_t z = 0; z < bz; ++z) {
    int32_t z0, z1;
    range(z, tz, z0, z1);
    for (int32_t y = 0; y < by; ++y) {
      int32_t y0, y1;
      range(y, ty, y0, y1);
      for (int32_t x = 0; x < bx; ++x) {
        int32_t x0, x1;
        range(x, tx, x0, x1);
        float m = 0.0f;
        for (int32_t k = z0; k <= z1; ++k)
          for (int32_t j = y0; j <= y1; ++j)
            for (int32_t i = x0; i <= x1; ++i) {
              const float v = tiles[size_t(i) + size_t(tx) * (size_t(j) + size_t(ty) * size_t(k))];
              if (!(v <= m)) m = std::isnan(m) ? m : v;
            }
        out[size_t(x) + size_t(bx) * (size_t(y) + size_t(by) * size_t(z))] = m;
      }
    }
  }
  return out;
}

}  // namespace

OccupancyBricks MakeOccupancyBricks(const RenderVolume& v, const ShadingContext& ctx) {
  OccupancyBricks b;
  if (v.nx < 1 || v.ny < 1 || v.nz < 1) return b;
  b.bx = (v.nx + kBrickCells - 1) / kBrickCells;
  b.by = (v.ny + kBrickCells - 1) / kBrickCells;
  b.bz = (v.nz + kBrickCells - 1) / kBrickCells;
  const int32_t tx = (v.nx + kTile - 1) / kTile, ty = (v.ny + kTile - 1) / kTile, tz = (v.nz + kTile - 1) / kTile;

  // The detail noise moves a march sample by at most 0.75 * amount * 1.6 / frequency cells (two
  // octaves of noise in [-0.5, 0.5] at amplitudes 1 and 0.5) and scales its density by at most
  // 1 + 0.45 * 0.75 * amount; the trilinear stencil reaches one cell further.
  float reach = 0.0f, densityGain = 1.0f;
  if (ctx.detailAmount > 0.0f) {
    reach = 0.75f * ctx.detailAmount * 1.6f / ctx.detailFreq;
    densityGain = 1.0f + 0.45f * 0.75f * ctx.detailAmount;
  }
  const float haloF = 1.0f + std::ceil(reach);
  const int32_t halo = haloF < 4096.0f ? int32_t(haloF) : 4096;

  const std::vector<float> dTiles = TileMaxima(v.density, v.nx, v.ny, v.nz, tx, ty, tz);
  const std::vector<float> tTiles = TileMaxima(v.temperature, v.nx, v.ny, v.nz, tx, ty, tz);
  const std::vector<float> dMarch = BrickMaxima(dTiles, tx, ty, tz, b.bx, b.by, b.bz, halo);
  const std::vector<float> tMarch = BrickMaxima(tTiles, tx, ty, tz, b.bx, b.by, b.bz, halo);
  const std::vector<float> dLight = BrickMaxima(dTiles, tx, ty, tz, b.bx, b.by, b.bz, 1);

  // Fire adds light and absorbs once its strength W = (K / 1500)^6 - 0.08 is above 0, from
  // K = 984.6 kelvin (a scaled temperature of 0.6846) up; 0.68 leaves room for rounding.
  const float glowFrom = 0.68f;
  const float tempScale = std::fabs(ctx.fireTempScale);
  const size_t count = dMarch.size();
  b.march.resize(count);
  b.light.resize(count);
  const float inf = std::numeric_limits<float>::infinity();
  for (size_t i = 0; i < count; ++i) {
    const float hot = tMarch[i] * tempScale;
    const float tau = dMarch[i] * densityGain * ctx.densityScale * v.cellSize * 0.5f;
    b.march[i] = (hot > glowFrom || std::isnan(hot) || !(tau < inf)) ? inf : tau;
    const float step = dLight[i] * ctx.densityScale * v.cellSize;
    b.light[i] = step < inf ? step : inf;
  }

  // The march reads the shadow grid only where its sample has density, i.e. in bricks whose march
  // depth is above zero, up to `halo` cells around them.
  const int32_t r = (halo + kBrickCells - 1) / kBrickCells;
  b.shadow.assign(count, 0);
  for (int32_t z = 0; z < b.bz; ++z)
    for (int32_t y = 0; y < b.by; ++y)
      for (int32_t x = 0; x < b.bx; ++x) {
        if (!(b.march[size_t(x) + size_t(b.bx) * (size_t(y) + size_t(b.by) * size_t(z))] > 0.0f)) continue;
        for (int32_t k = std::max(0, z - r); k <= std::min(b.bz - 1, z + r); ++k)
          for (int32_t j = std::max(0, y - r); j <= std::min(b.by - 1, y + r); ++j)
            for (int32_t i = std::max(0, x - r); i <= std::min(b.bx - 1, x + r); ++i)
              b.shadow[size_t(i) + size_t(b.bx) * (size_t(j) + size_t(b.by) * size_t(k))] = 1;
      }

  // A march sample of a brick sits in it or within half a step past its far face, then moves by
  // the noise; its glow lookup reads the quarter-resolution cells around a quarter of that point.
  b.glow.assign(count, 1);
  const GlowGrid& g = ctx.glowGrid;
  if (std::isfinite(ctx.glowK) && g.gx > 0 && g.r.size() == size_t(g.gx) * size_t(g.gy) * size_t(g.gz)) {
    std::vector<uint8_t> lit(g.r.size());
    for (size_t i = 0; i < lit.size(); ++i) lit[i] = !(g.r[i] == 0.0f && g.g[i] == 0.0f && g.b[i] == 0.0f);
    const float margin = 1.0f + std::ceil(reach);
    auto range = [&](int32_t brick, int32_t cells, int32_t& lo, int32_t& hi) {
      const float from = (float(brick * kBrickCells) - margin) * 0.25f - 1.0f;
      const float to = (float(brick * kBrickCells + kBrickCells) + margin) * 0.25f + 1.0f;
      lo = from <= 0.0f ? 0 : int32_t(std::min(from, float(cells - 1)));
      hi = to >= float(cells - 1) ? cells - 1 : int32_t(std::max(to, 0.0f));
    };
    for (int32_t z = 0; z < b.bz; ++z)
      for (int32_t y = 0; y < b.by; ++y)
        for (int32_t x = 0; x < b.bx; ++x) {
          int32_t x0, x1, y0, y1, z0, z1;
          range(x, g.gx, x0, x1), range(y, g.gy, y0, y1), range(z, g.gz, z0, z1);
          bool any = false;
          for (int32_t k = z0; k <= z1 && !any; ++k)
            for (int32_t j = y0; j <= y1 && !any; ++j)
              for (int32_t i = x0; i <= x1 && !any; ++i)
                any = lit[size_t(i) + size_t(g.gx) * (size_t(j) + size_t(g.gy) * size_t(k))] != 0;
          b.glow[size_t(x) + size_t(b.bx) * (size_t(y) + size_t(b.by) * size_t(z))] = any ? 1 : 0;
        }
  }
  return b;
}

}  // namespace tf
