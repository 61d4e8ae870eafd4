// Batch functions over NumPy arrays.
//
// Data flow of a batch call: bind the arguments like a scalar call, convert
// the flags is_call and parallel, take in every array argument as an F64In
// (a broadcast float or a contiguous 1-D float64 array read in place),
// resolve the batch length, create a zero-filled output array, and run the
// serial kernel or its parallel twin over it. The interpreter lock is held
// throughout, so no Python code can touch the inputs while kernels read them.
#include "numpy_api.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <optional>
#include <stdexcept>

#include "module.hpp"
#include "py_ref.hpp"
#include "tarvik/parallel.hpp"
#include "tarvik/simd.hpp"
#include "tarvik/vector.hpp"

namespace tarvik::py {

namespace {

// ---- NumPy C API ---------------------------------------------------------
// The API table lives in the _ARRAY_API capsule of NumPy's multiarray module
// (numpy._core from NumPy 2 on, numpy.core before). It is fetched on the
// first batch call, never at import, so importing tarvik does not import
// NumPy; a failed attempt is retried by the next call.

PyObject* numpy_api_fault(const char* detail) {
  PyErr_Clear();
  PyErr_Format(PyExc_RuntimeError, "Failed to access NumPy array API capsule: %s", detail);
  return nullptr;
}

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

bool is_contiguous(PyArrayObject* a) {
  return (PyArray_FLAGS(a) & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)) != 0;
}

// ---- Array intake --------------------------------------------------------

// One batch input: a float broadcast to every element, or a one-dimensional
// contiguous float64 array read where it lies. A view of a Scalar points into
// the F64In itself, so an F64In stays in place while its view is in use.
class F64In {
 public:
  F64In() = default;
  F64In(const F64In&) = delete;
  F64In& operator=(const F64In&) = delete;

  // Takes in `obj` (borrowed). Anything the interpreter converts to one float
  // is a Scalar; otherwise obj must be a 1-D float64 ndarray in native byte
  // order, C- or F-contiguous. Raises TypeError and returns false otherwise.
  [[nodiscard]] bool from_obj(PyObject* obj) {
    const double v = PyFloat_AsDouble(obj);
    if (!(v == -1.0 && PyErr_Occurred())) {
      scalar_ = v;
      return true;
    }
    PyErr_Clear();  // the float conversion's error is never shown
    if (!PyArray_Check(obj) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(obj)) != 1 ||
        !has_float64_dtype(reinterpret_cast<PyArrayObject*>(obj))) {
      PyErr_SetString(PyExc_TypeError, "expected a float or 1-D float64 numpy.ndarray");
      return false;
    }
    if (!is_contiguous(reinterpret_cast<PyArrayObject*>(obj))) {
      PyErr_SetString(PyExc_TypeError, "numpy array must be a contiguous float64 buffer");
      return false;
    }
    array_ = PyRef::borrow(obj);
    return true;
  }

  InView as_slice() const {
    if (!array_) return InView(&scalar_, 1);
    auto* a = reinterpret_cast<PyArrayObject*>(array_.get());
    if (!is_contiguous(a)) throw std::logic_error("checked contiguous");
    return InView(static_cast<const double*>(PyArray_DATA(a)),
                  static_cast<std::size_t>(PyArray_DIM(a, 0)));
  }

 private:
  static bool has_float64_dtype(PyArrayObject* a) {
    PyArray_Descr* float64 = PyArray_DescrFromType(NPY_DOUBLE);
    const bool same = PyArray_EquivTypes(PyArray_DESCR(a), float64);
    Py_XDECREF(float64);
    return same;
  }

  double scalar_ = 0.0;
  PyRef array_;
};

// A new zero-filled 1-D float64 array of length n and its writable view.
struct Output {
  PyRef array;
  OutView view;
};

std::optional<Output> write_out(std::size_t n) {
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  PyRef array = PyRef::steal(PyArray_Zeros(1, dims, PyArray_DescrFromType(NPY_DOUBLE), 0));
  if (!array) {
    if (!PyErr_Occurred()) raise_internal_fault("cannot create the output array");
    return std::nullopt;
  }
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  if (!is_contiguous(a)) {
    PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
    return std::nullopt;
  }
  OutView view(static_cast<double*>(PyArray_DATA(a)), n);
  return Output{std::move(array), view};
}

// ---- The batch functions -------------------------------------------------

inline constexpr std::size_t kMaxInputs = 6;

