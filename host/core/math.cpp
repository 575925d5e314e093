#include "host/core/math.h"

#include <cmath>

namespace host {

Matrix3 Matrix3::RotateX(float a) {
  const float c = std::cos(a), s = std::sin(a);
  return Matrix3({1, 0, 0}, {0, c, s}, {0, -s, c}, {});
}

Matrix3 Matrix3::RotateY(float a) {
  const float c = std::cos(a), s = std::sin(a);
  return Matrix3({c, 0, -s}, {0, 1, 0}, {s, 0, c}, {});
}

Matrix3 Matrix3::RotateZ(float a) {
  const float c = std::cos(a), s = std::sin(a);
  return Matrix3({c, s, 0}, {-s, c, 0}, {0, 0, 1}, {});
}

Matrix3 Matrix3::operator*(const Matrix3& b) const {
  Matrix3 r;
  for (int i = 0; i < 3; ++i) r.m[i] = b.VectorTransform(m[i]);
  r.m[3] = b.PointTransform(m[3]);
  return r;
}

Matrix3 Matrix3::Inverse() const {
  // Inverse of the 3x3 part by cofactors (rows are the images of the axes), then the translation.
  const Point3 &a = m[0], &b = m[1], &c = m[2];
  const Point3 bc = Cross(b, c), ca = Cross(c, a), ab = Cross(a, b);
  const float det = Dot(a, bc);
  if (det == 0.0f || !std::isfinite(det)) return Matrix3();
  const float inv = 1.0f / det;
  // For row vectors p * R = q, p = q * R^-1 with R^-1 columns bc, ca, ab scaled by 1/det.
  Matrix3 r({bc.x * inv, ca.x * inv, ab.x * inv}, {bc.y * inv, ca.y * inv, ab.y * inv},
            {bc.z * inv, ca.z * inv, ab.z * inv}, {});
  r.m[3] = -r.VectorTransform(m[3]);
  return r;
}

Matrix3 Matrix3::RotationPart() const {
  return Matrix3(Normalize(m[0]), Normalize(m[1]), Normalize(m[2]), {});
}

bool Matrix3::IsIdentity(float eps) const {
  const Matrix3 id;
  for (int i = 0; i < 4; ++i)
    for (int k = 0; k < 3; ++k)
      if (std::fabs(m[i][k] - id.m[i][k]) > eps) return false;
  return true;
}

int TimeSettings::TicksToFrame(TimeValue t) const {
  const int tpf = TicksPerFrame();
  return t >= 0 ? t / tpf : -((-t + tpf - 1) / tpf);
}

}  // namespace host
