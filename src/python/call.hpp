// One call of a module function: its vectorcall arguments bound to the
// parameters of the function's row, and the array borrows it holds.
#pragma once

#include "python/object.hpp"

#include <pthread.h>

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

namespace corvane::python {

class Call {
 public:
  // Binds the arguments to `params` (all positional-or-keyword, all
  // required) into `bound`, one slot per parameter; raises the binding
  // TypeErrors of `function`.
  Call(const char* function, std::span<const std::string_view> params, std::span<PyObject*> bound,
       PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
  ~Call() { release_arrays(); }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  // Parameter k's name and its bound object (a borrowed reference).
  std::string_view name(std::size_t k) const noexcept { return params_[k]; }
  PyObject* object(std::size_t k) const noexcept { return bound_[k]; }

  // Makes room for one more borrow, so that keeping it cannot fail once taken.
  void reserve_borrow() { borrows_.reserve(borrows_.size() + 1); }
  // Keeps an accepted array's view and its borrow until release_arrays(), which
  // gives the borrow back through that same view. Follows a reserve_borrow().
  void keep_borrow(Ref view, bool exclusive) noexcept;
  // Gives back every borrow of the call, writable ones first.
  void release_arrays() noexcept;

 private:
  struct Borrow {
    PyObject* array;
    bool exclusive;
  };
  std::span<const std::string_view> params_;
  std::span<PyObject*> bound_;
  std::vector<Borrow> borrows_;
  // While it holds borrows, a call is linked into the process's list of such
  // calls (changed only under the interpreter lock), so that a forked child
  // can give back those of the calls whose threads it does not have.
  pthread_t thread_{};
  Call* prev_ = nullptr;
  Call* next_ = nullptr;
  bool linked_ = false;
  void link() noexcept;
  void unlink() noexcept;
  void give_back() noexcept;
  static void forget_other_threads() noexcept;
};

}  // namespace corvane::python
