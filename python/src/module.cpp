// tarvik._core: the entry point PyInit__core, the registration of every
// function, IVError, and the 23 scalar functions.
//
// Data flow of a scalar call: the entry adaptor binds the Python arguments to
// the function's parameters (arguments.hpp), converts them to doubles and the
// boolean is_call in parameter order, calls one core operation, and returns a
// float or raises the core's IVError.
#include "module.hpp"

#include <atomic>
#include <cstdint>
#include <string>

#include "numpy_api.hpp"
#include "py_ref.hpp"
#include "tarvik/black.hpp"
#include "tarvik/black_scholes.hpp"
#include "tarvik/greeks.hpp"
#include "tarvik/implied_volatility.hpp"
#include "tarvik/normal.hpp"

namespace tarvik::py {

// ---- IVError -----------------------------------------------------------

namespace {
PyObject* g_iv_error_type = nullptr;  // written once, under the interpreter lock
}  // namespace

PyObject* iv_error_type() {
  if (g_iv_error_type == nullptr) {
    PyObject* type = PyErr_NewException("tarvik.IVError", PyExc_Exception, nullptr);
    if (type == nullptr) {
      PyErr_Clear();
      PyErr_SetString(PyExc_RuntimeError,
                      "Failed to initialize new exception type. The interpreter refused to "
                      "create tarvik.IVError.");
      return nullptr;
    }
    g_iv_error_type = type;
  }
  return g_iv_error_type;
}

PyObject* map_err(const IVError& error) {
  PyObject* type = iv_error_type();
  if (type == nullptr) return nullptr;
  const std::string message = error.message();
  const std::string_view kind = error.kind_string();
  PyRef args = PyRef::steal(Py_BuildValue("(s#s#)", kind.data(), static_cast<Py_ssize_t>(kind.size()),
                                          message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!args) return nullptr;
  PyErr_SetObject(type, args.get());
  return nullptr;
}

PyObject* raise_internal_fault(const char* what) {
  PyErr_Format(PyExc_RuntimeError, "tarvik internal error: %s", what);
  return nullptr;
}

// ---- Attributes ----------------------------------------------------------

bool add_attribute(PyObject* module, const char* name, PyObject* value) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  PyRef name_obj = PyRef::steal(PyUnicode_FromString(name));
  if (!name_obj) return false;
  if (PyList_Append(all.get(), name_obj.get()) < 0) {
    PyErr_Clear();
    PyErr_Format(PyExc_RuntimeError, "could not append __name__ to __all__ (%s)", name);
    return false;
  }
  return PyObject_SetAttr(module, name_obj.get(), value) == 0;
}

bool add_function(PyObject* module, PyMethodDef* def) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  PyRef function = PyRef::steal(PyCFunction_NewEx(def, module, module_name.get()));
  return function && add_attribute(module, def->ml_name, function.get());
}

// ---- Scalar functions ----------------------------------------------------

namespace {

// The converted arguments of a scalar call: the doubles in parameter order
// and the option type (every scalar `is_call` is the last parameter).
struct ScalarArgs {
  std::array<double, kMaxParams> values{};
  bool is_call = true;
  double operator[](std::size_t i) const { return values[i]; }
};

struct ScalarFunction {
  Signature sig;
  Result<double> (*call)(const ScalarArgs&);
};

bool is_flag(const Param& p) { return std::string_view(p.name) == "is_call"; }

template <const ScalarFunction& F>
PyObject* scalar_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    BoundArgs bound;
    if (!bound.bind(F.sig, args, kwargs)) return nullptr;
    ScalarArgs a;
    for (std::size_t i = 0; i < F.sig.params.size(); ++i) {
      if (is_flag(F.sig.params[i])) {
        const std::optional<bool> flag = bound.to_bool(i);
        if (!flag) return nullptr;
        a.is_call = *flag;
      } else {
        const std::optional<double> value = bound.to_double(i);
        if (!value) return nullptr;
        a.values[i] = *value;
      }
    }
    const Result<double> r = F.call(a);
    if (!r) return map_err(r.error());
    return PyFloat_FromDouble(r.value());
  });
}

template <const ScalarFunction& F>
PyMethodDef scalar_def() {
  return method_def(F.sig.name, &scalar_entry<F>, kDocText<F.sig, kNoDocBody>.data());
}

