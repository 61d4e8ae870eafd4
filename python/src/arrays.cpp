// NumPy's C API, the intake of batch arguments and the output arrays.
#include "arrays.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <limits>
#include <string>

#include "binding.hpp"
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
  PyRef parsed =
      version && numpy_version
          ? PyRef::steal(PyObject_CallFunctionObjArgs(numpy_version.get(), version.get(), nullptr))
          : PyRef();
  PyRef major = parsed ? PyRef::steal(PyObject_GetAttrString(parsed.get(), "major")) : PyRef();
  const long major_value = major ? PyLong_AsLong(major.get()) : -1;
  if (major_value < 0) return numpy_api_fault("cannot read the NumPy version");

  const char* multiarray = major_value >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
  PyRef module = PyRef::steal(PyImport_ImportModule(multiarray));
  PyRef capsule =
      module ? PyRef::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API")) : PyRef();
  if (!capsule || !PyCapsule_CheckExact(capsule.get()))
    return numpy_api_fault("no _ARRAY_API capsule");
  void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
  if (table == nullptr) return numpy_api_fault("empty _ARRAY_API capsule");
  PyArray_API = static_cast<void**>(table);
  return true;
}

namespace {

// An array over the memory an object exposes, or null. Sequences would be
// copied element by element, so only objects that offer their memory are
// asked: through the buffer protocol, NumPy's array interface or __array__.
PyRef array_over(PyObject* obj) {
  if (PyList_Check(obj) || PyTuple_Check(obj) || PyUnicode_Check(obj)) return {};
  PyRef source = PyRef::steal(PyMemoryView_FromObject(obj));
  if (!source) {
    PyErr_Clear();
    if (!PyObject_HasAttrString(obj, "__array_interface__") &&
        !PyObject_HasAttrString(obj, "__array_struct__") &&
        !PyObject_HasAttrString(obj, "__array__")) {
      return {};
    }
    source = PyRef::borrow(obj);
  }
  PyRef array = PyRef::steal(PyArray_FromAny(source.get(), nullptr, 0, 0, 0, nullptr));
  if (!array) PyErr_Clear();
  return array;
}

// numpy.ma.MaskedArray (null if numpy.ma is unavailable), looked up by the
// first call that needs it. Not a function-local static: the import runs
// Python code, which lets other threads run, and one of them waiting on a
// static's guard while it holds the interpreter lock would never wake (nor
// would a child forked meanwhile). Two threads may both look it up; the
// first answer stays.
PyObject* g_masked_array_type = nullptr;
bool g_masked_array_looked_up = false;

PyObject* masked_array_type() {
  if (!g_masked_array_looked_up) {
    PyRef ma = PyRef::steal(PyImport_ImportModule("numpy.ma"));
    PyObject* t = ma ? PyObject_GetAttrString(ma.get(), "MaskedArray") : nullptr;
    if (t == nullptr) PyErr_Clear();
    if (!g_masked_array_looked_up) {
      g_masked_array_type = t;  // kept for the process
      g_masked_array_looked_up = true;
    } else {
      Py_XDECREF(t);
    }
  }
  return g_masked_array_type;
}

// The mask array of a masked array, or null for none (numpy.ma.nomask).
std::optional<PyRef> mask_of(PyObject* obj) {
  if (PyArray_CheckExact(obj) || masked_array_type() == nullptr) return PyRef();
  const int masked = PyObject_IsInstance(obj, masked_array_type());
  if (masked < 0) return std::nullopt;
  if (masked == 0) return PyRef();
  PyRef mask = PyRef::steal(PyObject_GetAttrString(obj, "mask"));
  if (!mask) return std::nullopt;
  return PyArray_Check(mask.get()) ? std::move(mask) : PyRef();
}

bool is_1d_of(PyArrayObject* a, int type) {
  return PyArray_NDIM(a) == 1 && PyArray_TYPE(a) == type && PyArray_ISNOTSWAPPED(a);
}

// Whether obj is a masked array of one element whose element is masked
// (numpy.ma.masked among them); -1 with an exception set on failure.
int is_masked_single(PyObject* obj) {
  if (PyFloat_CheckExact(obj) || PyLong_CheckExact(obj) || !PyArray_Check(obj) ||
      PyArray_CheckExact(obj) || PyArray_SIZE(reinterpret_cast<PyArrayObject*>(obj)) != 1 ||
      masked_array_type() == nullptr) {
    return 0;
  }
  const int masked = PyObject_IsInstance(obj, masked_array_type());
  if (masked <= 0) return masked;
  PyRef mask = PyRef::steal(PyObject_GetAttrString(obj, "mask"));
  if (!mask) return -1;
  if (!PyArray_Check(mask.get())) return 0;  // numpy.ma.nomask: nothing masked
  PyArrayObject* m = reinterpret_cast<PyArrayObject*>(mask.get());
  if (PyArray_SIZE(m) != 1 || PyArray_TYPE(m) != NPY_BOOL) return 0;
  return *static_cast<const unsigned char*>(PyArray_DATA(m)) != 0 ? 1 : 0;
}

const unsigned char kMaskedByte = 1;

}  // namespace

