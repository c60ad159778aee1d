#include "python/call.hpp"

#include "python/registry.hpp"

#include <string>
#include <utility>

namespace corvane::python {
namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
std::string quoted_list(const std::vector<std::string_view>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out += ",";
      out += i + 1 == names.size() ? " and " : " ";
    }
    // Appended piece by piece: GCC 12 cannot bound the copy of a literal
    // prepended to a temporary string and warns (-Wrestrict).
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

}  // namespace

Call::Call(const char* function_name, std::span<const std::string_view> params,
           std::span<PyObject*> bound, PyObject* const* args, Py_ssize_t nargs_flags,
           PyObject* kwnames)
    : params_(params), bound_(bound) {
  // Only the error paths need the name as text; building it on every call
  // would allocate for every name longer than the small-string buffer.
  const auto function = [&] { return std::string(function_name) + "()"; };
  const std::size_t n = params.size();
  const std::size_t nargs =
      static_cast<std::size_t>(PyVectorcall_NARGS(static_cast<std::size_t>(nargs_flags)));
  if (nargs > n)
    raise(PyExc_TypeError, function() + " takes " + std::to_string(n) +
                               " positional arguments but " + std::to_string(nargs) +
                               (nargs == 1 ? " was" : " were") + " given");
  for (std::size_t i = 0; i < nargs; ++i) bound_[i] = args[i];

  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t length = 0;
    // A name that has no UTF-8 form (a lone surrogate, or no str at all, which
    // only C callers can pass) cannot equal a parameter name either.
    const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &length);
    if (!utf8) PyErr_Clear();
    std::string_view name =
        utf8 ? std::string_view(utf8, static_cast<std::size_t>(length)) : std::string_view();
    std::size_t slot = 0;
    while (utf8 && slot < n && params[slot] != name) ++slot;
    if (!utf8 || slot == n) {
      // Formatted by the interpreter, so that any name object shows as its str().
      PyObject* message = PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'",
                                               function().c_str(), keyword);
      if (message) {
        PyErr_SetObject(PyExc_TypeError, message);
        Py_DECREF(message);
      }
      throw_python_error();
    }
    if (bound_[slot])
      raise(PyExc_TypeError,
            function() + " got multiple values for argument '" + std::string(name) + "'");
    bound_[slot] = args[nargs + static_cast<std::size_t>(k)];
  }

  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < n; ++i)
    if (!bound_[i]) missing.push_back(params[i]);
  if (!missing.empty()) {
    std::string message = function();
    message += " missing ";
    message += std::to_string(missing.size());
    message += missing.size() == 1 ? " required positional argument: "
                                   : " required positional arguments: ";
    message += quoted_list(missing);
    raise(PyExc_TypeError, message);
  }
}

namespace {

// The calls that hold borrows, most recent first.
Call* g_calls = nullptr;

}  // namespace

void Call::link() noexcept {
  // In the child of a fork() the borrows of calls running on the parent's
  // other threads would stay taken for good: those threads are not there to
  // end their calls. The forking thread holds the interpreter lock, so no
  // call is being linked or unlinked meanwhile.
  [[maybe_unused]] static const int handler =
      ::pthread_atfork(nullptr, nullptr, [] { forget_other_threads(); });
  thread_ = ::pthread_self();
  next_ = std::exchange(g_calls, this);
  if (next_) next_->prev_ = this;
  linked_ = true;
}

void Call::unlink() noexcept {
  (prev_ ? prev_->next_ : g_calls) = next_;
  if (next_) next_->prev_ = prev_;
  prev_ = next_ = nullptr;
  linked_ = false;
}

void Call::forget_other_threads() noexcept {
  const pthread_t self = ::pthread_self();
  for (Call* call = g_calls; call;) {
    Call* next = call->next_;
    if (!::pthread_equal(call->thread_, self)) {
      call->unlink();
      // The views stay referenced: their owners' stacks never unwind here.
      call->give_back();
      call->borrows_.clear();
    }
    call = next;
  }
}

void Call::keep_borrow(Ref view, bool exclusive) noexcept {
  if (!linked_) link();
  borrows_.push_back({view.release(), exclusive});
}

void Call::give_back() noexcept {
  for (bool exclusive : {true, false})
    for (const Borrow& b : borrows_)
      if (b.exclusive == exclusive) registry::release(b.array, b.exclusive);
}

void Call::release_arrays() noexcept {
  if (linked_) unlink();
  give_back();
  for (const Borrow& b : borrows_) Py_DECREF(b.array);
  borrows_.clear();
}

}  // namespace corvane::python
