// What every function of tarvik._core shares: the call boundary that keeps
// C++ exceptions out of the interpreter, the conversion of IVError into the
// Python exception, and the routine that adds an attribute and lists it in
// __all__.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

#include "tarvik/errors.hpp"

namespace tarvik::py {

// The class tarvik.IVError, created on first use and kept for the process.
// Null with a Python exception set if it cannot be created.
PyObject* iv_error_type();

// Raises `error` as IVError(kind, message); returns null for the caller to
// hand back to the interpreter.
PyObject* map_err(const IVError& error);

// Raises RuntimeError "tarvik internal error: <what>" for a fault that valid
// use cannot cause; returns null.
PyObject* raise_internal_fault(const char* what);

// Runs the body of a registered function. Any C++ exception becomes a Python
// exception here: MemoryError for an allocation failure, the internal fault
// for anything else.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_internal_fault(e.what());
  } catch (...) {
    return raise_internal_fault("unknown C++ exception");
  }
}

// Appends `name` to the module's __all__ (creating the list on first use)
// and sets the attribute. `value` is borrowed.
[[nodiscard]] bool add_attribute(PyObject* module, const char* name, PyObject* value);

// Adds every function of the module, in registration order (functions.cpp).
[[nodiscard]] bool add_functions(PyObject* module);

}  // namespace tarvik::py