bool ArrayArg::take(PyObject* obj) {
  // A masked single element is the masked value broadcast, whatever its
  // float conversion (NaN with a warning, or the warning raised) would say.
  const int masked_single = is_masked_single(obj);
  if (masked_single < 0) return false;
  if (masked_single > 0) {
    value_ = std::numeric_limits<double>::quiet_NaN();
    view_ = InView(&value_, 1);
    mask_view_ = Mask{&kMaskedByte, 0, 1};
    return true;
  }
  const double v = PyFloat_AsDouble(obj);
  if (!(v == -1.0 && PyErr_Occurred())) {
    value_ = v;
    view_ = InView(&value_, 1);
    return true;
  }
  PyErr_Clear();  // the float conversion's error is never shown
  PyRef array = PyArray_Check(obj) ? PyRef::borrow(obj) : array_over(obj);
  if (!array) return type_error(kNotAnArray);
  if (const char* fault = array_fault(as_array(array))) return type_error(fault);
  std::optional<PyRef> mask = mask_of(obj);
  if (!mask) return false;
  array_ = std::move(array);
  mask_ = std::move(*mask);
  return true;
}

bool ArrayArg::settle() {
  if (!array_) return true;
  PyArrayObject* a = as_array(array_);
  if (const char* fault = array_fault(a)) return type_error(fault);
  view_ = InView(PyArray_DATA(a), static_cast<std::size_t>(PyArray_DIM(a, 0)));
  if (mask_) {
    PyArrayObject* m = as_array(mask_);
    if (!is_1d_of(m, NPY_BOOL) || PyArray_DIM(m, 0) != PyArray_DIM(a, 0)) {
      return type_error(kNotAnArray);
    }
    mask_view_ = Mask{static_cast<const unsigned char*>(PyArray_DATA(m)), PyArray_STRIDE(m, 0),
                      static_cast<std::size_t>(PyArray_DIM(m, 0))};
  }
  return true;
}

bool take_schedule_values(PyObject* obj, std::vector<double>& out) {
  out.clear();
  if (obj == Py_None) return true;
  if (PyList_Check(obj) || PyTuple_Check(obj)) {
    // A tuple copy holds every item while __float__ runs, whatever it does
    // to the list.
    PyRef items = PyRef::steal(PySequence_Tuple(obj));
    if (!items) return false;
    const Py_ssize_t n = PyTuple_Size(items.get());
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      const double v = PyFloat_AsDouble(PyTuple_GetItem(items.get(), i));
      if (v == -1.0 && PyErr_Occurred()) return false;
      out.push_back(v);
    }
    return true;
  }
  // The scalar functions take schedules too: NumPy's API may not be loaded.
  if (!ensure_numpy_api()) return false;
  // An ndarray is a schedule only as a 1-D float64 array: not as the float
  // that NumPy converts any one-element array to, whatever its shape or type.
  if (PyArray_Check(obj) && !is_1d_of(reinterpret_cast<PyArrayObject*>(obj), NPY_DOUBLE)) {
    return type_error("a dividend schedule is a list of floats or a 1-D float64 array");
  }
  ArrayArg array;
  if (!array.take(obj) || !array.settle()) return false;
  if (array.mask()) return type_error("a masked array is no dividend schedule");
  const InView view = array.view();
  out.reserve(view.size());
  for (std::size_t i = 0; i < view.size(); ++i) out.push_back(view[i]);
  return true;
}