// Parameter lists shared by several functions.
constexpr Param kX[] = {{"x"}};
constexpr Param kForwardStrikeFlag[] = {{"forward"}, {"strike"}, {"is_call"}};
constexpr Param kForwardStrike[] = {{"forward"}, {"strike"}};
constexpr Param kBlackFlag[] = {{"forward"}, {"strike"}, {"maturity"}, {"volatility"}, {"is_call"}};
constexpr Param kBlack[] = {{"forward"}, {"strike"}, {"maturity"}, {"volatility"}};
constexpr Param kTotalVol[] = {{"forward"}, {"strike"}, {"total_vol"}, {"is_call"}};
constexpr Param kSpotForward[] = {{"spot"}, {"maturity"}, {"rate"}, {"dividend"}};
constexpr Param kSpotFlag[] = {{"spot"}, {"strike"}, {"maturity"}, {"rate"},
                               {"dividend"}, {"volatility"}, {"is_call"}};
constexpr Param kSpot[] = {{"spot"}, {"strike"}, {"maturity"}, {"rate"}, {"dividend"}, {"volatility"}};
constexpr Param kImplied[] = {{"price"}, {"forward"}, {"strike"}, {"maturity"}, {"is_call"}};
constexpr Param kNormalised[] = {{"beta"}, {"x"}, {"is_call"}};

// Python passes is_call last; the pricing operations of the core take it first.
constexpr ScalarFunction kNormPdf{{"norm_pdf", kX}, [](const ScalarArgs& a) -> Result<double> {
  return norm_pdf(a[0]);
}};
constexpr ScalarFunction kNormCdf{{"norm_cdf", kX}, [](const ScalarArgs& a) -> Result<double> {
  return norm_cdf(a[0]);
}};
constexpr ScalarFunction kNormCdfC{{"norm_cdf_c", kX}, [](const ScalarArgs& a) -> Result<double> {
  return norm_cdf_c(a[0]);
}};
constexpr ScalarFunction kBlackIntrinsic{
    {"black_intrinsic", kForwardStrikeFlag},
    [](const ScalarArgs& a) -> Result<double> { return black_intrinsic(a[0], a[1], a.is_call); }};
constexpr ScalarFunction kLogMoneyness{
    {"log_moneyness", kForwardStrike},
    [](const ScalarArgs& a) -> Result<double> { return log_moneyness(a[0], a[1]); }};
constexpr ScalarFunction kBlackPrice{
    {"black_price", kBlackFlag},
    [](const ScalarArgs& a) { return black_price(a.is_call, a[0], a[1], a[2], a[3]); }};
constexpr ScalarFunction kBlackPriceTotalVol{
    {"black_price_total_vol", kTotalVol}, [](const ScalarArgs& a) -> Result<double> {
      return black_price_total_vol(a.is_call, a[0], a[1], a[2]);
    }};
constexpr ScalarFunction kBlackScholesForward{
    {"black_scholes_forward", kSpotForward},
    [](const ScalarArgs& a) { return black_scholes_forward(a[0], a[1], a[2], a[3]); }};
constexpr ScalarFunction kBlackScholesPrice{
    {"black_scholes_price", kSpotFlag}, [](const ScalarArgs& a) {
      return black_scholes_price(a.is_call, a[0], a[1], a[2], a[3], a[4], a[5]);
    }};
constexpr ScalarFunction kImpliedVolatility{
    {"implied_volatility", kImplied},
    [](const ScalarArgs& a) { return implied_volatility(a[0], a[1], a[2], a[3], a.is_call); }};
constexpr ScalarFunction kNormalisedImpliedVolatility{
    {"normalised_implied_volatility", kNormalised},
    [](const ScalarArgs& a) { return normalised_implied_volatility(a[0], a[1], a.is_call); }};
constexpr ScalarFunction kDelta{
    {"delta", kBlackFlag}, [](const ScalarArgs& a) { return delta(a.is_call, a[0], a[1], a[2], a[3]); }};
constexpr ScalarFunction kGamma{{"gamma", kBlack},
                                [](const ScalarArgs& a) { return gamma(a[0], a[1], a[2], a[3]); }};
constexpr ScalarFunction kVega{{"vega", kBlack},
                               [](const ScalarArgs& a) { return vega(a[0], a[1], a[2], a[3]); }};
constexpr ScalarFunction kTheta{{"theta", kBlack},
                                [](const ScalarArgs& a) { return theta(a[0], a[1], a[2], a[3]); }};
constexpr ScalarFunction kVomma{{"vomma", kBlack},
                                [](const ScalarArgs& a) { return vomma(a[0], a[1], a[2], a[3]); }};
