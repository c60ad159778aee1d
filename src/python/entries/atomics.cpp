#include "python/entries/entries.hpp"

#include "python/atomics.hpp"

namespace corvane::python::entries {

// Each operation holds the view of data_ptr's buffer only while it runs: the
// view is given back before any result object is built.

bool compare_exchange(PyObject* data_ptr, std::uint32_t cur, std::uint32_t desired) {
  const atomics::SharedWord shared(data_ptr);
  return atomics::compare_exchange(shared.word(), cur, desired);
}

template <Step S, std::memory_order Order>
std::uint32_t fetch(PyObject* data_ptr, std::uint32_t val) {
  const atomics::SharedWord shared(data_ptr);
  return S == Step::kAdd ? shared.word().fetch_add(val, Order)
                         : shared.word().fetch_sub(val, Order);
}

template <Step S>
Exchange compare_exchange_step(PyObject* data_ptr, std::uint32_t delta) {
  const atomics::SharedWord shared(data_ptr);
  return atomics::compare_exchange_by(shared.word(), S == Step::kAdd ? delta : 0u - delta);
}

template std::uint32_t fetch<Step::kAdd, std::memory_order_seq_cst>(PyObject*, std::uint32_t);
template std::uint32_t fetch<Step::kSub, std::memory_order_seq_cst>(PyObject*, std::uint32_t);
template std::uint32_t fetch<Step::kAdd, std::memory_order_release>(PyObject*, std::uint32_t);
template std::uint32_t fetch<Step::kSub, std::memory_order_release>(PyObject*, std::uint32_t);
template Exchange compare_exchange_step<Step::kAdd>(PyObject*, std::uint32_t);
template Exchange compare_exchange_step<Step::kSub>(PyObject*, std::uint32_t);

}  // namespace corvane::python::entries
