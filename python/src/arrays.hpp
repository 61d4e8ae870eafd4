// Batch arguments from Python objects, and the batch's output array.
//
// An array argument is taken in two steps. take() converts it while other
// arguments are still being converted (a float is read at once; an array is
// checked and held). settle() is the final look, made after the last
// argument that can run Python code has been converted: a later argument's
// __float__ may have changed an earlier array's dtype, shape or strides, so
// every held array is checked again and its data pointer and length are read
// only then. Between that look and the end of the kernels no Python code
// runs: the output allocation calls none (a NumPy array is not tracked by the
// garbage collector, so creating one never starts a collection).
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>

#include "py_ref.hpp"
#include "tarvik/batch.hpp"

namespace tarvik::py {

// Loads NumPy's C API table on the first call that needs it (never at
// import). False, with the internal fault raised, if NumPy cannot be reached;
// the next call tries again.
[[nodiscard]] bool ensure_numpy_api();

// One value input of a batch: a float broadcast to every element, or a
// one-dimensional float64 array in native byte order, C- or F-contiguous,
// read where it lies (at any alignment) and never copied or written.
class ArrayArg {
 public:
  // Anything the interpreter converts to one float is a broadcast value;
  // otherwise obj must be such an array. Raises TypeError otherwise.
  [[nodiscard]] bool take(PyObject* obj);
  // The final look at a held array; the same TypeError if it no longer
  // qualifies.
  [[nodiscard]] bool settle();
  // Valid once settled, while this object lives.
  InView view() const { return view_; }

 private:
  double value_ = 0.0;
  PyRef array_;
  InView view_;
};

// The option types of a batch: one flag for every element.
class FlagArg {
 public:
  FlagView view() const { return FlagView::all(is_call_); }
  void set(bool is_call) { is_call_ = is_call; }

 private:
  bool is_call_ = true;
};

// A new zero-filled one-dimensional float64 array of n elements, and its
// writable view.
struct Output {
  PyRef array;
  OutView view;
};
std::optional<Output> new_output(std::size_t n);

}  // namespace tarvik::py
