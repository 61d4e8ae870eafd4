// The batch functions of tarvik._core: NumPy arrays (or floats, broadcast)
// in, a new one-dimensional float64 array out.
#pragma once

#include <Python.h>

namespace tarvik::py {

// Adds the twelve batch functions to the module, after the scalar ones.
[[nodiscard]] bool register_batch_functions(PyObject* module);

}  // namespace tarvik::py
