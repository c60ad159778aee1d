// The process-wide worker pool and the loop operations every kernel uses.
//
// PLACEHOLDER IMPLEMENTATION: runs everything on the calling thread. The real
// pool replaces the bodies below and keeps these signatures.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>
#include <vector>

namespace corvane::parallel {

// Number of workers of the pool; creates the pool on first use.
std::size_t num_threads();

// Calls body(i) exactly once for every i in [begin, end).
template <class Body>
void parallel_for(std::size_t begin, std::size_t end, Body&& body) {
  num_threads();
  for (std::size_t i = begin; i < end; ++i) body(i);
}

// Returns the vector whose element k is f(begin + k).
template <class F>
auto parallel_map_collect(std::size_t begin, std::size_t end, F&& f)
    -> std::vector<std::invoke_result_t<F&, std::size_t>> {
  num_threads();
  std::vector<std::invoke_result_t<F&, std::size_t>> out;
  out.reserve(end > begin ? end - begin : 0);
  for (std::size_t i = begin; i < end; ++i) out.push_back(f(i));
  return out;
}

// Takes the items by move; returns the vector whose element k is f(item k).
// The input vector is left empty with its storage released.
template <class T, class F>
auto parallel_map_collect(std::vector<T>&& items, F&& f)
    -> std::vector<std::invoke_result_t<F&, T&&>> {
  num_threads();
  std::vector<T> owned = std::move(items);
  std::vector<std::invoke_result_t<F&, T&&>> out;
  out.reserve(owned.size());
  for (auto& item : owned) out.push_back(f(std::move(item)));
  return out;
}

// Runs a and b, possibly in parallel; returns both results once both are done.
template <class A, class B>
auto join(A&& a, B&& b) {
  auto ra = a();
  auto rb = b();
  return std::pair{std::move(ra), std::move(rb)};
}

}  // namespace corvane::parallel
