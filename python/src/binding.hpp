// Argument binding and conversion shared by every function of the module.
//
// BoundArgs matches a call's positional and keyword arguments, in either of
// the interpreter's calling conventions, to the parameters of the function's
// Signature (signature.hpp) with the interpreter's own rules and messages,
// then converts each argument on request. Every failure leaves a Python exception set and reports
// it as an empty optional or `false`.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>

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
    if (kwnames == nullptr && static_cast<std::size_t>(nargs) == sig.count) {
      // Every parameter by position: nothing else to check.
      sig_ = &sig;
      for (std::size_t i = 0; i < sig.count; ++i) slots_[i] = args[i];
      return true;
    }
    return bind_slowly(sig, names, args, nargs, kwnames);
  }

  // The argument bound to parameter i (borrowed), or null if it was left out.
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

 private:
  bool bind_slowly(const Signature& sig, const ParamNames& names, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames);
  std::optional<bool> to_bool_slowly(std::size_t i, bool fallback) const;
  bool start(const Signature& sig, const ParamNames& names, Py_ssize_t n_positional);
  bool keyword(PyObject* key, PyObject* value);
  bool finish() const;

  const Signature* sig_ = nullptr;
  const ParamNames* names_ = nullptr;
  std::array<PyObject*, kMaxParams> slots_{};
};

// Converts obj as a flag argument: exactly True or False, or a NumPy boolean
// scalar (through its type's __bool__). Raises TypeError otherwise.
std::optional<bool> convert_bool(PyObject* obj);

}  // namespace tarvik::py
