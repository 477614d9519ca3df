#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmuro::sim {

// Small ordered maps kept as vectors of (name, value) pairs: attributes, failures, results.

// Sets the value under key, replacing an earlier one.
template <typename T>
void putPair(std::vector<std::pair<std::string, T>>& pairs, std::string key, T value) {
  for (auto& [name, existing] : pairs) {
    if (name == key) {
      existing = std::move(value);
      return;
    }
  }
  pairs.emplace_back(std::move(key), std::move(value));
}

// The value under key, or null.
template <typename T>
const T* findPair(const std::vector<std::pair<std::string, T>>& pairs, std::string_view key) {
  for (const auto& [name, value] : pairs) {
    if (name == key) return &value;
  }
  return nullptr;
}

}  // namespace velmuro::sim
