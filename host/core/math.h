// Scene math of the host: points and affine matrices in the row-vector convention (a point is
// transformed as p * M, so A * B applies A first), and scene time in ticks.
#pragma once

#include <cmath>
#include <cstdint>

namespace host {

struct Point3 {
  float x = 0.0f, y = 0.0f, z = 0.0f;

  Point3() = default;
  constexpr Point3(float x_, float y_, float z_) : x(x_), y(y_), z(z_) {}
  Point3 operator+(const Point3& o) const { return {x + o.x, y + o.y, z + o.z}; }
  Point3 operator-(const Point3& o) const { return {x - o.x, y - o.y, z - o.z}; }
  Point3 operator-() const { return {-x, -y, -z}; }
  Point3 operator*(float s) const { return {x * s, y * s, z * s}; }
  Point3 operator/(float s) const { return {x / s, y / s, z / s}; }
  Point3& operator+=(const Point3& o) { return *this = *this + o; }
  Point3& operator-=(const Point3& o) { return *this = *this - o; }
  Point3& operator*=(float s) { return *this = *this * s; }
  float operator[](int i) const { return i == 0 ? x : i == 1 ? y : z; }
  float& operator[](int i) { return i == 0 ? x : i == 1 ? y : z; }
  friend bool operator==(const Point3&, const Point3&) = default;
};

inline Point3 operator*(float s, const Point3& p) { return p * s; }
inline float Dot(const Point3& a, const Point3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Point3 Cross(const Point3& a, const Point3& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline float Length(const Point3& p) { return std::sqrt(Dot(p, p)); }
// Unit vector along p, or p itself when it has no length.
inline Point3 Normalize(const Point3& p) {
  const float l = Length(p);
  return l > 0.0f ? p / l : p;
}

// Four rows of three: rows 0 to 2 are the images of the x, y and z axes, row 3 the translation.
class Matrix3 {
 public:
  Matrix3() { SetIdentity(); }
  Matrix3(const Point3& r0, const Point3& r1, const Point3& r2, const Point3& r3) : m{r0, r1, r2, r3} {}

  static Matrix3 Identity() { return Matrix3(); }
  static Matrix3 Translation(const Point3& t) { Matrix3 m; m.m[3] = t; return m; }
  static Matrix3 Scale(const Point3& s) { return Matrix3({s.x, 0, 0}, {0, s.y, 0}, {0, 0, s.z}, {}); }
  // Right-handed rotations by `radians` about one axis, as the row-vector convention applies them.
  static Matrix3 RotateX(float radians);
  static Matrix3 RotateY(float radians);
  static Matrix3 RotateZ(float radians);

  void SetIdentity() { m[0] = {1, 0, 0}; m[1] = {0, 1, 0}; m[2] = {0, 0, 1}; m[3] = {0, 0, 0}; }
  const Point3& GetRow(int i) const { return m[i]; }
  void SetRow(int i, const Point3& r) { m[i] = r; }
  Point3 GetTrans() const { return m[3]; }
  void SetTrans(const Point3& t) { m[3] = t; }

  // p * M: rotation, scale and translation.
  Point3 PointTransform(const Point3& p) const { return m[0] * p.x + m[1] * p.y + m[2] * p.z + m[3]; }
  // A direction: no translation.
  Point3 VectorTransform(const Point3& v) const { return m[0] * v.x + m[1] * v.y + m[2] * v.z; }

  // A * B applies A first, then B.
  Matrix3 operator*(const Matrix3& b) const;
  // The inverse affine map; a singular matrix gives the identity.
  Matrix3 Inverse() const;
  // The rotation alone: rows normalised, no translation.
  Matrix3 RotationPart() const;
  bool IsIdentity(float eps = 0.0f) const;
  friend bool operator==(const Matrix3&, const Matrix3&) = default;

 private:
  Point3 m[4];
};

inline Point3 operator*(const Point3& p, const Matrix3& m) { return m.PointTransform(p); }

// Scene time in ticks, 4800 per second.
using TimeValue = int32_t;
inline constexpr int kTicksPerSecond = 4800;

// The scene's time settings: frame rate, the time slider and the system unit scale (metres per
// scene unit).
struct TimeSettings {
  int frameRate = 30;
  TimeValue currentTime = 0;
  TimeValue animStart = 0;
  TimeValue animEnd = 100 * (kTicksPerSecond / 30);
  double metresPerUnit = 0.0254;  // one scene unit is an inch unless the scene says otherwise

  int TicksPerFrame() const { return frameRate > 0 ? kTicksPerSecond / frameRate : kTicksPerSecond / 30; }
  TimeValue FrameToTicks(int frame) const { return TimeValue(frame) * TicksPerFrame(); }
  int TicksToFrame(TimeValue t) const;  // rounds toward negative infinity
};

}  // namespace host
