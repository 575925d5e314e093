// Matrices in the row-vector convention and time conversions, against hand-computed values.
#include <gtest/gtest.h>

#include <numbers>

#include "host/core/math.h"

namespace host {
namespace {

void ExpectNear(const Point3& a, const Point3& b, float eps = 1e-5f) {
  EXPECT_NEAR(a.x, b.x, eps);
  EXPECT_NEAR(a.y, b.y, eps);
  EXPECT_NEAR(a.z, b.z, eps);
}

TEST(Matrix3, RowVectorOrderAppliesTheLeftMatrixFirst) {
  const float quarter = float(std::numbers::pi / 2);
  // Rotate a quarter turn about z, then move by (10, 0, 0): (1, 0, 0) -> (0, 1, 0) -> (10, 1, 0).
  const Matrix3 m = Matrix3::RotateZ(quarter) * Matrix3::Translation({10, 0, 0});
  ExpectNear(Point3(1, 0, 0) * m, {10, 1, 0});
  // The other order moves first: (11, 0, 0), then turns it to (0, 11, 0).
  ExpectNear(Point3(1, 0, 0) * (Matrix3::Translation({10, 0, 0}) * Matrix3::RotateZ(quarter)), {0, 11, 0});
  ExpectNear(Point3(0, 1, 0) * Matrix3::RotateX(quarter), {0, 0, 1});
  ExpectNear(Point3(0, 0, 1) * Matrix3::RotateY(quarter), {1, 0, 0});
  // Directions ignore the translation.
  ExpectNear(m.VectorTransform({1, 0, 0}), {0, 1, 0});
}

TEST(Matrix3, InverseUndoesScaleRotationAndTranslation) {
  const Matrix3 m = Matrix3::Scale({2, 3, 4}) * Matrix3::RotateX(0.3f) * Matrix3::RotateZ(-1.1f) *
                    Matrix3::Translation({5, -6, 7});
  const Matrix3 inv = m.Inverse();
  EXPECT_TRUE((m * inv).IsIdentity(1e-5f));
  EXPECT_TRUE((inv * m).IsIdentity(1e-5f));
  ExpectNear(Point3(1, 2, 3) * m * inv, {1, 2, 3}, 1e-4f);
  // Hand-computed: scale by 2 and move by (1, 2, 3); the inverse halves and moves by -(0.5, 1, 1.5).
  const Matrix3 simple = Matrix3::Scale({2, 2, 2}) * Matrix3::Translation({1, 2, 3});
  EXPECT_EQ(simple.Inverse(), Matrix3({0.5f, 0, 0}, {0, 0.5f, 0}, {0, 0, 0.5f}, {-0.5f, -1, -1.5f}));
  // A singular matrix has no inverse: the identity stands in.
  EXPECT_TRUE(Matrix3::Scale({1, 0, 1}).Inverse().IsIdentity());
}

TEST(Matrix3, RotationPartHasUnitRowsAndNoTranslation) {
  const Matrix3 m = Matrix3::Scale({2, 3, 4}) * Matrix3::RotateY(0.7f) * Matrix3::Translation({1, 1, 1});
  const Matrix3 r = m.RotationPart();
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(Length(r.GetRow(i)), 1.0f, 1e-6f);
  EXPECT_EQ(r.GetTrans(), Point3(0, 0, 0));
  ExpectNear(r.VectorTransform({0, 0, 1}), Matrix3::RotateY(0.7f).VectorTransform({0, 0, 1}));
}

TEST(TimeSettings, TicksAndFrames) {
  TimeSettings t;
  EXPECT_EQ(t.TicksPerFrame(), 160);
  EXPECT_EQ(t.FrameToTicks(-3), -480);
  EXPECT_EQ(t.TicksToFrame(319), 1);
  EXPECT_EQ(t.TicksToFrame(-1), -1);
  t.frameRate = 25;
  EXPECT_EQ(t.TicksPerFrame(), 192);
  t.frameRate = 0;  // a broken setting falls back to 30
  EXPECT_EQ(t.TicksPerFrame(), 160);
}

}  // namespace
}  // namespace host
