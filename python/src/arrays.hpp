// Batch arguments from Python objects, and the batch's output arrays.
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
#include <cstdint>
#include <optional>
#include <vector>

#include "py_ref.hpp"
#include "tarvik/batch.hpp"

namespace tarvik::py {

// Loads NumPy's C API table on the first call that needs it (never at
// import). False, with the internal fault raised, if NumPy cannot be reached;
// the next call tries again.
[[nodiscard]] bool ensure_numpy_api();

// The masked elements of a masked array: nonzero bytes, `step` apart.
struct Mask {
  const unsigned char* bytes = nullptr;
  std::ptrdiff_t step = 0;
  std::size_t size = 0;
  bool operator[](std::size_t i) const { return bytes[static_cast<std::ptrdiff_t>(i) * step] != 0; }
};

// One value input of a batch: a float broadcast to every element, or a
// one-dimensional float64 array in native byte order, C- or F-contiguous,
// read where it lies (at any alignment) and never copied or written. Besides
// ndarrays, any object that exposes such memory is read in place: through
// the buffer protocol (array.array('d'), memoryview), NumPy's array
// interface or __array__ (a pandas Series of floats). Lists, tuples and other
// sequences, and arrays of any other dtype, are not converted. The masked
// elements of a numpy.ma array come out as NaN.
class ArrayArg {
 public:
  // Anything the interpreter converts to one float is a broadcast value;
  // otherwise obj must offer such an array. Raises TypeError otherwise.
  [[nodiscard]] bool take(PyObject* obj);
  // The final look at a held array (and its mask); the same TypeError if it
  // no longer qualifies.
  [[nodiscard]] bool settle();
  // Valid once settled, while this object lives.
  InView view() const { return view_; }
  const std::optional<Mask>& mask() const { return mask_view_; }

 private:
  double value_ = 0.0;
  PyRef array_;
  PyRef mask_;
  InView view_;
  std::optional<Mask> mask_view_;
};

// One array of a dividend schedule: None (none), a float (one), a list or
// tuple of floats, or a 1-D float64 array as ArrayArg reads it (not a
// masked one), copied into `out` at once: a schedule is short, and its copy
// cannot change while the prices are computed. Raises TypeError (without the
// parameter's name) otherwise.
[[nodiscard]] bool take_schedule_values(PyObject* obj, std::vector<double>& out);

// The option types of a batch: True or False (or a NumPy boolean) for every
// element, or a one-dimensional contiguous NumPy bool array with one per
// element (broadcast by the length rule like a value input).
class FlagArg {
 public:
  // Raises TypeError (without the parameter's name) for anything else.
  [[nodiscard]] bool take(PyObject* obj);
  [[nodiscard]] bool settle();
  FlagView view() const { return view_; }

 private:
  PyRef array_;
  FlagView view_ = FlagView::all(true);
};

// A new zero-filled one-dimensional array of n elements and its writable
// view: float64 for values, int8 for error codes.
template <class T>
struct Output {
  PyRef array;
  std::span<T> view;
};
std::optional<Output<double>> new_values(std::size_t n);
std::optional<Output<std::int8_t>> new_codes(std::size_t n);

}  // namespace tarvik::py
