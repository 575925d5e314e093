// cache/frame_capture.h: turning the solver's fields into a cache frame, and the flow displacement
// the exporters may apply to a captured frame afterwards.
//
// A frame stores only the box of cells holding something visible (smoke, heat, flame or dust
// above kCaptureThreshold), grown by one cell so that interpolation at its border fades to the
// empty outside, and every stored value is already rounded through half precision: the frame in
// memory is exactly what a later read of its cache file returns.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "domain/domain_grid.h"
#include "cache/cache_file.h"
#include "solver/fire_sim.h"

namespace tf {

class FireSim;

// A cell is visible when its density, temperature, flame or dust is strictly above this.
inline constexpr float kCaptureThreshold = 0.0001f;

// Reads the solver's fields back and builds the frame: density, temperature, flame and fuel
// always; cell-centre velocity when `withVelocity`; dust only when the dust field's total is above
// 0. The header gets the grid, both cell sizes, the frame number, the crop, the mask, the
// per-channel maxima and the statistics of the solver's last step.
//
// `grid` must be the grid `sim` was created with, or hold it as the box of cells that starts at
// `window` (an adaptive run's window): the frame is then stored against `grid`, its crop placed
// where the content lies in it, as if the solver had covered the whole grid. The bake passes the solver, grid and frame of
// its run, with `withVelocity` set when exportVelocity is on or flowDisplace is above 0; live mode
// passes it clear. False (and an empty frame) when the solver is not ready, the grid is not a
// valid one or the host arrays cannot be allocated.
bool CaptureFrame(FireSim& sim, const DomainGrid& grid, CacheFrame& frame, int32_t frameNumber, bool withVelocity,
                  const Int3& window = Int3{});

// The full-grid arrays of one capture, in channel order (kChannelDensity ... kChannelDust); an
// empty span is an absent channel.
using CaptureChannels = std::array<std::span<const float>, kCacheChannels>;

// Builds `frame` from full-grid arrays of nx * ny * nz floats (x fastest, then y, then z).
// Every given channel gets its mask bit. The crop is the box of cells where density, temperature,
// flame or dust is above `threshold` (fuel and velocity never widen it), grown by one cell on every
// side and clamped to the grid. Nothing visible leaves the crop at 0 and the channels empty while
// the mask bits stay set. Stored values are rounded through half precision; channelMax holds each
// channel's largest stored magnitude.
// False, with `frame` emptied, when a grid count is not positive, a given array does not hold
// exactly nx * ny * nz values or the crop cannot be allocated.
bool BuildCacheFrame(CacheFrame& frame, int32_t nx, int32_t ny, int32_t nz, float cellSizeM, float cellSizeScene,
                     int32_t frameNumber, const CaptureChannels& channels, float threshold = kCaptureThreshold);

// Moves fine detail of the density, temperature, flame and dust channels along the flow, for the
// exporters only (the cache file is written before this runs). Two layers of noise, each cycling
// over 0.6 seconds and half a period apart, push every sample point along the cell's velocity;
// the push scales with how strong the cell's vorticity is against the frame's mean, so calm
// regions stay put. `amount` is flowDisplace, `sizeCells` flowDisplaceSize, `timeSeconds` the
// frame's time. Fuel and velocity are left alone; results are never negative and every sample
// lies inside the crop.
// True when it ran: amount above 0, density and all three velocity channels present and every
// channel it reads holding exactly the crop's values. When it does not run (or its working copies
// cannot be allocated) the frame is unchanged.
bool ApplyFlowDisplacement(CacheFrame& frame, float amount, float sizeCells, float timeSeconds);

}  // namespace tf
