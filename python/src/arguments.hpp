// Argument binding and conversion shared by every function of the module.
//
// A function is described by its Signature: its name and its parameters in
// order, the required ones first and the optional ones with the Python text
// of their default. BoundArgs matches a call's positional tuple and keyword
// dictionary to those parameters with the interpreter's own rules and
// messages, then converts each argument on request. Every failure leaves a
// Python exception set and reports it as an empty optional or `false`.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <span>

namespace tarvik::py {

struct Param {
  const char* name;
  const char* default_text = nullptr;  // e.g. "True"; null for a required parameter
};

struct Signature {
  const char* name;
  std::span<const Param> params;

  constexpr std::size_t required() const {
    std::size_t n = 0;
    while (n < params.size() && params[n].default_text == nullptr) ++n;
    return n;
  }
};

inline constexpr std::size_t kMaxParams = 8;

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

 private:
  // Re-raises a pending exact TypeError as "argument '<name>': <message>",
  // keeping its cause; any other exception stays as it is.
  void name_the_parameter(std::size_t i) const;

  const Signature* sig_ = nullptr;
  std::array<PyObject*, kMaxParams> slots_{};
};

}  // namespace tarvik::py
