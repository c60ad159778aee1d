// The module object: the functions of the table (table.hpp), in the order of
// __all__.
#include "python/table.hpp"

namespace corvane::python {
namespace {

constexpr std::size_t kFunctionCount = std::tuple_size_v<decltype(kFunctions)>;

// The text signatures and the method records must outlive their function
// objects: static storage, filled once at the first import.
std::array<std::string, kFunctionCount> g_text_signatures;
std::array<PyMethodDef, kFunctionCount> g_methods;

template <std::size_t... I>
void make_methods(std::index_sequence<I...>) {
  ((g_text_signatures[I] = std::get<I>(kFunctions).text_signature(),
    g_methods[I] = PyMethodDef{std::get<I>(kFunctions).name,
                               reinterpret_cast<PyCFunction>(
                                   reinterpret_cast<void (*)()>(&trampoline<kFunctions, I>)),
                               METH_FASTCALL | METH_KEYWORDS, g_text_signatures[I].c_str()}),
   ...);
}

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "corvane",
    "",       // __doc__
    0,        // per-module state size
    nullptr,  // functions are added one by one, see add_functions
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// `corvane.PanicException` names the panic type without creating it at
// import: module attribute lookup falls back to this function.
PyObject* module_getattr(PyObject*, PyObject* name) noexcept {
  if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "PanicException") == 0) {
    return Py_NewRef(panic_type());
  }
  PyErr_Format(PyExc_AttributeError, "module 'corvane' has no attribute '%U'", name);
  return nullptr;
}

PyMethodDef g_getattr = {"__getattr__", &module_getattr, METH_O, nullptr};

// dir(corvane) lists PanicException too, although it only exists once asked for.
PyObject* module_dir(PyObject* module, PyObject*) noexcept {
  PyObject* names = PyDict_Keys(PyModule_GetDict(module));
  if (!names) return nullptr;
  Ref panic = Ref::steal(PyUnicode_FromString("PanicException"));
  int present = panic ? PySequence_Contains(names, panic.get()) : -1;
  if (present < 0 || (present == 0 && PyList_Append(names, panic.get()) < 0) ||
      PyList_Sort(names) < 0) {
    Py_DECREF(names);
    return nullptr;
  }
  return names;
}

PyMethodDef g_dir = {"__dir__", &module_dir, METH_NOARGS, nullptr};

PyObject* g_module = nullptr;

// Adds the functions in table order, each also named in __all__.
bool add_functions(PyObject* module) {
  // Once per process: a retried import must not move the texts of functions
  // a failed one may have handed out.
  if (!g_methods[0].ml_name) make_methods(std::make_index_sequence<kFunctionCount>{});
  Ref name_of_module = Ref::steal(PyUnicode_FromString("corvane"));
  if (!name_of_module) return false;
  for (PyMethodDef& method : g_methods) {
    Ref function = Ref::steal(PyCFunction_NewEx(&method, module, name_of_module.get()));
    if (!function) return false;
    Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return false;
    if (!PyUnicode_Check(name.get())) {
      PyErr_SetString(PyExc_TypeError, messages::kNameNotStr);
      return false;
    }
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
      PyErr_Clear();
      all = Ref::steal(PyList_New(0));
      if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (!PyList_Check(all.get())) {
      PyErr_SetString(PyExc_TypeError, messages::kAllNotList);
      return false;
    }
    if (PyList_Append(all.get(), name.get()) < 0) return false;
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return false;
  }
  Ref getattr = Ref::steal(PyCFunction_NewEx(&g_getattr, module, name_of_module.get()));
  if (!getattr || PyObject_SetAttrString(module, "__getattr__", getattr.get()) < 0) return false;
  Ref dir = Ref::steal(PyCFunction_NewEx(&g_dir, module, name_of_module.get()));
  if (!dir || PyObject_SetAttrString(module, "__dir__", dir.get()) < 0) return false;
  return PyModule_AddStringConstant(module, "__version__", CORVANE_VERSION) == 0;
}

}  // namespace
}  // namespace corvane::python

PyMODINIT_FUNC PyInit_corvane() {
  using namespace corvane::python;
  // The module is one object for the process, cached below, and its calls
  // share process-wide state: only the main interpreter may have it. Deciding
  // by which interpreter imports first would let a short-lived
  // sub-interpreter lock the main one out for good.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError, corvane::messages::kSubInterpreters);
    return nullptr;
  }
  if (g_module) return Py_NewRef(g_module);
  PyObject* module = PyModule_Create2(&g_definition, 1013);
  if (!module) return nullptr;
  if (!add_functions(module)) {
    Py_DECREF(module);
    return nullptr;
  }
  g_module = module;  // the cache keeps this reference for the process
  return Py_NewRef(module);
}
