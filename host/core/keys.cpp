#include "host/core/keys.h"

#include <cmath>

namespace host {

Quat Quat::AxisAngle(const Point3& axis, float radians) {
  const Point3 a = Normalize(axis);
  if (Length(a) == 0.0f) return {};
  const float s = std::sin(radians * 0.5f);
  return {a.x * s, a.y * s, a.z * s, std::cos(radians * 0.5f)};
}

Quat Quat::EulerXYZ(float rx, float ry, float rz) {
  // x is applied first, so it stands rightmost in the product.
  return (AxisAngle({0, 0, 1}, rz) * AxisAngle({0, 1, 0}, ry) * AxisAngle({1, 0, 0}, rx)).Normalized();
}

Quat Quat::operator*(const Quat& b) const {
  return {w * b.x + x * b.w + y * b.z - z * b.y, w * b.y - x * b.z + y * b.w + z * b.x,
          w * b.z + x * b.y - y * b.x + z * b.w, w * b.w - x * b.x - y * b.y - z * b.z};
}

Quat Quat::Normalized() const {
  const float l = std::sqrt(Dot(*this));
  if (!(l > 0.0f) || !std::isfinite(l)) return {};
  return {x / l, y / l, z / l, w / l};
}

Matrix3 Quat::ToMatrix() const {
  const Quat q = Normalized();
  const float xx = q.x * q.x, yy = q.y * q.y, zz = q.z * q.z;
  const float xy = q.x * q.y, xz = q.x * q.z, yz = q.y * q.z;
  const float wx = q.w * q.x, wy = q.w * q.y, wz = q.w * q.z;
  // Row i is the image of axis i, that is column i of the usual column-vector rotation matrix.
  return Matrix3({1 - 2 * (yy + zz), 2 * (xy + wz), 2 * (xz - wy)},
                 {2 * (xy - wz), 1 - 2 * (xx + zz), 2 * (yz + wx)},
                 {2 * (xz + wy), 2 * (yz - wx), 1 - 2 * (xx + yy)}, {});
}

Quat Slerp(const Quat& a, Quat b, float u) {
  float d = a.Dot(b);
  if (d < 0.0f) {  // q and -q are the same rotation: take the nearer one
    b = {-b.x, -b.y, -b.z, -b.w};
    d = -d;
  }
  float wa = 1.0f - u, wb = u;
  if (d < 0.9995f) {  // close rotations blend linearly; sin(theta) would lose precision there
    const float theta = std::acos(std::min(d, 1.0f));
    const float s = std::sin(theta);
    wa = std::sin((1.0f - u) * theta) / s;
    wb = std::sin(u * theta) / s;
  }
  return Quat(a.x * wa + b.x * wb, a.y * wa + b.y * wb, a.z * wa + b.z * wb, a.w * wa + b.w * wb)
      .Normalized();
}

}  // namespace host
