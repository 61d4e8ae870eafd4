// Every function of tarvik._core, one row each, in registration order (the
// order of __all__). A row is the Python signature, the core operation it
// calls and, for a batch function, its doc body; the entry adaptor, the doc
// string with its text signature, and the argument binding all come from it.
//
// A scalar row names a core function of doubles and booleans: its parameters
// are converted in order by their C++ types (double: the interpreter's float
// conversion; bool: a flag) and passed in the same order, and a value comes
// back as a float, an IVError as the Python exception.
//
// A batch row names an element computation of batch_ops.hpp: its kInputs
// value inputs come first (floats or 1-D float64 arrays), then is_call=True
// where the operation has an option type, then parallel=False (absent for the
// normal functions, which always run on the calling thread). A call binds
// its arguments, converts the flags, takes in the arrays and gives them the
// final look (arrays.hpp), applies the length rule, makes the output and
// runs the kernel.
#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <tuple>
#include <utility>

#include "arrays.hpp"
#include "binding.hpp"
#include "module.hpp"
#include "py_ref.hpp"
#include "signature.hpp"
#include "tarvik/batch.hpp"
#include "tarvik/batch_ops.hpp"

namespace tarvik::py {
namespace {

template <Text S>
inline constexpr Signature kSig = parse_signature(S.view());

using Entry = PyObject* (*)(PyObject* self, PyObject* args, PyObject* kwargs);

struct Function {
  const char* name;
  const char* doc;
  Entry entry;
};

// ---- Scalar functions ----------------------------------------------------

template <class T>
std::optional<T> convert(const BoundArgs& bound, std::size_t i);
template <>
std::optional<double> convert<double>(const BoundArgs& bound, std::size_t i) {
  return bound.to_double(i);
}
template <>
std::optional<bool> convert<bool>(const BoundArgs& bound, std::size_t i) {
  return bound.to_bool(i);
}

template <auto F, class R, class... A, std::size_t... I>
PyObject* call_scalar(const BoundArgs& bound, R (*)(A...), std::index_sequence<I...>) {
  std::tuple<std::optional<A>...> values;
  // In parameter order; the first failure ends the call.
  const bool converted =
      ((std::get<I>(values) = convert<A>(bound, I), std::get<I>(values).has_value()) && ...);
  if (!converted) return nullptr;
  const Result<double> r = F(*std::get<I>(values)...);
  if (!r) return map_err(r.error());
  return PyFloat_FromDouble(r.value());
}

template <Text S, auto F>
PyObject* scalar_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    BoundArgs bound;
    if (!bound.bind(kSig<S>, args, kwargs)) return nullptr;
    return call_scalar<F>(bound, F, std::make_index_sequence<kSig<S>.count>{});
  });
}

template <class R, class... A>
constexpr std::size_t arity(R (*)(A...)) {
  return sizeof...(A);
}

template <Text S, auto F>
constexpr Function scalar() {
  static_assert(arity(F) == kSig<S>.count, "one parameter name per argument of the operation");
  static_assert(kSig<S>.required() == kSig<S>.count, "scalar parameters have no defaults");
  return {kSig<S>.name.text, kDocString<S, "">.data(), &scalar_entry<S, F>};
}

// ---- Batch functions -----------------------------------------------------

// The layout of a batch signature: the op's value inputs, then is_call=True
// if it has an option type, then parallel=False if it may use the pool.
template <class Op>
constexpr bool batch_layout(const Signature& sig, bool has_parallel) {
  std::size_t i = Op::kInputs;
  for (std::size_t k = 0; k < i; ++k) {
    if (!sig.params[k].required()) return false;
  }
  if (Op::kOptionType &&
      !(sig.params[i].name == "is_call" && sig.params[i++].default_text == "True")) {
    return false;
  }
  if (has_parallel &&
      !(sig.params[i].name == "parallel" && sig.params[i++].default_text == "False")) {
    return false;
  }
  return i == sig.count;
}

template <class Op>
PyObject* call_batch(const Signature& sig, PyObject* args, PyObject* kwargs) {
  constexpr std::size_t N = Op::kInputs;
  BoundArgs bound;
  if (!bound.bind(sig, args, kwargs)) return nullptr;

  FlagArg is_call;
  if constexpr (Op::kOptionType) {
    const std::optional<bool> v = bound.to_bool(N, true);
    if (!v) return nullptr;
    is_call.set(*v);
  }
  Exec exec = Exec::Serial;
  if (const std::size_t p = N + (Op::kOptionType ? 1 : 0); p < sig.count) {
    const std::optional<bool> v = bound.to_bool(p, false);
    if (!v) return nullptr;
    if (*v) exec = Exec::Parallel;
  }
  if (!ensure_numpy_api()) return nullptr;

  std::array<ArrayArg, N> inputs;
  for (std::size_t k = 0; k < N; ++k) {
    if (!inputs[k].take(bound[k])) return nullptr;
  }
  std::array<InView, N> views;
  for (std::size_t k = 0; k < N; ++k) {
    if (!inputs[k].settle()) return nullptr;
    views[k] = inputs[k].view();
  }
  const Result<batch::Inputs<N>> in = batch::Inputs<N>::make(views, is_call.view());
  if (!in) return map_err(in.error());
  std::optional<Output> out = new_output(in.value().size());
  if (!out) return nullptr;
  if (const Status err = batch::run<Op>(in.value(), exec, out->view)) return map_err(*err);
  return out->array.release();
}

template <Text S, class Op>
PyObject* batch_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return call_batch<Op>(kSig<S>, args, kwargs); });
}

