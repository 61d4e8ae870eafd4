// The extension's two RAII helpers: PyRef, an owned (strong) reference to a
// Python object, released on scope exit; and WithoutGil, a scope in which
// other Python threads may run.
#pragma once

#include <Python.h>

#include <utility>

namespace tarvik::py {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (may be null, e.g. a failed API call).
  static PyRef steal(PyObject* p) { return PyRef(p); }
  // Adds a reference to a borrowed object.
  static PyRef borrow(PyObject* p) {
    Py_XINCREF(p);
    return PyRef(p);
  }

  PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef(std::move(other)).swap(*this);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(p_, nullptr); }
  void swap(PyRef& other) noexcept { std::swap(p_, other.p_); }

 private:
  explicit PyRef(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

// Releases the interpreter lock for the scope (if `release`), and takes it
// back on the way out, also when an exception leaves the scope. Nothing in
// the scope may touch a Python object.
class WithoutGil {
 public:
  explicit WithoutGil(bool release) : state_(release ? PyEval_SaveThread() : nullptr) {}
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;
  ~WithoutGil() {
    if (state_ != nullptr) PyEval_RestoreThread(state_);
  }

  // Takes the lock back for a moment to run the signal handlers that are due
  // (the interpreter runs them on its main thread only; elsewhere this does
  // nothing else); true when one raised (KeyboardInterrupt for Ctrl-C), its
  // exception then pending. Only on the thread that opened the scope, and
  // only when it released the lock.
  bool check_signals() {
    PyEval_RestoreThread(state_);
    const bool raised = PyErr_CheckSignals() != 0;
    state_ = PyEval_SaveThread();
    return raised;
  }

 private:
  PyThreadState* state_;
};

}  // namespace tarvik::py
