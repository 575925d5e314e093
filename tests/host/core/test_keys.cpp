// Keyframe tracks and quaternions: interpolation between and outside keys, edits with and without
// animate, and rotations that agree with the matrices of host/core/math.h.
#include <gtest/gtest.h>

#include <climits>
#include <numbers>

#include "host/core/keys.h"

namespace host {
namespace {

constexpr float kPi = std::numbers::pi_v<float>;

void ExpectSameMatrix(const Matrix3& a, const Matrix3& b, float eps = 1e-5f) {
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(a.GetRow(r)[c], b.GetRow(r)[c], eps) << "row " << r << " col " << c;
}

// The angle of a rotation about z, from where it takes the x axis.
float AngleAboutZ(const Quat& q) {
  const Point3 x = q.Rotate({1, 0, 0});
  return std::atan2(x.y, x.x);
}

TEST(Track, HoldsTheEndKeysOutsideAndInterpolatesBetween) {
  FloatTrack track(7.0f);
  EXPECT_EQ(track.Eval(-1000), 7.0f);  // no keys: the constant everywhere
  track.SetKey(480, 20.0f);
  track.SetKey(160, 10.0f);  // inserted out of order
  track.SetKey(800, 0.0f);
  EXPECT_EQ(track.Eval(-5000), 10.0f);  // before the first key
  EXPECT_EQ(track.Eval(160), 10.0f);
  EXPECT_FLOAT_EQ(track.Eval(240), 12.5f);  // a quarter of the way from 10 to 20
  EXPECT_EQ(track.Eval(480), 20.0f);
  EXPECT_FLOAT_EQ(track.Eval(720), 5.0f);  // three quarters of the way down to 0
  EXPECT_EQ(track.Eval(100000), 0.0f);  // after the last key
  track.SetKey(480, 40.0f);  // same time: replaces
  EXPECT_EQ(track.Keys().size(), 3u);
  EXPECT_FLOAT_EQ(track.Eval(320), 25.0f);
  EXPECT_TRUE(track.RemoveKey(480));
  EXPECT_FALSE(track.RemoveKey(480));
  EXPECT_FLOAT_EQ(track.Eval(480), 5.0f);
}

TEST(Track, KeysAtTheEndsOfTheTickRangeDoNotOverflow) {
  FloatTrack track;
  track.SetKey(INT32_MIN, -1.0f);
  track.SetKey(INT32_MAX, 1.0f);
  EXPECT_NEAR(track.Eval(0), 0.0f, 1e-6f);
  EXPECT_NEAR(track.Eval(INT32_MAX / 2), 0.5f, 1e-6f);
}

TEST(Track, EditsWithAndWithoutAnimate) {
  Point3Track track;
  track.Set(0, {1, 2, 3}, false);  // no keys: the constant changes
  EXPECT_FALSE(track.IsAnimated());
  EXPECT_EQ(track.Eval(999), Point3(1, 2, 3));

  track.Set(0, {0, 0, 0}, true);
  track.Set(100, {10, 0, 0}, true);
  ASSERT_EQ(track.Keys().size(), 2u);
  EXPECT_EQ(track.Eval(50), Point3(5, 0, 0));

  // Outside animate, an animated value moves as a whole: the key at 0 follows the edit at 50.
  track.Set(50, {5, 1, 0}, false);
  ASSERT_EQ(track.Keys().size(), 2u);
  EXPECT_EQ(track.Keys()[0].value, Point3(0, 1, 0));
  EXPECT_EQ(track.Keys()[1].value, Point3(10, 1, 0));
}

TEST(Quat, EulerAnglesMatchTheMatrixRotationsAppliedXFirst) {
  const float rx = 0.3f, ry = -1.1f, rz = 2.0f;
  ExpectSameMatrix(Quat::EulerXYZ(rx, ry, rz).ToMatrix(),
                   Matrix3::RotateX(rx) * Matrix3::RotateY(ry) * Matrix3::RotateZ(rz));
  // a * b turns by b first, as the matrix product b * a does in the row-vector convention.
  const Quat a = Quat::AxisAngle({0, 0, 1}, kPi / 2), b = Quat::AxisAngle({1, 0, 0}, kPi / 2);
  ExpectSameMatrix((a * b).ToMatrix(), b.ToMatrix() * a.ToMatrix());
  ExpectSameMatrix(Quat::AxisAngle({0, 0, 0}, 1.0f).ToMatrix(), Matrix3());  // no axis: no rotation
}

TEST(Quat, SlerpTurnsAtConstantSpeedAlongTheShorterArc) {
  const Quat from = Quat::AxisAngle({0, 0, 1}, 0.0f), to = Quat::AxisAngle({0, 0, 1}, 2 * kPi / 3);
  EXPECT_NEAR(AngleAboutZ(Slerp(from, to, 0.25f)), kPi / 6, 1e-5f);
  EXPECT_NEAR(AngleAboutZ(Slerp(from, to, 0.5f)), kPi / 3, 1e-5f);
  // From +10 to -10 degrees (350): halfway is 0, not 180.
  const Quat p10 = Quat::AxisAngle({0, 0, 1}, kPi / 18), m10 = Quat::AxisAngle({0, 0, 1}, 35 * kPi / 18);
  EXPECT_NEAR(AngleAboutZ(Slerp(p10, m10, 0.5f)), 0.0f, 1e-5f);
  // Nearly equal rotations still give a unit quaternion between them.
  const Quat near = Quat::AxisAngle({0, 0, 1}, 1e-4f);
  EXPECT_NEAR(Slerp(from, near, 0.5f).Dot(Slerp(from, near, 0.5f)), 1.0f, 1e-6f);
}

TEST(Quat, RotationTrackMovedOutsideAnimateTurnsEveryKey) {
  QuatTrack track;
  track.SetKey(0, Quat::AxisAngle({0, 0, 1}, 0.0f));
  track.SetKey(100, Quat::AxisAngle({0, 0, 1}, kPi / 2));
  // At time 50 the track is at 45 degrees; setting 75 there adds 30 degrees to every key.
  track.Set(50, Quat::AxisAngle({0, 0, 1}, 5 * kPi / 12), false);
  EXPECT_NEAR(AngleAboutZ(track.Eval(0)), kPi / 6, 1e-5f);
  EXPECT_NEAR(AngleAboutZ(track.Eval(100)), 2 * kPi / 3, 1e-5f);
}

}  // namespace
}  // namespace host
