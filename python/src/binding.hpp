// Argument binding and conversion shared by every function of the module.
//
// BoundArgs matches a call's positional and keyword arguments, in either of
// the interpreter's calling conventions, to the parameters of the function's
// Signature (signature.hpp) with the interpreter's own rules and messages,
// then converts each argument on request. Every failure leaves a Python exception set and reports
// it as an empty optional or `false`.
//
// A bound argument is held by a strong reference until the BoundArgs is
// gone: converting one argument runs the caller's code (__float__,
// __index__, __array__, ...), which may empty the keyword dictionary that
// brought another, or its own, and nothing may then be left pointing at a
// freed object.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string>

#include "signature.hpp"

namespace tarvik::py {

// The parameter names of one signature as interned strings, made once: a
// keyword is matched by comparing pointers, and only by value if that fails.
class ParamNames {
 public:
  explicit ParamNames(const Signature& sig);
  // The index of the parameter called `key`, or count.
  std::size_t find(PyObject* key, std::size_t count) const;

 private:
  std::array<PyObject*, kMaxParams> names_{};
};

class BoundArgs {
 public:
  BoundArgs() = default;
  BoundArgs(const BoundArgs&) = delete;
  BoundArgs& operator=(const BoundArgs&) = delete;
  ~BoundArgs() { release(); }

  // Binds by position, then by keyword (in the order given), then checks
  // that every required parameter is bound. Raises TypeError with the
  // interpreter's wording on the first problem. The two calling conventions:
  // a positional tuple and a keyword dictionary (may be null), or the
  // vectorcall array of positional arguments followed by the values of the
  // keywords named in kwnames (may be null).
  [[nodiscard]] bool bind(const Signature& sig, const ParamNames& names, PyObject* args,
                          PyObject* kwargs);
  [[nodiscard]] bool bind(const Signature& sig, const ParamNames& names, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames == nullptr && static_cast<std::size_t>(nargs) == sig.count &&
        sig.positional == sig.count) {
      // Every parameter by position: nothing else to check.
      release();
      sig_ = &sig;
      for (std::size_t i = 0; i < sig.count; ++i) hold(i, args[i]);
      return true;
    }
    return bind_slowly(sig, names, args, nargs, kwnames);
  }

  // The argument bound to parameter i (held until this object is gone), or
  // null if it was left out.
  PyObject* operator[](std::size_t i) const { return slots_[i]; }

  // The interpreter's float conversion of argument i.
  std::optional<double> to_double(std::size_t i) const {
    const double v = PyFloat_AsDouble(slots_[i]);
    if (v == -1.0 && !PyFloat_CheckExact(slots_[i]) && PyErr_Occurred()) {
      name_the_parameter(i);
      return std::nullopt;
    }
    return v;
  }
  // Argument i as a boolean: exactly True or False, or a NumPy boolean
  // scalar; `fallback` when the parameter was left out.
  std::optional<bool> to_bool(std::size_t i, bool fallback = false) const {
    if (slots_[i] == Py_True) return true;
    if (slots_[i] == Py_False) return false;
    return to_bool_slowly(i, fallback);
  }
  // Re-raises a pending exact TypeError as "argument '<name>': <message>",
  // keeping its cause; any other exception stays as it is.
  void name_the_parameter(std::size_t i) const;
  // Adds a note to a pending TypeError or OverflowError that names
  // parameter i, its position, what it received and what it accepts:
  // "argument 'strikes' (position 2): got list; pass a float or ...".
  // The exception and its message stay as they are.
  void note_the_argument(std::size_t i, const char* accepted) const;

 private:
  bool bind_slowly(const Signature& sig, const ParamNames& names, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames);
  std::optional<bool> to_bool_slowly(std::size_t i, bool fallback) const;
  bool start(const Signature& sig, const ParamNames& names, Py_ssize_t n_positional);
  bool keyword(PyObject* key, PyObject* value);
  bool finish() const;
  void hold(std::size_t i, PyObject* obj) {
    Py_INCREF(obj);
    slots_[i] = obj;
  }
  void release() {
    for (PyObject*& slot : slots_) Py_CLEAR(slot);
  }

  const Signature* sig_ = nullptr;
  const ParamNames* names_ = nullptr;
  std::array<PyObject*, kMaxParams> slots_{};
};

// Converts obj as a flag argument: exactly True or False, or a NumPy boolean
// scalar (through its type's __bool__). Raises TypeError otherwise.
std::optional<bool> convert_bool(PyObject* obj);

// Whether obj's type is NumPy's boolean scalar type.
bool is_numpy_bool(PyObject* obj);

// Adds `text` to the pending exception's notes (PEP 678: add_note from
// CPython 3.11 on; before it the same list in __notes__, which tracebacks of
// those versions do not show). The exception stays pending; a failure to add
// the note leaves it as it was.
void add_note(const char* text);

// A str's text in UTF-8 ("?" if it has none).
std::string utf8(PyObject* text);

// The name of obj's type as a user writes it: "list", "numpy.ndarray",
// "pandas.core.series.Series".
std::string qualified_type_name(PyObject* obj);

// What an argument is, for a note: its type ("list", "numpy.ndarray"), and
// for an array its dtype and shape, and whether it is contiguous.
std::string describe(PyObject* obj);

}  // namespace tarvik::py
