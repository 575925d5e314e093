// The PRT writer: one cache frame as a particle file (Extensible Particle Format, version 1).
//
//   [magic 8 B: C0 'P' 'R' 'T' 0D 0A 1A 0A][header length i32 = 56]
//   [signature 32 B "Extensible Particle Format"][version i32 = 1][particle count i64]
//   [reserved i32 = 4][channel count i32 = 5 | 6][channel definition length i32 = 44]
//   [channel definitions, 44 B each: name 32 B, type i32 = 4 (float32), arity i32, offset i32]
//   [zlib stream of all particle records: stored deflate blocks]
//
// Each visible cell becomes `particlesPerCell` particles of little-endian floats: Position (3,
// domain space, scene units), Density (1, cell density / particles per cell), Temperature (1,
// kelvin), Emission (3, fire colour times strength), Color (3, the smoke colour) and, when the
// frame holds velocity, Velocity (3). Jitter inside a cell is seeded from the frame number, so
// a frame always gives the same file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "domain/domain_grid.h"
#include "render/render.h"
#include "cache/cache_file.h"

namespace tf {

// The whole file in memory. False with a message when the frame's channels do not match its crop,
// a particle's position is not a finite number (a damaged cell size or origin) or the particles do
// not fit in memory.
bool EncodePrtFrame(const CacheFrame& frame, const DomainGrid& grid, int32_t particlesPerCell,
                    const RenderSettings& settings, std::vector<uint8_t>& file, std::string* error);

// Writes that file to `path` with one write. On failure `error` says why ("cannot create <path>"
// or "write failed (disk full?)" for a full disk or quota, "write failed: <cause>" otherwise) and no partial file is left under the name. Fewer than one
// particle per cell counts as one.
bool WritePrtFrame(const CacheFrame& frame, const DomainGrid& grid, const std::filesystem::path& path,
                   int32_t particlesPerCell, const RenderSettings& settings, std::string* error);

}  // namespace tf