// A batch function: its parameters are the array inputs (required), then
// optionally is_call, then optionally parallel. `run` hands the input views
// to the serial kernel or its parallel twin.
struct BatchFunction {
  Signature sig;
  const char* doc_body;
  Status (*run)(const InView* in, bool is_call, bool parallel, OutView out);
};

std::optional<std::size_t> find_param(const Signature& sig, std::string_view name) {
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (name == sig.params[i].name) return i;
  }
  return std::nullopt;
}

PyObject* call_batch(const BatchFunction& f, PyObject* args, PyObject* kwargs) {
  BoundArgs bound;
  if (!bound.bind(f.sig, args, kwargs)) return nullptr;

  bool is_call = true;
  if (const auto i = find_param(f.sig, "is_call")) {
    const std::optional<bool> v = bound.to_bool(*i, true);
    if (!v) return nullptr;
    is_call = *v;
  }
  bool parallel = false;
  if (const auto i = find_param(f.sig, "parallel")) {
    const std::optional<bool> v = bound.to_bool(*i, false);
    if (!v) return nullptr;
    parallel = *v;
  }
  if (!ensure_numpy_api()) return nullptr;

  const std::size_t n_inputs = f.sig.required();
  F64In inputs[kMaxInputs];
  for (std::size_t i = 0; i < n_inputs; ++i) {
    if (!inputs[i].from_obj(bound[i])) return nullptr;
  }
  InView views[kMaxInputs];
  std::size_t lengths[kMaxInputs];
  for (std::size_t i = 0; i < n_inputs; ++i) {
    views[i] = inputs[i].as_slice();
    lengths[i] = views[i].size();
  }
  // A single input (the normal functions) resolves to its own length.
  const Result<std::size_t> n = resolve_batch_len(std::span(lengths, n_inputs));
  if (!n) return map_err(n.error());

  std::optional<Output> out = write_out(n.value());
  if (!out) return nullptr;
  if (const Status err = f.run(views, is_call, parallel, out->view)) {
    // Threads that cannot start are an internal fault, not a bad argument.
    if (is_worker_pool_fault(*err)) return raise_internal_fault(err->reason());
    return map_err(*err);
  }
  return out->array.release();
}

template <const BatchFunction& F>
PyObject* batch_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return call_batch(F, args, kwargs); });
}

template <const BatchFunction& F>
PyMethodDef batch_def() {
  return method_def(F.sig.name, &batch_entry<F>, kDocText<F.sig, F.doc_body>.data());
}

constexpr Param kX[] = {{"x"}};
constexpr Param kBlackFlag[] = {{"forwards"}, {"strikes"}, {"maturities"}, {"vols"},
                                {"is_call", "True"}, {"parallel", "False"}};
constexpr Param kBlack[] = {{"forwards"}, {"strikes"}, {"maturities"}, {"vols"},
                            {"parallel", "False"}};
constexpr Param kSpotFlag[] = {{"spots"}, {"strikes"}, {"maturities"}, {"rates"}, {"dividends"},
                               {"vols"}, {"is_call", "True"}, {"parallel", "False"}};
constexpr Param kImplied[] = {{"prices"}, {"forwards"}, {"strikes"}, {"maturities"},
                              {"is_call", "True"}, {"parallel", "False"}};
constexpr Param kNormalised[] = {{"betas"}, {"xs"}, {"is_call", "True"}, {"parallel", "False"}};

// Doc bodies, UTF-8.
constexpr char kNormPdfsDoc[] = "Batch Standard Normal PDF.";
constexpr char kNormCdfsDoc[] = "Batch Standard Normal CDF.";
constexpr char kNormCdfCsDoc[] = "Batch Standard Normal survival `1 \xe2\x88\x92 \xce\xa6(x)`.";
constexpr char kBlackPricesDoc[] = "Batch undiscounted Black-76 prices.";
constexpr char kBlackScholesPricesDoc[] =
    "Batch discounted Black\xe2\x80\x93Scholes\xe2\x80\x93Merton prices.";
constexpr char kImpliedDoc[] = "Batch Black implied volatilities.";
constexpr char kNormalisedDoc[] = "Batch normalised Black total-volatility inversions.";
constexpr char kDeltasDoc[] = "Batch Black-76 forward deltas.";
constexpr char kGammasDoc[] = "Batch Black-76 gammas.";
constexpr char kVegasDoc[] = "Batch Black-76 vegas.";
constexpr char kVommasDoc[] = "Batch Black-76 vommas (volga).";
constexpr char kVannasDoc[] = "Batch Black-76 vannas.";