template <Text S, class Op, Text Doc>
constexpr Function batch() {
  static_assert(batch_layout<Op>(kSig<S>, kSig<S>.find("parallel") < kSig<S>.count),
                "value inputs, then is_call=True for an option type, then parallel=False");
  return {kSig<S>.name.text, kDocString<S, Doc>.data(), &batch_entry<S, Op>};
}

// ---- The table -------------------------------------------------------------

constexpr Function kFunctions[] = {
    scalar<"norm_pdf(x)", &norm_pdf>(),
    scalar<"norm_cdf(x)", &norm_cdf>(),
    scalar<"norm_cdf_c(x)", &norm_cdf_c>(),
    scalar<"black_intrinsic(forward, strike, is_call)", &black_intrinsic>(),
    scalar<"log_moneyness(forward, strike)", &log_moneyness>(),
    scalar<"black_price(forward, strike, maturity, volatility, is_call)", &black_price>(),
    scalar<"black_price_total_vol(forward, strike, total_vol, is_call)", &black_price_total_vol>(),
    scalar<"black_scholes_forward(spot, maturity, rate, dividend)", &black_scholes_forward>(),
    scalar<"black_scholes_price(spot, strike, maturity, rate, dividend, volatility, is_call)",
           &black_scholes_price>(),
    scalar<"implied_volatility(price, forward, strike, maturity, is_call)", &implied_volatility>(),
    scalar<"normalised_implied_volatility(beta, x, is_call)", &normalised_implied_volatility>(),
    scalar<"delta(forward, strike, maturity, volatility, is_call)", &delta>(),
    scalar<"gamma(forward, strike, maturity, volatility)", &gamma>(),
    scalar<"vega(forward, strike, maturity, volatility)", &vega>(),
    scalar<"theta(forward, strike, maturity, volatility)", &theta>(),
    scalar<"vomma(forward, strike, maturity, volatility)", &vomma>(),
    scalar<"vanna(forward, strike, maturity, volatility)", &vanna>(),
    scalar<"black_scholes_delta(spot, strike, maturity, rate, dividend, volatility, is_call)",
           &black_scholes_delta>(),
    scalar<"black_scholes_gamma(spot, strike, maturity, rate, dividend, volatility)",
           &black_scholes_gamma>(),
    scalar<"black_scholes_vega(spot, strike, maturity, rate, dividend, volatility)",
           &black_scholes_vega>(),
    scalar<"black_scholes_theta(spot, strike, maturity, rate, dividend, volatility, is_call)",
           &black_scholes_theta>(),
    scalar<"black_scholes_vomma(spot, strike, maturity, rate, dividend, volatility)",
           &black_scholes_vomma>(),
    scalar<"black_scholes_vanna(spot, strike, maturity, rate, dividend, volatility)",
           &black_scholes_vanna>(),

    batch<"norm_pdfs(x)", ops::NormPdf, "Batch Standard Normal PDF.">(),
    batch<"norm_cdfs(x)", ops::NormCdf, "Batch Standard Normal CDF.">(),
    batch<"norm_cdf_cs(x)", ops::NormCdfC,
          "Batch Standard Normal survival `1 \xe2\x88\x92 \xce\xa6(x)`.">(),
    batch<"black_prices(forwards, strikes, maturities, vols, is_call=True, parallel=False)",
          ops::BlackPrice, "Batch undiscounted Black-76 prices.">(),
    batch<"black_scholes_prices(spots, strikes, maturities, rates, dividends, vols, is_call=True, "
          "parallel=False)",
          ops::BlackScholesPrice,
          "Batch discounted Black\xe2\x80\x93Scholes\xe2\x80\x93Merton prices.">(),
    batch<"implied_volatilities(prices, forwards, strikes, maturities, is_call=True, "
          "parallel=False)",
          ops::ImpliedVolatility, "Batch Black implied volatilities.">(),
    batch<"normalised_implied_volatilities(betas, xs, is_call=True, parallel=False)",
          ops::NormalisedImpliedVolatility, "Batch normalised Black total-volatility inversions.">(),
    batch<"deltas(forwards, strikes, maturities, vols, is_call=True, parallel=False)", ops::Delta,
          "Batch Black-76 forward deltas.">(),
    batch<"gammas(forwards, strikes, maturities, vols, parallel=False)", ops::Gamma,
          "Batch Black-76 gammas.">(),
    batch<"vegas(forwards, strikes, maturities, vols, parallel=False)", ops::Vega,
          "Batch Black-76 vegas.">(),
    batch<"vommas(forwards, strikes, maturities, vols, parallel=False)", ops::Vomma,
          "Batch Black-76 vommas (volga).">(),
    batch<"vannas(forwards, strikes, maturities, vols, parallel=False)", ops::Vanna,
          "Batch Black-76 vannas.">(),
};

constexpr std::size_t kCount = std::size(kFunctions);

}  // namespace

bool add_functions(PyObject* module) {
  // The interpreter keeps a pointer to each definition for as long as the
  // function lives: they are made once and never freed.
  static PyMethodDef defs[kCount];
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  for (std::size_t i = 0; i < kCount; ++i) {
    const Function& f = kFunctions[i];
    // The interpreter calls through PyCFunction and dispatches on the flags.
    defs[i] = {f.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f.entry)),
               METH_VARARGS | METH_KEYWORDS, f.doc};
    PyRef function = PyRef::steal(PyCFunction_NewEx(&defs[i], module, module_name.get()));
    if (!function || !add_attribute(module, f.name, function.get())) return false;
  }
  return true;
}

}  // namespace tarvik::py