bool FlagArg::take(PyObject* obj) {
  if (obj != Py_True && obj != Py_False && !is_numpy_bool(obj) && ensure_numpy_api()) {
    // A NumPy bool array, or the bool array over the memory an array-like
    // exposes (a pandas bool Series; a Polars Boolean Series, whose bits
    // NumPy unpacks into a new array). Other dtypes are never cast.
    PyRef array = PyArray_Check(obj) ? PyRef::borrow(obj) : array_over(obj);
    if (array && is_1d_of(as_array(array), NPY_BOOL)) {
      array_ = std::move(array);
      return settle();
    }
  }
  PyErr_Clear();  // NumPy unavailable: obj is then no NumPy array
  const std::optional<bool> flag = convert_bool(obj);
  if (flag) view_ = FlagView::all(*flag);
  return flag.has_value();
}

bool FlagArg::settle() {
  if (!array_) return true;
  PyArrayObject* a = as_array(array_);
  if (!is_1d_of(a, NPY_BOOL)) return type_error("expected True, False or a 1-D numpy bool array");
  if (!is_contiguous(a)) return type_error("numpy bool array must be contiguous");
  view_ = FlagView(static_cast<const std::uint8_t*>(PyArray_DATA(a)),
                   static_cast<std::size_t>(PyArray_DIM(a, 0)));
  return true;
}

std::string describe(PyObject* obj) {
  std::string out = qualified_type_name(obj);
  if (PyArray_API == nullptr) return out;
  PyRef array = PyArray_Check(obj) ? PyRef::borrow(obj) : array_over(obj);
  if (!array) return out;
  PyArrayObject* a = as_array(array);
  PyRef dtype = PyRef::steal(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(a))));
  out += " of dtype " + (dtype ? utf8(dtype.get()) : std::string("?"));
  out += " and shape (";
  for (int d = 0; d < PyArray_NDIM(a); ++d) {
    out += std::to_string(PyArray_DIM(a, d)) + (PyArray_NDIM(a) == 1 ? "," : "");
    if (d + 1 < PyArray_NDIM(a)) out += ", ";
  }
  out += ")";
  if (!is_contiguous(a)) out += ", not contiguous";
  PyErr_Clear();
  return out;
}

namespace {

template <class T>
std::optional<Output<T>> new_output(std::size_t n, int type) {
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  // Not zeroed: a kernel writes every element, and a call that fails drops
  // the array before anyone sees it.
  PyRef array = PyRef::steal(PyArray_Empty(1, dims, PyArray_DescrFromType(type), 0));
  if (!array) {
    if (!PyErr_Occurred()) raise_internal_fault("cannot create the output array");
    return std::nullopt;
  }
  PyArrayObject* a = as_array(array);
  if (!is_contiguous(a)) {
    PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
    return std::nullopt;
  }
  std::span<T> view(static_cast<T*>(PyArray_DATA(a)), n);
  return Output<T>{std::move(array), view};
}

}  // namespace

std::optional<Output<double>> new_values(std::size_t n) {
  return new_output<double>(n, NPY_DOUBLE);
}

std::optional<Output<std::int8_t>> new_codes(std::size_t n) {
  return new_output<std::int8_t>(n, NPY_INT8);
}

}  // namespace tarvik::py
