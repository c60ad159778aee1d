#include "atomics.hpp"
#include "entries/entries.hpp"

#include <cstdint>

namespace corvane::entries {
namespace {

using Word = std::atomic_ref<std::uint32_t>;

// Runs op on the shared word of data_ptr's buffer. The view is given back as
// soon as op returns, before any result object is built.
template <class Op>
auto on_word(PyObject* data_ptr, Op&& op) {
  const atomics::SharedWord shared(data_ptr);
  return op(shared.word());
}

PyObject* exchange_result(atomics::Exchange e) { return tuple(e.ok, e.value).release(); }

}  // namespace

PyObject* compare_exchange(Call& call) {
  PyObject* data_ptr = call.object("data_ptr");
  const std::uint32_t cur = call.u32("cur");
  const std::uint32_t desired = call.u32("new");
  return to_py(on_word(data_ptr, [&](Word w) { return atomics::compare_exchange(w, cur, desired); }))
      .release();
}

PyObject* fetch_add_seq_cst(Call& call) {
  PyObject* data_ptr = call.object("data_ptr");
  const std::uint32_t val = call.u32("val");
  return to_py(on_word(data_ptr, [&](Word w) { return w.fetch_add(val, std::memory_order_seq_cst); }))
      .release();
}

PyObject* fetch_sub_seq_cst(Call& call) {
  PyObject* data_ptr = call.object("data_ptr");
  const std::uint32_t val = call.u32("val");
  return to_py(on_word(data_ptr, [&](Word w) { return w.fetch_sub(val, std::memory_order_seq_cst); }))
      .release();
}

PyObject* fetch_add_release(Call& call) {
  PyObject* data_ptr = call.object("data_ptr");
  const std::uint32_t val = call.u32("val");
  return to_py(on_word(data_ptr, [&](Word w) { return w.fetch_add(val, std::memory_order_release); }))
      .release();
}

PyObject* fetch_sub_release(Call& call) {
  PyObject* data_ptr = call.object("data_ptr");
  const std::uint32_t val = call.u32("val");
  return to_py(on_word(data_ptr, [&](Word w) { return w.fetch_sub(val, std::memory_order_release); }))
      .release();
}

PyObject* compare_exchange_add(Call& call) {
  PyObject* data_ptr = call.object("data_ptr");
  const std::uint32_t delta = call.u32("delta");
  return exchange_result(
      on_word(data_ptr, [&](Word w) { return atomics::compare_exchange_add(w, delta); }));
}

PyObject* compare_exchange_sub(Call& call) {
  PyObject* data_ptr = call.object("data_ptr");
  const std::uint32_t delta = call.u32("delta");
  return exchange_result(
      on_word(data_ptr, [&](Word w) { return atomics::compare_exchange_sub(w, delta); }));
}

}  // namespace corvane::entries
