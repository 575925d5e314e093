#include "host/objects/particles.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <numbers>

#include "host/core/status.h"
#include "host/objects/builtin_class.h"
#include "host/scene/scene.h"

namespace host {

namespace {

// Enough for any scene a user previews; a file claiming more is treated as broken.
constexpr size_t kMaxFileParticles = 10'000'000;

int TicksPerFrameOf(const Object& o) { return o.GetScene() ? o.GetScene()->time.TicksPerFrame() : TimeSettings().TicksPerFrame(); }

uint64_t SplitMix(uint64_t& s) {
  uint64_t z = (s += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Uniform in [0, 1) from the top 24 bits.
float Unit(uint64_t& s) { return float(SplitMix(s) >> 40) * (1.0f / 16777216.0f); }

class ParticleSet : public Object, public ParticleObject {
 public:
  using Object::Object;
  ParticleObject* GetParticleInterface() override { return this; }
  int Count() const override { return int(pos_.size()); }
  Point3 Position(int i) const override { return i >= 0 && size_t(i) < pos_.size() ? pos_[size_t(i)] : Point3(); }
  Point3 Velocity(int i) const override { return i >= 0 && size_t(i) < vel_.size() ? vel_[size_t(i)] : Point3(); }

 protected:
  std::vector<Point3> pos_, vel_;  // velocities per tick
};

// ---- Emitter ----

class EmitterObject final : public ParticleSet {
 public:
  using ParticleSet::ParticleSet;
  bool Update(TimeValue t, std::string*) override {
    pos_.clear();
    vel_.clear();
    const ParamBlock& pb = *GetParamBlock(0);
    const double rate = pb.GetFloat(kEmitterBirthRate, t).value_or(0);
    const double life = double(pb.GetFloat(kEmitterLife, t).value_or(0)) * kTicksPerSecond;
    if (rate <= 0.0 || life <= 0.0) return true;
    const uint64_t seed = uint64_t(uint32_t(pb.GetInt(kEmitterSeed, t).value_or(0)));
    const float speed = pb.GetFloat(kEmitterSpeed, t).value_or(0);
    const double spread = double(pb.GetFloat(kEmitterSpread, t).value_or(0)) * std::numbers::pi / 180.0;
    const float gravity = pb.GetFloat(kEmitterGravity, t).value_or(0);
    const float size = pb.GetFloat(kEmitterSize, t).value_or(0);
    const int tpf = TicksPerFrameOf(*this);
    const double start = double(pb.GetInt(kEmitterStart, t).value_or(0)) * tpf;
    const double stop = double(pb.GetInt(kEmitterStop, t).value_or(0)) * tpf;
    const double gap = kTicksPerSecond / rate;  // ticks between births
    if (stop <= start || t < start) return true;

    // Born at start + n * gap, before stop, alive while age < life.
    const double lastBirth = std::min(double(t), stop - 1e-9);
    const int64_t hi = int64_t(std::floor((lastBirth - start) / gap));
    const int64_t lo = std::max<int64_t>(0, int64_t(std::floor((double(t) - life - start) / gap)) + 1);
    const float cosSpread = float(std::cos(spread));
    for (int64_t n = lo; n <= hi; ++n) {
      const double born = start + double(n) * gap;
      const double age = double(t) - born;
      if (age < 0.0 || age >= life) continue;
      uint64_t s = seed * 0xD1B54A32D192ED03ull ^ uint64_t(n);
      const float cosT = 1.0f - Unit(s) * (1.0f - cosSpread);
      const float sinT = std::sqrt(std::max(0.0f, 1.0f - cosT * cosT));
      const float phi = 2.0f * std::numbers::pi_v<float> * Unit(s);
      const Point3 dir(sinT * std::cos(phi), sinT * std::sin(phi), cosT);
      const Point3 p0((Unit(s) - 0.5f) * size, (Unit(s) - 0.5f) * size, 0.0f);
      const float a = float(age / kTicksPerSecond);  // seconds
      const Point3 g(0.0f, 0.0f, -gravity);
      pos_.push_back(p0 + dir * (speed * a) + g * (0.5f * a * a));
      vel_.push_back((dir * speed + g * a) / float(kTicksPerSecond));
    }
    return true;
  }
};

const ParamBlockDesc& EmitterBlock() {
  static const ParamBlockDesc d = SimpleBlockDesc({
      IntParam(kEmitterSeed, "seed", 12345, 0, 2147483647, 0, "Seed"),
      FloatParam(kEmitterBirthRate, "birthRate", 100, 0, 10000, false, 0, "Birth rate (per second)"),
      WorldParam(kEmitterSpeed, "speed", 10, 0, 1e6, false, 0, "Speed (units per second)"),
      FloatParam(kEmitterSpread, "spread", 15, 0, 180, false, 0, "Spread (degrees)"),
      FloatParam(kEmitterLife, "life", 2, 0.001, 100, false, 0, "Life (seconds)"),
      FloatParam(kEmitterGravity, "gravity", 0, -1e6, 1e6, false, 0, "Gravity (units per second squared)"),
      IntParam(kEmitterStart, "emitStart", 0, -100000, 100000, 0, "Emit start (frame)"),
      IntParam(kEmitterStop, "emitStop", 100, -100000, 100000, 0, "Emit stop (frame)"),
      WorldParam(kEmitterSize, "emitterSize", 0, 0, 1e6, false, 0, "Emitter size"),
  });
  return d;
}

// ---- Files ----

class FileParticlesObject final : public ParticleSet {
 public:
  using ParticleSet::ParticleSet;
  bool Update(TimeValue t, std::string* error) override {
    pos_.clear();
    vel_.clear();
    const std::string pattern = GetParamBlock(0)->GetString(kParticleFile, t).value_or("");
    if (pattern.empty()) return true;
    const int tpf = TicksPerFrameOf(*this);
    const int frame = t >= 0 ? t / tpf : -((-t + tpf - 1) / tpf);
    const std::string name = ParticleFileForFrame(pattern, frame);
    const std::filesystem::path path = GetScene() ? GetScene()->ResolvePath(name) : std::filesystem::path(name);
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return true;  // no particles on this frame
    // A pipe or a device (/dev/zero) would block or never end.
    if (!std::filesystem::is_regular_file(path, ec)) return Fail(error, path.string() + ": not a regular file");
    std::ifstream in(path);
    if (!in) return Fail(error, path.string() + ": cannot be read");
    std::string line;
    size_t lineNo = 0;
    while (std::getline(in, line)) {
      ++lineNo;
      const char* c = line.c_str();
      while (*c == ' ' || *c == '\t' || *c == '\r') ++c;
      if (*c == '\0' || *c == '#') continue;
      double v[7];
      int n = 0;
      for (; n < 7; ++n) {
        while (*c == ' ' || *c == '\t' || *c == '\r') ++c;
        if (*c == '\0') break;
        char* end = nullptr;
        errno = 0;
        v[n] = std::strtod(c, &end);
        if (end == c || errno == ERANGE || !std::isfinite(v[n])) n = 7;  // not a usable number
        c = end;
      }
      if (n != 3 && n != 6)
        return Fail(error, path.string() + ": line " + std::to_string(lineNo) +
                               ": expected x y z, optionally followed by vx vy vz");
      if (pos_.size() >= kMaxFileParticles)
        return Fail(error, path.string() + ": more than " + std::to_string(kMaxFileParticles) + " particles");
      pos_.push_back({float(v[0]), float(v[1]), float(v[2])});
      vel_.push_back(n == 6 ? Point3(float(v[3]), float(v[4]), float(v[5])) / float(kTicksPerSecond) : Point3());
    }
    return true;
  }

 private:
  bool Fail(std::string* error, std::string text) {
    pos_.clear();
    vel_.clear();
    return host::Fail(error, std::move(text));
  }
};

const ParamBlockDesc& FileBlock() {
  static const ParamBlockDesc d = SimpleBlockDesc({FilenameParam(kParticleFile, "file", 0, "Particle files (# = frame digits)")});
  return d;
}

}  // namespace

std::string ParticleFileForFrame(const std::string& pattern, int frame) {
  const size_t first = pattern.rfind('#');
  if (first == std::string::npos) return pattern;
  size_t begin = first;
  while (begin > 0 && pattern[begin - 1] == '#') --begin;
  const size_t width = first - begin + 1;
  std::string digits = std::to_string(frame < 0 ? -(long long)frame : (long long)frame);
  if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
  if (frame < 0) digits.insert(0, 1, '-');
  return pattern.substr(0, begin) + digits + pattern.substr(first + 1);
}

const ClassDesc& ParticleEmitterClassDesc() {
  static const BuiltinClassDesc<EmitterObject> d(kParticleEmitterClassId, kGeomObjectSuperClass, "ParticleEmitter",
                                                 "Particle Systems", EmitterBlock());
  return d;
}

const ClassDesc& ParticleFileClassDesc() {
  static const BuiltinClassDesc<FileParticlesObject> d(kParticleFileClassId, kGeomObjectSuperClass, "ParticleFile",
                                                       "Particle Systems", FileBlock());
  return d;
}

}  // namespace host
