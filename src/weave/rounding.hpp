#pragma once
#include <cmath>
#include <cstdint>
#include <limits>

namespace weave {

// Nearest integer, halves away from zero, saturated to int32; NaN gives 0.
inline int32_t round_to_i32(double value) {
  if (std::isnan(value)) return 0;
  const double rounded = std::round(value);
  if (rounded >= static_cast<double>(std::numeric_limits<int32_t>::max()))
    return std::numeric_limits<int32_t>::max();
  if (rounded <= static_cast<double>(std::numeric_limits<int32_t>::min()))
    return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(rounded);
}

// Saturating conversion of a grid extent to the signed 32-bit range used for positions.
inline int32_t extent_to_i32(uint64_t extent) {
  constexpr auto kMax = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());
  return static_cast<int32_t>(extent < kMax ? extent : kMax);
}

}  // namespace weave
