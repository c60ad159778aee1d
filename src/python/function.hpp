// A row of the function table and the one wrapper every row is called
// through. A row names the Python function and its parameters; the kinds of
// the parameters are the parameter types of its typed entry, converted in
// order by convert.hpp. The wrapper binds and converts the arguments, runs
// the entry, gives back the call's array borrows and only then converts the
// result, and is the one place where C++ failures become Python exceptions.
#pragma once

#include "core/fp_mode.hpp"
#include "python/call.hpp"
#include "python/convert.hpp"
#include "python/panic.hpp"

#include <array>
#include <cstddef>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace corvane::python {

template <class Signature>
struct EntryTraits;

template <class R, class... Params>
struct EntryTraits<R (*)(Params...)> {
  using Result = R;
  using Arguments = std::tuple<std::remove_cvref_t<Params>...>;
  static constexpr std::size_t kArity = sizeof...(Params);
};

template <auto Entry>
struct Function {
  using Traits = EntryTraits<decltype(Entry)>;
  const char* name;
  std::array<std::string_view, Traits::kArity> params;

  // "name(a, b)\n--\n\n": the signature line the interpreter shows.
  std::string text_signature() const {
    std::string out = name;
    out += '(';
    for (std::size_t k = 0; k < params.size(); ++k) {
      if (k > 0) out += ", ";
      out += params[k];
    }
    out += ")\n--\n\n";
    return out;
  }

  // "name(a: A, b: B) -> R": the signature the type stub declares.
  std::string stub_signature() const {
    std::string out = name;
    out += '(';
    [&]<std::size_t... K>(std::index_sequence<K...>) {
      ((out += K > 0 ? ", " : "", out += params[K], out += ": ",
        out += parameter_type(As<std::tuple_element_t<K, typename Traits::Arguments>>{})),
       ...);
    }(std::make_index_sequence<Traits::kArity>{});
    out += ") -> ";
    out += result_type(As<typename Traits::Result>{});
    return out;
  }
};

// A row: the entry, its Python name and one name per entry parameter (a row
// with a name missing or one too many does not compile).
template <auto Entry, class... Names>
constexpr Function<Entry> function(const char* name, Names... params) {
  static_assert(sizeof...(Names) == EntryTraits<decltype(Entry)>::kArity,
                "one parameter name per parameter of the entry");
  return {name, {std::string_view(params)...}};
}

namespace detail {

template <auto Entry, std::size_t... K>
PyObject* bind_and_run(const Function<Entry>& row, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, std::index_sequence<K...>) {
  using Traits = typename Function<Entry>::Traits;
  std::array<PyObject*, Traits::kArity> bound{};
  Call call(row.name, row.params, bound, args, nargs, kwnames);
  // Braced initialisation converts the arguments in parameter order.
  typename Traits::Arguments arguments{
      convert_argument<std::tuple_element_t<K, typename Traits::Arguments>>(call, K)...};
  if constexpr (std::is_void_v<typename Traits::Result>) {
    std::apply(Entry, std::move(arguments));
    call.release_arrays();
    Py_RETURN_NONE;
  } else {
    auto result = std::apply(Entry, std::move(arguments));
    call.release_arrays();
    return to_py(result).release();
  }
}

}  // namespace detail

// The vectorcall function of row I of a table (a tuple of rows).
template <const auto& Table, std::size_t I>
PyObject* trampoline(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  constexpr const auto& Row = std::get<I>(Table);
  // Also covers building the result: widening a float32 to a Python float
  // must not flush a subnormal either.
  IeeeModeScope ieee_mode;
  try {
    return detail::bind_and_run(Row, args, nargs, kwnames,
                                std::make_index_sequence<Row.params.size()>{});
  } catch (const PyErrorAlreadySet&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, messages::kNoExceptionSet);
  } catch (const Panic& failure) {
    raise_panic(failure);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    raise_panic(Panic(messages::kCapacityOverflow));
  } catch (const std::exception& failure) {
    raise_panic(Panic(failure.what()));
  } catch (...) {
    raise_panic(Panic(""));
  }
  return nullptr;
}

}  // namespace corvane::python
