// Joining ordered per-piece results into one vector, moving the elements.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace corvane {

// The elements of parts[0], then parts[1], and so on, moved into one vector
// allocated once at its final length.
template <class R>
std::vector<R> concatenate(std::vector<std::vector<R>>&& parts) {
  std::size_t total = 0;
  for (const auto& part : parts) total += part.size();
  std::vector<R> out;
  out.reserve(total);
  for (auto& part : parts)
    for (auto& r : part) out.push_back(std::move(r));
  return out;
}

}  // namespace corvane
