// cache/half.h: IEEE 754 half precision, the storage type of cache channels.
//
// float -> half rounds to nearest, ties to even. NaN becomes the quiet NaN 0x7E00 with its sign;
// infinities and anything that rounds beyond 65504 become infinity; anything that rounds below
// 2^-24 becomes a zero of the same sign; subnormal halves cover the range in between.
// half -> float is exact for every one of the 65536 codes (subnormals, infinities, NaN payloads).
//
// Frame capture stores RoundToHalf(v) in memory, so a frame written and read back is identical.
#pragma once

#include <bit>
#include <cstdint>

namespace tf {

constexpr uint16_t FloatToHalf(float value) {
  const uint32_t bits = std::bit_cast<uint32_t>(value);
  const uint16_t sign = static_cast<uint16_t>((bits >> 16) & 0x8000u);
  const uint32_t mag = bits & 0x7FFFFFFFu;

  if (mag > 0x7F800000u) return static_cast<uint16_t>(sign | 0x7E00u);  // NaN
  // 65520 (0x477FF000) is the tie between 65504 and 65536; the even side is infinity.
  if (mag >= 0x477FF000u) return static_cast<uint16_t>(sign | 0x7C00u);

  if (mag >= 0x38800000u) {  // a normal half: 2^-14 and above
    const uint32_t exponent = (mag >> 23) - 112u;  // rebias 127 -> 15
    uint32_t half = (exponent << 10) | ((mag >> 13) & 0x3FFu);
    const uint32_t rest = mag & 0x1FFFu;
    // A carry out of the mantissa steps into the next binade, which is the right result.
    if (rest > 0x1000u || (rest == 0x1000u && (half & 1u))) ++half;
    return static_cast<uint16_t>(sign | half);
  }

  // 2^-25 and below is at most the tie between 0 and 2^-24; the even side is zero.
  if (mag <= 0x33000000u) return sign;

  // A subnormal half counts units of 2^-24: mantissa * 2^(e - 126) with the hidden bit restored.
  const uint32_t mantissa = (mag & 0x7FFFFFu) | 0x800000u;
  const uint32_t shift = 126u - (mag >> 23);  // 14..24 in this range
  uint32_t half = mantissa >> shift;
  const uint32_t rest = mantissa & ((1u << shift) - 1u);
  const uint32_t halfway = 1u << (shift - 1u);
  if (rest > halfway || (rest == halfway && (half & 1u))) ++half;  // may reach 0x400, the least normal
  return static_cast<uint16_t>(sign | half);
}

constexpr float HalfToFloat(uint16_t half) {
  const uint32_t sign = static_cast<uint32_t>(half & 0x8000u) << 16;
  const uint32_t exponent = (half >> 10) & 0x1Fu;
  const uint32_t mantissa = half & 0x3FFu;

  if (exponent == 0x1Fu) return std::bit_cast<float>(sign | 0x7F800000u | (mantissa << 13));
  if (exponent != 0) return std::bit_cast<float>(sign | ((exponent + 112u) << 23) | (mantissa << 13));
  if (mantissa == 0) return std::bit_cast<float>(sign);
  // Subnormal: mantissa * 2^-24 is exact in float; put the sign on afterwards.
  const float magnitude = static_cast<float>(mantissa) * 0x1p-24f;
  return std::bit_cast<float>(sign | std::bit_cast<uint32_t>(magnitude));
}

// The value a cache file stores for `value`, widened back to float.
constexpr float RoundToHalf(float value) { return HalfToFloat(FloatToHalf(value)); }

}  // namespace tf
