// tarvik._core: the entry point PyInit__core, IVError and the module's
// attributes. The functions themselves are listed in functions.cpp.
#include "module.hpp"

#include <atomic>
#include <cstdint>
#include <string>

#include "py_ref.hpp"

namespace tarvik::py {

// ---- IVError -----------------------------------------------------------

namespace {
PyObject* g_iv_error_type = nullptr;  // written once, under the interpreter lock
}  // namespace

PyObject* iv_error_type() {
  if (g_iv_error_type == nullptr) {
    PyObject* type = PyErr_NewException("tarvik.IVError", PyExc_Exception, nullptr);
    if (type == nullptr) {
      PyErr_Clear();
      PyErr_SetString(PyExc_RuntimeError,
                      "Failed to initialize new exception type. The interpreter refused to "
                      "create tarvik.IVError.");
      return nullptr;
    }
    g_iv_error_type = type;
  }
  return g_iv_error_type;
}

PyObject* map_err(const IVError& error) {
  PyObject* type = iv_error_type();
  if (type == nullptr) return nullptr;
  const std::string message = error.message();
  const std::string_view kind = error.kind_string();
  PyRef args =
      PyRef::steal(Py_BuildValue("(s#s#)", kind.data(), static_cast<Py_ssize_t>(kind.size()),
                                 message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!args) return nullptr;
  PyErr_SetObject(type, args.get());
  return nullptr;
}

PyObject* raise_internal_fault(const char* what) {
  PyErr_Format(PyExc_RuntimeError, "tarvik internal error: %s", what);
  return nullptr;
}

// ---- Attributes ----------------------------------------------------------

bool add_attribute(PyObject* module, const char* name, PyObject* value) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  PyRef name_obj = PyRef::steal(PyUnicode_FromString(name));
  if (!name_obj) return false;
  if (PyList_Append(all.get(), name_obj.get()) < 0) {
    PyErr_Clear();
    PyErr_Format(PyExc_RuntimeError, "could not append __name__ to __all__ (%s)", name);
    return false;
  }
  return PyObject_SetAttr(module, name_obj.get(), value) == 0;
}

// ---- Module --------------------------------------------------------------

namespace {

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "Python module `tarvik._core` \xe2\x80\x94 compiled extension.",
    0,        // no per-module state
    nullptr,  // no method table: functions are added one by one
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that first imported the module; -1 until then.
std::atomic<std::int64_t> g_owner_interpreter{-1};
// The module once initialisation has succeeded (process lifetime).
PyObject* g_module = nullptr;

bool fill_module(PyObject* module) {
  PyObject* error_type = iv_error_type();
  if (error_type == nullptr || !add_attribute(module, "IVError", error_type)) return false;
  PyRef version = PyRef::steal(PyUnicode_FromString(TARVIK_VERSION));
  if (!version || !add_attribute(module, "__version__", version.get())) return false;
  return add_functions(module);
}

PyObject* init_module() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
  }
  std::int64_t expected = -1;
  if (!g_owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError, "PyO3 modules do not yet support subinterpreters");
    return nullptr;
  }
  if (g_module != nullptr) return PyRef::borrow(g_module).release();

  PyRef module = PyRef::steal(PyModule_Create2(&kModuleDef, PYTHON_ABI_VERSION));
  if (!module || !fill_module(module.get())) return nullptr;
  if (g_module == nullptr) g_module = module.release();
  return PyRef::borrow(g_module).release();
}

}  // namespace
}  // namespace tarvik::py

PyMODINIT_FUNC PyInit__core() {
  return tarvik::py::guarded([] { return tarvik::py::init_module(); });
}
