// NumPy's C API, the intake of batch arguments and the output arrays.
#include "arrays.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include "module.hpp"

namespace tarvik::py {

namespace {

constexpr const char* kNotAnArray = "expected a float or 1-D float64 numpy.ndarray";
constexpr const char* kNotContiguous = "numpy array must be a contiguous float64 buffer";

bool type_error(const char* message) {
  PyErr_SetString(PyExc_TypeError, message);
  return false;
}

bool numpy_api_fault(const char* detail) {
  PyErr_Clear();
  PyErr_Format(PyExc_RuntimeError, "Failed to access NumPy array API capsule: %s", detail);
  return false;
}

PyArrayObject* as_array(const PyRef& obj) { return reinterpret_cast<PyArrayObject*>(obj.get()); }

bool is_contiguous(PyArrayObject* a) {
  return (PyArray_FLAGS(a) & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)) != 0;
}

bool is_1d_float64(PyArrayObject* a) {
  if (PyArray_NDIM(a) != 1) return false;
  PyArray_Descr* float64 = PyArray_DescrFromType(NPY_DOUBLE);
  const bool same = PyArray_EquivTypes(PyArray_DESCR(a), float64);
  Py_XDECREF(float64);
  return same;
}

// The checks of an array input, in order; the message of the first failure.
const char* array_fault(PyArrayObject* a) {
  if (!is_1d_float64(a)) return kNotAnArray;
  if (!is_contiguous(a)) return kNotContiguous;
  return nullptr;
}

}  // namespace

// The API table lives in the _ARRAY_API capsule of NumPy's multiarray module
// (numpy._core from NumPy 2 on, numpy.core before).
bool ensure_numpy_api() {
  if (PyArray_API != nullptr) return true;
  PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return numpy_api_fault("numpy cannot be imported");
  PyRef version = PyRef::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
  PyRef lib = PyRef::steal(PyImport_ImportModule("numpy.lib"));
  PyRef numpy_version =
      lib ? PyRef::steal(PyObject_GetAttrString(lib.get(), "NumpyVersion")) : PyRef();
  PyRef parsed = version && numpy_version
                     ? PyRef::steal(PyObject_CallFunctionObjArgs(numpy_version.get(), version.get(),
                                                                 nullptr))
                     : PyRef();
  PyRef major = parsed ? PyRef::steal(PyObject_GetAttrString(parsed.get(), "major")) : PyRef();
  const long major_value = major ? PyLong_AsLong(major.get()) : -1;
  if (major_value < 0) return numpy_api_fault("cannot read the NumPy version");

  const char* multiarray = major_value >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
  PyRef module = PyRef::steal(PyImport_ImportModule(multiarray));
  PyRef capsule = module ? PyRef::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API")) : PyRef();
  if (!capsule || !PyCapsule_CheckExact(capsule.get())) return numpy_api_fault("no _ARRAY_API capsule");
  void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
  if (table == nullptr) return numpy_api_fault("empty _ARRAY_API capsule");
  PyArray_API = static_cast<void**>(table);
  return true;
}

bool ArrayArg::take(PyObject* obj) {
  const double v = PyFloat_AsDouble(obj);
  if (!(v == -1.0 && PyErr_Occurred())) {
    value_ = v;
    view_ = InView(&value_, 1);
    return true;
  }
  PyErr_Clear();  // the float conversion's error is never shown
  if (!PyArray_Check(obj)) return type_error(kNotAnArray);
  if (const char* fault = array_fault(reinterpret_cast<PyArrayObject*>(obj))) return type_error(fault);
  array_ = PyRef::borrow(obj);
  return true;
}

bool ArrayArg::settle() {
  if (!array_) return true;
  PyArrayObject* a = as_array(array_);
  if (const char* fault = array_fault(a)) return type_error(fault);
  view_ = InView(PyArray_DATA(a), static_cast<std::size_t>(PyArray_DIM(a, 0)));
  return true;
}

std::optional<Output> new_output(std::size_t n) {
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  PyRef array = PyRef::steal(PyArray_Zeros(1, dims, PyArray_DescrFromType(NPY_DOUBLE), 0));
  if (!array) {
    if (!PyErr_Occurred()) raise_internal_fault("cannot create the output array");
    return std::nullopt;
  }
  PyArrayObject* a = as_array(array);
  if (!is_contiguous(a)) {
    PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
    return std::nullopt;
  }
  OutView view(static_cast<double*>(PyArray_DATA(a)), n);
  return Output{std::move(array), view};
}

}  // namespace tarvik::py
