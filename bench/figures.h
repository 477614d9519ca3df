#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

namespace velmuro::bench {

// A duration in milliseconds.
inline double milliseconds(std::chrono::steady_clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

// The median of the values; NaN for none.
inline double median(std::vector<double> values) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace velmuro::bench
