#include "entries/entries.hpp"

namespace corvane::entries {

PyObject* compare_exchange(Call& call) {
  call.object("data_ptr");
  call.u32("cur");
  call.u32("new");
  not_implemented("compare_exchange");
}

PyObject* fetch_add_seq_cst(Call& call) {
  call.u32("val");
  not_implemented("fetch_add_seq_cst");
}

PyObject* fetch_sub_seq_cst(Call& call) {
  call.u32("val");
  not_implemented("fetch_sub_seq_cst");
}

PyObject* fetch_add_release(Call& call) {
  call.u32("val");
  not_implemented("fetch_add_release");
}

PyObject* fetch_sub_release(Call& call) {
  call.u32("val");
  not_implemented("fetch_sub_release");
}

PyObject* compare_exchange_add(Call& call) {
  call.u32("delta");
  not_implemented("compare_exchange_add");
}

PyObject* compare_exchange_sub(Call& call) {
  call.u32("delta");
  not_implemented("compare_exchange_sub");
}

}  // namespace corvane::entries
