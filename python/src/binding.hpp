// Argument binding and conversion shared by every function of the module.
//
// BoundArgs matches a call's positional tuple and keyword dictionary to the
// parameters of the function's Signature (signature.hpp) with the
// interpreter's own rules and messages, then converts each argument on
// request. Every failure leaves a Python exception set and reports it as an
// empty optional or `false`.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>

#include "signature.hpp"

namespace tarvik::py {

class BoundArgs {
 public:
  // Binds by position, then by keyword (in the dictionary's order), then
  // checks that every required parameter is bound. Raises TypeError with the
  // interpreter's wording on the first problem.
  [[nodiscard]] bool bind(const Signature& sig, PyObject* args, PyObject* kwargs);

  // The argument bound to parameter i (borrowed), or null if it was left out.
  PyObject* operator[](std::size_t i) const { return slots_[i]; }

  // The interpreter's float conversion of argument i.
  std::optional<double> to_double(std::size_t i) const;
  // Argument i as a boolean: exactly True or False, or a NumPy boolean
  // scalar; `fallback` when the parameter was left out.
  std::optional<bool> to_bool(std::size_t i, bool fallback = false) const;
  // Re-raises a pending exact TypeError as "argument '<name>': <message>",
  // keeping its cause; any other exception stays as it is.
  void name_the_parameter(std::size_t i) const;

 private:
  const Signature* sig_ = nullptr;
  std::array<PyObject*, kMaxParams> slots_{};
};

// Converts obj as a flag argument: exactly True or False, or a NumPy boolean
// scalar (through its type's __bool__). Raises TypeError otherwise.
std::optional<bool> convert_bool(PyObject* obj);

}  // namespace tarvik::py
