// Keyframed values: rotations as quaternions and one track type for every animated value of the
// host (node position, rotation and scale, animatable parameters, primitive sizes).
//
// A track holds a constant and a list of keys sorted by time. With no keys the constant is the
// value at every time; with keys, times before the first key take the first key's value, times after
// the last take the last's, and times in between interpolate the two neighbours linearly (rotations
// by spherical interpolation along the shorter arc, so a turn between two keys never goes the long
// way round and keeps a constant angular speed).
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "host/core/math.h"

namespace host {

// A rotation as a unit quaternion. It rotates in the right-handed sense, as Matrix3::RotateX/Y/Z
// do; the product a * b rotates by b first, then by a.
struct Quat {
  float x = 0.0f, y = 0.0f, z = 0.0f, w = 1.0f;

  Quat() = default;
  constexpr Quat(float x_, float y_, float z_, float w_) : x(x_), y(y_), z(z_), w(w_) {}
  static Quat Identity() { return {}; }
  // `radians` about `axis` (normalised here; a zero axis gives the identity).
  static Quat AxisAngle(const Point3& axis, float radians);
  // Euler angles in radians applied about x first, then y, then z: the same rotation as
  // Matrix3::RotateX(rx) * RotateY(ry) * RotateZ(rz).
  static Quat EulerXYZ(float rx, float ry, float rz);

  Quat operator*(const Quat& b) const;
  Quat Conjugate() const { return {-x, -y, -z, w}; }
  float Dot(const Quat& b) const { return x * b.x + y * b.y + z * b.z + w * b.w; }
  // Unit length; a zero quaternion becomes the identity.
  Quat Normalized() const;
  // The rotation as a matrix in the row-vector convention (rows are the rotated axes).
  Matrix3 ToMatrix() const;
  Point3 Rotate(const Point3& v) const { return ToMatrix().VectorTransform(v); }
  friend bool operator==(const Quat&, const Quat&) = default;
};

// Spherical interpolation from a (u = 0) to b (u = 1) along the shorter arc.
Quat Slerp(const Quat& a, Quat b, float u);

// How a track blends, offsets and tidies values of each type.
template <class T> struct TrackTraits;

template <> struct TrackTraits<float> {
  static float Lerp(float a, float b, double u) { return float(a + (double(b) - a) * u); }
  // Moving the curve so that `from` becomes `to` moves every key by the same amount.
  static float Offset(float key, float from, float to) { return key + (to - from); }
  static float Tidy(float v) { return v; }
};

template <> struct TrackTraits<Point3> {
  static Point3 Lerp(const Point3& a, const Point3& b, double u) {
    return {TrackTraits<float>::Lerp(a.x, b.x, u), TrackTraits<float>::Lerp(a.y, b.y, u),
            TrackTraits<float>::Lerp(a.z, b.z, u)};
  }
  static Point3 Offset(const Point3& key, const Point3& from, const Point3& to) { return key + (to - from); }
  static Point3 Tidy(const Point3& v) { return v; }
};

template <> struct TrackTraits<Quat> {
  static Quat Lerp(const Quat& a, const Quat& b, double u) { return Slerp(a, b, float(u)); }
  // Every key turns by the rotation that takes `from` to `to`.
  static Quat Offset(const Quat& key, const Quat& from, const Quat& to) {
    return (to * from.Conjugate() * key).Normalized();
  }
  static Quat Tidy(const Quat& v) { return v.Normalized(); }
};

template <class T> struct Key {
  TimeValue t = 0;
  T value{};
  friend bool operator==(const Key&, const Key&) = default;
};

template <class T> class Track {
 public:
  using Traits = TrackTraits<T>;

  Track() = default;
  explicit Track(const T& constant) : constant_(Traits::Tidy(constant)) {}

  T Eval(TimeValue t) const {
    if (keys_.empty()) return constant_;
    if (t <= keys_.front().t) return keys_.front().value;
    if (t >= keys_.back().t) return keys_.back().value;
    const auto hi = std::upper_bound(keys_.begin(), keys_.end(), t,
                                     [](TimeValue v, const Key<T>& k) { return v < k.t; });
    const auto lo = hi - 1;
    if (lo->t == t) return lo->value;
    // In 64 bits: keys may lie at the far ends of the tick range.
    const double u = double(int64_t(t) - lo->t) / double(int64_t(hi->t) - lo->t);
    return Traits::Lerp(lo->value, hi->value, u);
  }

  // Adds a key at t, or replaces the value of the key already there.
  void SetKey(TimeValue t, const T& value) {
    const T v = Traits::Tidy(value);
    auto it = std::lower_bound(keys_.begin(), keys_.end(), t,
                               [](const Key<T>& k, TimeValue v2) { return k.t < v2; });
    if (it != keys_.end() && it->t == t) it->value = v;
    else keys_.insert(it, Key<T>{t, v});
  }
  bool RemoveKey(TimeValue t) {
    auto it = std::find_if(keys_.begin(), keys_.end(), [t](const Key<T>& k) { return k.t == t; });
    if (it == keys_.end()) return false;
    keys_.erase(it);
    return true;
  }
  void ClearKeys() { keys_.clear(); }

  // An edit at time t. With `animate` on it keys the value at t. With it off, a track without keys
  // takes the value as its constant, and a track with keys is moved as a whole so that it passes
  // through the value at t: the animation keeps its shape, as artists expect when they adjust an
  // animated setting outside animate mode.
  void Set(TimeValue t, const T& value, bool animate) {
    if (animate) {
      SetKey(t, value);
    } else if (keys_.empty()) {
      constant_ = Traits::Tidy(value);
    } else {
      const T from = Eval(t);
      for (Key<T>& k : keys_) k.value = Traits::Tidy(Traits::Offset(k.value, from, value));
    }
  }

  bool IsAnimated() const { return !keys_.empty(); }
  const T& Constant() const { return constant_; }
  void SetConstant(const T& v) { constant_ = Traits::Tidy(v); }
  const std::vector<Key<T>>& Keys() const { return keys_; }

  // Applies f to the constant and every key value (clamping to a range, for instance).
  template <class F> void Transform(F f) {
    constant_ = Traits::Tidy(f(constant_));
    for (Key<T>& k : keys_) k.value = Traits::Tidy(f(k.value));
  }

  friend bool operator==(const Track&, const Track&) = default;

 private:
  T constant_{};
  std::vector<Key<T>> keys_;
};

using FloatTrack = Track<float>;
using Point3Track = Track<Point3>;
using QuatTrack = Track<Quat>;

}  // namespace host