constexpr ScalarFunction kVanna{{"vanna", kBlack},
                                [](const ScalarArgs& a) { return vanna(a[0], a[1], a[2], a[3]); }};
constexpr ScalarFunction kBlackScholesDelta{
    {"black_scholes_delta", kSpotFlag}, [](const ScalarArgs& a) {
      return black_scholes_delta(a.is_call, a[0], a[1], a[2], a[3], a[4], a[5]);
    }};
constexpr ScalarFunction kBlackScholesGamma{
    {"black_scholes_gamma", kSpot},
    [](const ScalarArgs& a) { return black_scholes_gamma(a[0], a[1], a[2], a[3], a[4], a[5]); }};
constexpr ScalarFunction kBlackScholesVega{
    {"black_scholes_vega", kSpot},
    [](const ScalarArgs& a) { return black_scholes_vega(a[0], a[1], a[2], a[3], a[4], a[5]); }};
constexpr ScalarFunction kBlackScholesTheta{
    {"black_scholes_theta", kSpotFlag}, [](const ScalarArgs& a) {
      return black_scholes_theta(a.is_call, a[0], a[1], a[2], a[3], a[4], a[5]);
    }};
constexpr ScalarFunction kBlackScholesVomma{
    {"black_scholes_vomma", kSpot},
    [](const ScalarArgs& a) { return black_scholes_vomma(a[0], a[1], a[2], a[3], a[4], a[5]); }};
constexpr ScalarFunction kBlackScholesVanna{
    {"black_scholes_vanna", kSpot},
    [](const ScalarArgs& a) { return black_scholes_vanna(a[0], a[1], a[2], a[3], a[4], a[5]); }};

// Registration order (also the order of __all__).
PyMethodDef kScalarMethods[] = {
    scalar_def<kNormPdf>(),
    scalar_def<kNormCdf>(),
    scalar_def<kNormCdfC>(),
    scalar_def<kBlackIntrinsic>(),
    scalar_def<kLogMoneyness>(),
    scalar_def<kBlackPrice>(),
    scalar_def<kBlackPriceTotalVol>(),
    scalar_def<kBlackScholesForward>(),
    scalar_def<kBlackScholesPrice>(),
    scalar_def<kImpliedVolatility>(),
    scalar_def<kNormalisedImpliedVolatility>(),
    scalar_def<kDelta>(),
    scalar_def<kGamma>(),
    scalar_def<kVega>(),
    scalar_def<kTheta>(),
    scalar_def<kVomma>(),
    scalar_def<kVanna>(),
    scalar_def<kBlackScholesDelta>(),
    scalar_def<kBlackScholesGamma>(),
    scalar_def<kBlackScholesVega>(),
    scalar_def<kBlackScholesTheta>(),
    scalar_def<kBlackScholesVomma>(),
    scalar_def<kBlackScholesVanna>(),
};

// ---- Module --------------------------------------------------------------

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "Python module `tarvik._core` \xe2\x80\x94 compiled extension.",
    0,        // no per-module state
    nullptr,  // no method table: functions are added one by one
    nullptr, nullptr, nullptr, nullptr,
};

// The interpreter that first imported the module; -1 until then.
std::atomic<std::int64_t> g_owner_interpreter{-1};
// The module once initialisation has succeeded (process lifetime).
PyObject* g_module = nullptr;

bool fill_module(PyObject* module) {
  PyObject* error_type = iv_error_type();
  if (error_type == nullptr || !add_attribute(module, "IVError", error_type)) return false;
  PyRef version = PyRef::steal(PyUnicode_FromString("0.1.1"));
  if (!version || !add_attribute(module, "__version__", version.get())) return false;
  for (PyMethodDef& def : kScalarMethods) {
    if (!add_function(module, &def)) return false;
  }
  return register_batch_functions(module);
}

PyObject* init_module() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
  }
  std::int64_t expected = -1;
  if (!g_owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError, "PyO3 modules do not yet support subinterpreters");
    return nullptr;
  }
  if (g_module != nullptr) return PyRef::borrow(g_module).release();

  PyRef module = PyRef::steal(PyModule_Create2(&kModuleDef, PYTHON_ABI_VERSION));
  if (!module || !fill_module(module.get())) return nullptr;
  if (g_module == nullptr) g_module = module.release();
  return PyRef::borrow(g_module).release();
}

}  // namespace
}  // namespace tarvik::py

PyMODINIT_FUNC PyInit__core() {
  return tarvik::py::guarded([] { return tarvik::py::init_module(); });
}
