// Particle systems: a seeded emitter and particles read from one file per frame. Both answer
// through ParticleObject (host/scene/objects.h) in the object space of their node.
//
// The emitter is a pure function of time: particle n is born at emitStart + n / birthRate seconds
// (births stop at emitStop) and lives `life` seconds; its direction, within a cone of half-angle
// `spread` around +z, and its start offset on the emitter square come from a hash of (seed, n).
// Position and velocity follow p0 + v0 a + g a^2 / 2 at age a, with gravity pulling along -z. So the
// same seed gives the same particles at a time whatever times were asked before, and scrubbing
// needs no replay.
//
// Particle files: the `file` parameter names one file per frame, a run of '#' standing for the
// frame number padded with zeros to the run's length ("parts_####.txt" is parts_0012.txt at frame
// 12, parts_-003.txt at frame -3 with "###"). Each file is text: blank lines and lines starting with
// '#' are skipped, every other line holds x y z, optionally followed by vx vy vz (scene units, and
// scene units per second). A frame whose file is missing has no particles; a line that does not
// read fails the update with the file and line named.
#pragma once

#include "host/scene/objects.h"

namespace host {

inline constexpr ClassId kParticleEmitterClassId{0x7a310101, 0x1c5e0001};
inline constexpr ClassId kParticleFileClassId{0x7a310102, 0x1c5e0001};

enum ParticleEmitterParam : int {
  kEmitterSeed = 0,       // int
  kEmitterBirthRate = 1,  // particles per second
  kEmitterSpeed = 2,      // world, scene units per second
  kEmitterSpread = 3,     // degrees, half-angle of the cone around +z
  kEmitterLife = 4,       // seconds
  kEmitterGravity = 5,    // scene units per second squared, along -z
  kEmitterStart = 6,      // frame of the first birth
  kEmitterStop = 7,       // frame at which births stop
  kEmitterSize = 8,       // world, side of the square births start on
};
enum ParticleFileParam : int { kParticleFile = 0 };

const ClassDesc& ParticleEmitterClassDesc();  // "ParticleEmitter"
const ClassDesc& ParticleFileClassDesc();     // "ParticleFile"

// The file of a frame for a '#' pattern (the pattern itself when it has no '#').
std::string ParticleFileForFrame(const std::string& pattern, int frame);

}  // namespace host