constexpr BatchFunction kNormPdfs{{"norm_pdfs", kX}, kNormPdfsDoc,
                                  [](const InView* in, bool, bool, OutView out) {
                                    return norm_pdf_slice(in[0], out);
                                  }};
constexpr BatchFunction kNormCdfs{{"norm_cdfs", kX}, kNormCdfsDoc,
                                  [](const InView* in, bool, bool, OutView out) {
                                    return norm_cdf_slice(in[0], out);
                                  }};
constexpr BatchFunction kNormCdfCs{{"norm_cdf_cs", kX}, kNormCdfCsDoc,
                                   [](const InView* in, bool, bool, OutView out) {
                                     return norm_cdf_c_slice(in[0], out);
                                   }};
constexpr BatchFunction kBlackPrices{
    {"black_prices", kBlackFlag}, kBlackPricesDoc,
    [](const InView* in, bool is_call, bool parallel, OutView out) {
      return (parallel ? black_price_slice_par : black_price_slice)(in[0], in[1], in[2], in[3],
                                                                    is_call, out);
    }};
constexpr BatchFunction kBlackScholesPrices{
    {"black_scholes_prices", kSpotFlag}, kBlackScholesPricesDoc,
    [](const InView* in, bool is_call, bool parallel, OutView out) {
      return (parallel ? black_scholes_price_slice_par : black_scholes_price_slice)(
          in[0], in[1], in[2], in[3], in[4], in[5], is_call, out);
    }};
constexpr BatchFunction kImpliedVolatilities{
    {"implied_volatilities", kImplied}, kImpliedDoc,
    [](const InView* in, bool is_call, bool parallel, OutView out) {
      return (parallel ? implied_volatility_slice_par : implied_volatility_slice)(
          in[0], in[1], in[2], in[3], is_call, out);
    }};
constexpr BatchFunction kNormalisedImpliedVolatilities{
    {"normalised_implied_volatilities", kNormalised}, kNormalisedDoc,
    [](const InView* in, bool is_call, bool parallel, OutView out) {
      return (parallel ? normalised_implied_volatility_slice_par
                       : normalised_implied_volatility_slice)(in[0], in[1], is_call, out);
    }};
constexpr BatchFunction kDeltas{{"deltas", kBlackFlag}, kDeltasDoc,
                                [](const InView* in, bool is_call, bool parallel, OutView out) {
                                  return (parallel ? delta_slice_par : delta_slice)(
                                      in[0], in[1], in[2], in[3], is_call, out);
                                }};
constexpr BatchFunction kGammas{{"gammas", kBlack}, kGammasDoc,
                                [](const InView* in, bool, bool parallel, OutView out) {
                                  return (parallel ? gamma_slice_par : gamma_slice)(
                                      in[0], in[1], in[2], in[3], out);
                                }};
constexpr BatchFunction kVegas{{"vegas", kBlack}, kVegasDoc,
                               [](const InView* in, bool, bool parallel, OutView out) {
                                 return (parallel ? vega_slice_par : vega_slice)(
                                     in[0], in[1], in[2], in[3], out);
                               }};
constexpr BatchFunction kVommas{{"vommas", kBlack}, kVommasDoc,
                                [](const InView* in, bool, bool parallel, OutView out) {
                                  return (parallel ? vomma_slice_par : vomma_slice)(
                                      in[0], in[1], in[2], in[3], out);
                                }};
constexpr BatchFunction kVannas{{"vannas", kBlack}, kVannasDoc,
                                [](const InView* in, bool, bool parallel, OutView out) {
                                  return (parallel ? vanna_slice_par : vanna_slice)(
                                      in[0], in[1], in[2], in[3], out);
                                }};

// Registration order (also the order of __all__).
PyMethodDef kBatchMethods[] = {
    batch_def<kNormPdfs>(),     batch_def<kNormCdfs>(),
    batch_def<kNormCdfCs>(),    batch_def<kBlackPrices>(),
    batch_def<kBlackScholesPrices>(), batch_def<kImpliedVolatilities>(),
    batch_def<kNormalisedImpliedVolatilities>(), batch_def<kDeltas>(),
    batch_def<kGammas>(),       batch_def<kVegas>(),
    batch_def<kVommas>(),       batch_def<kVannas>(),
};

}  // namespace

bool register_batch_functions(PyObject* module) {
  for (PyMethodDef& def : kBatchMethods) {
    if (!add_function(module, &def)) return false;
  }
  return true;
}

}  // namespace tarvik::py
