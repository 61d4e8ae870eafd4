// What the scalar and the batch functions of tarvik._core share: the call
// boundary that keeps C++ exceptions out of the interpreter, the conversion
// of IVError into the Python exception, the doc texts that carry the text
// signatures, and the routine that adds an attribute and lists it in __all__.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <exception>
#include <new>

#include "arguments.hpp"
#include "tarvik/errors.hpp"

namespace tarvik::py {

// The class tarvik.IVError, created on first use and kept for the process.
// Null with a Python exception set if it cannot be created.
PyObject* iv_error_type();

// Raises `error` as IVError(kind, message); returns null for the caller to
// hand back to the interpreter.
PyObject* map_err(const IVError& error);

// Raises the exception that stands for an internal fault (never expected).
PyObject* raise_internal_fault(const char* what);

// Runs the body of a registered function. Any C++ exception becomes a Python
// exception here: MemoryError for an allocation failure, RuntimeError for
// anything else.
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

// Creates a built-in function from `def`, bound to the module, and adds it.
// `def` must outlive the module.
[[nodiscard]] bool add_function(PyObject* module, PyMethodDef* def);

// ---- Doc texts -----------------------------------------------------------
// "name(p1, p2=default)\n--\n\n" followed by the body: the interpreter shows
// the first line as __text_signature__ and the body (or None) as __doc__.

namespace detail {

constexpr std::size_t text_length(const char* s) {
  std::size_t n = 0;
  while (s[n] != '\0') ++n;
  return n;
}

constexpr std::size_t doc_length(const Signature& sig, const char* body) {
  std::size_t n = text_length(sig.name) + 1;  // name(
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (i > 0) n += 2;
    n += text_length(sig.params[i].name);
    if (sig.params[i].default_text) n += 1 + text_length(sig.params[i].default_text);
  }
  return n + 6 + text_length(body);  // )\n--\n\n
}

}  // namespace detail

template <const Signature& Sig, const char* Body>
inline constexpr auto kDocText = [] {
  std::array<char, detail::doc_length(Sig, Body) + 1> out{};
  std::size_t k = 0;
  auto put = [&](const char* s) {
    while (*s) out[k++] = *s++;
  };
  put(Sig.name);
  put("(");
  for (std::size_t i = 0; i < Sig.params.size(); ++i) {
    if (i > 0) put(", ");
    put(Sig.params[i].name);
    if (Sig.params[i].default_text) {
      put("=");
      put(Sig.params[i].default_text);
    }
  }
  put(")\n--\n\n");
  put(Body);
  return out;
}();

inline constexpr char kNoDocBody[] = "";

// A PyMethodDef for an entry adaptor taking (self, args, kwargs).
inline PyMethodDef method_def(const char* name, PyObject* (*entry)(PyObject*, PyObject*, PyObject*),
                              const char* doc) {
  // The interpreter calls through PyCFunction and dispatches on the flags.
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
          METH_VARARGS | METH_KEYWORDS, doc};
}

}  // namespace tarvik::py
