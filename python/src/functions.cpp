// Every function of tarvik._core, one row each, in registration order (the
// order of __all__). A row is the Python signature, the core operation it
// calls and, for a batch function, its doc body; the entry adaptor, the doc
// string with its text signature, and the argument binding all come from it.
//
// A scalar row names a core function of doubles and booleans: its parameters
// are converted in order by their C++ types (double: the interpreter's float
// conversion; bool: a flag) and passed in the same order, and a value comes
// back as a float, an IVError as the Python exception. A row with a dividend
// schedule (scheduled<>) ends its signature in "*, dividend_times,
// dividend_amounts", which become its core function's last parameter, a
// DividendSchedule (batch rows likewise, for an operation with kSchedule).
//
// A batch row names an operation of batch/ops.hpp: its kInputs
// value inputs come first (floats or 1-D float64 arrays), then is_call=True
// where the operation has an option type, then parallel=False (absent for the
// normal functions, which always run on the calling thread). A call binds
// its arguments, converts the flags, takes in the arrays and gives them the
// final look (arrays.hpp), applies the length rule, makes the output and
// runs the kernel.
//
// A row of its own shape (own<>) names a body that binds and converts its
// arguments itself, such as the private table writer _csv_rows. A name with a
// leading underscore is a module attribute but not in __all__.
#include <Python.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <tuple>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "binding.hpp"
#include "module.hpp"
#include "py_ref.hpp"
#include "signature.hpp"
#include "tarvik/bachelier.hpp"
#include "tarvik/dividends.hpp"
#include "tarvik/elementary.hpp"
#include "tarvik/batch.hpp"
#include "batch/ops.hpp"
#include "tarvik/implied_volatility.hpp"
#include "tarvik/quotes.hpp"
#include "tarvik/surface.hpp"
#include "text.hpp"

namespace tarvik::py {
namespace {

template <Text S>
inline constexpr Signature kSig = parse_signature(S.view());

// The two calling conventions: a positional tuple and a keyword dictionary,
// and from CPython 3.10 on (where the stable ABI offers it) the vectorcall
// array with the keyword names apart, which spares the interpreter making the
// tuple and the dictionary.
// clang-format off
using Entry = PyObject* (*)(PyObject* self, PyObject* args, PyObject* kwargs);
using FastEntry = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
// clang-format on
constexpr int kMethFastcall = 0x0080;  // METH_FASTCALL, stable from 3.10

// What each kind of argument accepts, for the note that a wrong one gets.
constexpr const char* kFloatAccepted = "pass a float";
constexpr const char* kFlagAccepted = "pass True or False";
constexpr const char* kFlagsAccepted =
    "pass True, False or a 1-D bool array (a NumPy bool array, or a pandas or Polars Boolean "
    "Series without missing values)";
constexpr const char* kValuesAccepted =
    "pass a float or a contiguous 1-D float64 array (numpy.ascontiguousarray(x, dtype=float))";

constexpr const char* kScheduleAccepted =
    "pass None, a list of floats or a 1-D float64 array (one element per dividend)";

struct Function {
  const char* name;
  const char* doc;
  Entry entry;
  FastEntry fast;
  Entry codes = nullptr;  // a batch function's error codes, for error_codes()
};

// The interned parameter names of a signature, made on first use.
template <Text S>
const ParamNames& names_of() {
  static const ParamNames names(kSig<S>);
  return names;
}

// The body of an entry binds the call's arguments, whichever convention
// brought them, then does the function's work.
template <Text S, class Body>
PyObject* tuple_entry(PyObject* args, PyObject* kwargs, Body body) {
  return guarded([&]() -> PyObject* {
    BoundArgs bound;
    if (!bound.bind(kSig<S>, names_of<S>(), args, kwargs)) return nullptr;
    return body(bound);
  });
}

template <Text S, class Body>
PyObject* vector_entry(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Body body) {
  return guarded([&]() -> PyObject* {
    BoundArgs bound;
    if (!bound.bind(kSig<S>, names_of<S>(), args, nargs, kwnames)) return nullptr;
    return body(bound);
  });
}

// ---- Scalar functions ----------------------------------------------------

template <class T>
std::optional<T> convert(const BoundArgs& bound, std::size_t i);
template <>
std::optional<double> convert<double>(const BoundArgs& bound, std::size_t i) {
  std::optional<double> v = bound.to_double(i);
  if (!v) bound.note_the_argument(i, kFloatAccepted);
  return v;
}
template <>
std::optional<bool> convert<bool>(const BoundArgs& bound, std::size_t i) {
  std::optional<bool> v = bound.to_bool(i);
  if (!v) bound.note_the_argument(i, kFlagAccepted);
  return v;
}

// ---- Dividend schedules ----------------------------------------------------

// The schedule of a call: dividend_times and dividend_amounts copied and
// checked (an IVError invalid_input naming the argument at fault).
struct ScheduleArgs {
  std::vector<double> times, amounts;
  DividendSchedule view() const { return {times, amounts}; }
};

std::optional<ScheduleArgs> take_schedule(const Signature& sig, const BoundArgs& bound) {
  ScheduleArgs schedule;
  const std::pair<std::size_t, std::vector<double>*> parts[] = {
      {sig.find("dividend_times"), &schedule.times},
      {sig.find("dividend_amounts"), &schedule.amounts}};
  for (const auto& [i, out] : parts) {
    if (bound[i] != nullptr && !take_schedule_values(bound[i], *out)) {
      bound.name_the_parameter(i);
      bound.note_the_argument(i, kScheduleAccepted);
      return std::nullopt;
    }
  }
  if (Status err = check_dividend_schedule(schedule.view())) {
    map_err(*err);
    return std::nullopt;
  }
  return schedule;
}

PyObject* float_or_error(const Result<double>& r) {
  if (!r) return map_err(r.error());
  return PyFloat_FromDouble(r.value());
}

// Converts the positional parameters I... (in order; the first failure ends
// the call) by their C++ types and calls F; a last parameter beyond them is
// the dividend schedule, from dividend_times and dividend_amounts.
template <auto F, class R, class... A, std::size_t... I>
PyObject* call_scalar(const Signature& sig, const BoundArgs& bound, R (*)(A...),
                      std::index_sequence<I...>) {
  using Args = std::tuple<A...>;
  std::tuple<std::optional<std::tuple_element_t<I, Args>>...> values;
  const bool converted =
      ((std::get<I>(values) = convert<std::tuple_element_t<I, Args>>(bound, I),
        std::get<I>(values).has_value()) &&
       ...);
  if (!converted) return nullptr;
  if constexpr (sizeof...(I) < sizeof...(A)) {
    const std::optional<ScheduleArgs> schedule = take_schedule(sig, bound);
    if (!schedule) return nullptr;
    return float_or_error(F(*std::get<I>(values)..., schedule->view()));
  } else {
    return float_or_error(F(*std::get<I>(values)...));
  }
}

template <Text S, auto F>
PyObject* call_scalar(const BoundArgs& bound) {
  return call_scalar<F>(kSig<S>, bound, F, std::make_index_sequence<kSig<S>.positional>{});
}

template <Text S, auto F>
PyObject* scalar_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return tuple_entry<S>(args, kwargs, call_scalar<S, F>);
}

template <class R, class... A>
constexpr std::size_t arity(R (*)(A...)) {
  return sizeof...(A);
}

// The common call in the vectorcall convention: every argument by position
// and of its exact type (a float for a double, True or False for a flag).
// Reading those runs none of the caller's code, and the caller holds them
// for the call, so they are read in place and F is called at once; `taken`
// says whether they were. Anything else goes through the binder, which
// converts and names the arguments.
inline bool exact(PyObject* obj, double& out) {
  if (Py_TYPE(obj) != &PyFloat_Type) return false;
  out = PyFloat_AsDouble(obj);
  return true;
}
inline bool exact(PyObject* obj, bool& out) {
  out = obj == Py_True;
  return out || obj == Py_False;
}

template <auto F, class R, class... A, std::size_t... I>
PyObject* call_exact(PyObject* const* args, R (*)(A...), std::index_sequence<I...>, bool& taken) {
  std::tuple<A...> values;
  taken = (exact(args[I], std::get<I>(values)) && ...);
  if (!taken) return nullptr;
  return guarded([&] { return float_or_error(std::apply(F, values)); });
}

template <Text S, auto F>
PyObject* scalar_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if constexpr (arity(F) == kSig<S>.positional) {
    if (kwnames == nullptr && static_cast<std::size_t>(nargs) == kSig<S>.positional) {
      bool taken = false;
      PyObject* out = call_exact<F>(args, F, std::make_index_sequence<arity(F)>{}, taken);
      if (taken) return out;
    }
  }
  return vector_entry<S>(args, nargs, kwnames, call_scalar<S, F>);
}

// Whether a signature ends in "*, dividend_times, dividend_amounts" from
// parameter i on.
constexpr bool schedule_layout(const Signature& sig, std::size_t i) {
  return sig.positional == i && i + 2 == sig.count && sig.params[i].name == "dividend_times" &&
         sig.params[i + 1].name == "dividend_amounts";
}

template <Text S, auto F, Text Doc>
constexpr Function scheduled() {
  static_assert(arity(F) == kSig<S>.positional + 1, "the positional parameters, then a schedule");
  static_assert(kSig<S>.required() == kSig<S>.positional, "scalar parameters have no defaults");
  static_assert(schedule_layout(kSig<S>, kSig<S>.positional));
  return {kSig<S>.name.text, kDocString<S, Doc>.data(), &scalar_entry<S, F>,
          &scalar_fast<S, F>};
}

template <Text S, auto F, Text Doc = "">
constexpr Function scalar() {
  static_assert(arity(F) == kSig<S>.count, "one parameter name per argument of the operation");
  static_assert(kSig<S>.required() == kSig<S>.count, "scalar parameters have no defaults");
  return {kSig<S>.name.text, kDocString<S, Doc>.data(), &scalar_entry<S, F>, &scalar_fast<S, F>};
}

// ---- Batch functions -----------------------------------------------------

template <class Op>
concept Scheduled = Op::kSchedule;

// The layout of a batch signature: the op's value inputs, then is_call=True
// if it has an option type, then parallel=False if it may use the pool, then
// for cash dividends "*, dividend_times, dividend_amounts".
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
  if constexpr (Scheduled<Op>) return schedule_layout(sig, i);
  return i == sig.count;
}

// From this much work (in elements of the cheapest operations, some 40 µs)
// a batch lets other Python threads run while it computes, as NumPy's own
// loops do; below it the lock's hand-over would cost more than it gives.
inline constexpr std::size_t kReleaseWork = 1024;

// Runs kernel(interrupt), a batch kernel of `work` units in all, into `err`,
// with the interpreter lock released from kReleaseWork on (its inputs are
// held and settled, and the kernel touches no Python object). A batch long
// enough checks the signal handlers now and then (Interrupt): when one raises
// (Ctrl-C's KeyboardInterrupt), the batch stops and this returns false, that
// exception pending, so that a partly written output is never returned.
template <class Kernel>
bool run_released(std::size_t work, Kernel kernel, Status& err) {
  if (work < kReleaseWork) {
    err = kernel(nullptr);
    return true;
  }
  bool stopped = false;
  {
    WithoutGil unlocked(true);
    auto signals = [&] { return unlocked.check_signals(); };
    Interrupt interrupt(signals);
    err = kernel(&interrupt);
    stopped = interrupt.stopped();
  }
  if (stopped && !PyErr_Occurred()) raise_internal_fault("batch stopped without an exception");
  return !stopped;
}

// Masked elements of any input are NaN (values) or kMasked (error codes).
inline constexpr std::int8_t kMasked = batch::error_code(ErrorKind::InvalidInput) + 1;

template <class T, std::size_t N>
void apply_masks(const std::array<ArrayArg, N>& inputs, std::span<T> out, T masked) {
  for (const ArrayArg& input : inputs) {
    if (!input.mask()) continue;
    const Mask& mask = *input.mask();
    const std::size_t step = mask.size == 1 ? 0 : 1;
    for (std::size_t i = 0; i < out.size(); ++i) {
      if (mask[i * step]) out[i] = masked;
    }
  }
}

// The intake of a batch function: binds the flags, takes in and settles the
// arrays, applies the length rule, then calls compute(inputs, in, exec),
// which makes and fills the result.
// After the length rule failed (its message is the contract's): a note that
// names every input with its length, e.g. "input lengths: forwards 3,
// strikes 2, maturities 1, vols 1; each must be 1 or the batch's length".
// The option types are named where they are an array (`flags`, their length,
// is then not 1; nothing for a function without them).
template <std::size_t N>
void note_the_lengths(const Signature& sig, const std::array<InView, N>& views,
                      std::optional<std::size_t> flags) {
  std::string text = "input lengths:";
  for (std::size_t k = 0; k < N; ++k) {
    const char* name = sig.params[k].name.text;
    text += k ? ", " : " ";
    text.append(name, strnlen(name, kMaxName));
    text += ' ';
    text += std::to_string(views[k].size());
  }
  if (flags && *flags != 1) {
    text += ", is_call ";
    text += std::to_string(*flags);
  }
  text += "; each must be 1 or the batch's length";
  add_note(text.c_str());
}

template <class Op, class Compute>
PyObject* with_batch_inputs(const Signature& sig, const BoundArgs& bound, Compute compute) {
  constexpr std::size_t N = Op::kInputs;

  FlagArg is_call;
  const auto is_call_failed = [&] {
    bound.name_the_parameter(N);
    bound.note_the_argument(N, kFlagsAccepted);
    return nullptr;
  };
  if constexpr (Op::kOptionType) {
    if (bound[N] != nullptr && !is_call.take(bound[N])) return is_call_failed();
  }
  Exec exec = Exec::Serial;
  if (const std::size_t p = N + (Op::kOptionType ? 1 : 0); p < sig.positional) {
    const std::optional<bool> v = bound.to_bool(p, false);
    if (!v) {
      bound.note_the_argument(p, kFlagAccepted);
      return nullptr;
    }
    if (*v) exec = Exec::Parallel;
  }
  if (!ensure_numpy_api()) return nullptr;
  std::optional<ScheduleArgs> schedule;
  if constexpr (Scheduled<Op>) {
    schedule = take_schedule(sig, bound);
    if (!schedule) return nullptr;
  }

  std::array<ArrayArg, N> inputs;
  for (std::size_t k = 0; k < N; ++k) {
    if (!inputs[k].take(bound[k])) {
      bound.note_the_argument(k, kValuesAccepted);
      return nullptr;
    }
  }
  // The final look: nothing after it runs Python code.
  std::array<InView, N> views;
  for (std::size_t k = 0; k < N; ++k) {
    if (!inputs[k].settle()) {
      bound.note_the_argument(k, kValuesAccepted);
      return nullptr;
    }
    views[k] = inputs[k].view();
  }
  if (!is_call.settle()) return is_call_failed();
  const Result<batch::Inputs<N>> in = batch::Inputs<N>::make(
      views, is_call.view(), schedule ? schedule->view() : DividendSchedule{});
  if (!in) {
    map_err(in.error());
    note_the_lengths(sig, views,
                     Op::kOptionType ? std::optional(is_call.view().size()) : std::nullopt);
    return nullptr;
  }
  return compute(inputs, in.value(), exec);
}

// The body of a batch function: its values or, for error_codes, the error
// code of every element.
template <class Op, bool Codes>
PyObject* call_batch(const Signature& sig, const BoundArgs& bound) {
  constexpr std::size_t N = Op::kInputs;
  return with_batch_inputs<Op>(sig, bound,
                               [&](const std::array<ArrayArg, N>& inputs,
                                   const batch::Inputs<N>& in, Exec exec) -> PyObject* {
                                 const std::size_t n = in.size();
                                 auto out = [n] {
                                   if constexpr (Codes) {
                                     return new_codes(n);
                                   } else {
                                     return new_values(n);
                                   }
                                 }();
                                 if (!out) return nullptr;
                                 Status err;
                                 const auto kernel = [&](Interrupt* interrupt) {
                                   return batch::run<Op>(in, exec, out->view, interrupt);
                                 };
                                 if (!run_released(n * Op::kWork, kernel, err)) return nullptr;
                                 if (err) return map_err(*err);
                                 if constexpr (Codes) {
                                   apply_masks(inputs, out->view, kMasked);
                                 } else {
                                   apply_masks(inputs, out->view, batch::kRejected);
                                 }
                                 return out->array.release();
                               });
}

// The body of a batch function whose element is a record (ops::BlackGreeks):
// a dict of one new float64 array per field, keyed by Names in order.
template <class Op, const char* const* Names>
PyObject* call_fields(const Signature& sig, const BoundArgs& bound) {
  constexpr std::size_t N = Op::kInputs;
  constexpr std::size_t F = Op::kFields;
  return with_batch_inputs<Op>(
      sig, bound,
      [&](const std::array<ArrayArg, N>& inputs, const batch::Inputs<N>& in,
          Exec exec) -> PyObject* {
        const std::size_t n = in.size();
        PyRef dict = PyRef::steal(PyDict_New());
        if (!dict) return nullptr;
        std::array<OutView, F> views;
        for (std::size_t f = 0; f < F; ++f) {
          std::optional<Output<double>> out = new_values(n);
          if (!out || PyDict_SetItemString(dict.get(), Names[f], out->array.get()) < 0)
            return nullptr;
          views[f] = out->view;  // the dict holds the array
        }
        Status err;
        const auto kernel = [&](Interrupt* interrupt) {
          return batch::run_fields<Op>(in, exec, std::span<const OutView, F>(views), interrupt);
        };
        if (!run_released(n * Op::kWork, kernel, err)) return nullptr;
        if (err) return map_err(*err);
        for (const OutView& view : views) apply_masks(inputs, view, batch::kRejected);
        return dict.release();
      });
}

template <Text S, class Op, const char* const* Names>
PyObject* call_fields(const BoundArgs& bound) {
  return call_fields<Op, Names>(kSig<S>, bound);
}

template <Text S, class Op, const char* const* Names>
PyObject* fields_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return tuple_entry<S>(args, kwargs, call_fields<S, Op, Names>);
}

template <Text S, class Op, const char* const* Names>
PyObject* fields_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return vector_entry<S>(args, nargs, kwnames, call_fields<S, Op, Names>);
}

template <Text S, class Op, bool Codes>
PyObject* call_batch(const BoundArgs& bound) {
  return call_batch<Op, Codes>(kSig<S>, bound);
}

template <Text S, class Op, bool Codes>
PyObject* batch_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return tuple_entry<S>(args, kwargs, call_batch<S, Op, Codes>);
}

template <Text S, class Op>
PyObject* batch_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return vector_entry<S>(args, nargs, kwnames, call_batch<S, Op, false>);
}

template <Text S, class Op, Text Doc>
constexpr Function batch() {
  static_assert(batch_layout<Op>(kSig<S>, kSig<S>.find("parallel") < kSig<S>.positional),
                "value inputs, then is_call=True for an option type, then parallel=False");
  return {kSig<S>.name.text, kDocString<S, Doc>.data(), &batch_entry<S, Op, false>,
          &batch_fast<S, Op>, &batch_entry<S, Op, true>};
}

// A batch function whose element is a record: one dict of arrays, keyed by
// Names. It has no error codes of its own (error_codes() refuses it; each
// field's codes are its single-quantity function's).
template <Text S, class Op, const char* const* Names, Text Doc>
constexpr Function fields() {
  static_assert(batch_layout<Op>(kSig<S>, true),
                "value inputs, then is_call=True for an option type, then parallel=False");
  return {kSig<S>.name.text, kDocString<S, Doc>.data(), &fields_entry<S, Op, Names>,
          &fields_fast<S, Op, Names>};
}

constexpr const char* kBlackGreekNames[] = {"price", "delta", "gamma", "vega",
                                            "theta", "vanna", "vomma"};
constexpr const char* kSpotGreekNames[] = {"price", "delta", "gamma", "vega",        "theta",
                                           "vanna", "vomma", "rho",   "dividend_rho"};
static_assert(std::size(kBlackGreekNames) == ops::BlackGreeks::kFields);
static_assert(std::size(kSpotGreekNames) == ops::BlackScholesGreeks::kFields);
static_assert(std::size(kBlackGreekNames) == ops::BachelierGreeks::kFields);

// ---- Functions of their own shape ---------------------------------------

// A row whose body binds and converts its arguments itself.
using Body = PyObject* (*)(const BoundArgs& bound);

template <Text S, Body B>
PyObject* own_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return tuple_entry<S>(args, kwargs, B);
}

template <Text S, Body B>
PyObject* own_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return vector_entry<S>(args, nargs, kwnames, B);
}

template <Text S, Body B, Text Doc>
constexpr Function own() {
  return {kSig<S>.name.text, kDocString<S, Doc>.data(), &own_entry<S, B>, &own_fast<S, B>};
}

// _csv_rows(values, columns=1, parallel=False, before=None, after=None): the
// values, row after row, as CSV lines of `columns` fields (text::csv_rows),
// each led by its line of `before` and a comma and ended by its line of
// `after` where these are given (text::csv_rows_between), as a bytearray.
PyObject* csv_rows(const BoundArgs& bound) {
  if (!ensure_numpy_api()) return nullptr;
  ArrayArg values;
  if (!values.take(bound[0])) {
    bound.note_the_argument(0, kValuesAccepted);
    return nullptr;
  }
  std::size_t columns = 1;
  if (bound[1] != nullptr) {
    const Py_ssize_t c = PyNumber_AsSsize_t(bound[1], PyExc_OverflowError);
    if (c == -1 && PyErr_Occurred()) {
      bound.name_the_parameter(1);
      bound.note_the_argument(1, "pass an int of at least 1");
      return nullptr;
    }
    if (c < 1) {
      PyErr_Format(PyExc_ValueError, "_csv_rows() columns must be at least 1, not %zd", c);
      return nullptr;
    }
    columns = static_cast<std::size_t>(c);
  }
  const std::optional<bool> parallel = bound.to_bool(2, false);
  if (!parallel) {
    bound.note_the_argument(2, kFlagAccepted);
    return nullptr;
  }
  // The final look: nothing after it runs Python code.
  if (!values.settle()) {
    bound.note_the_argument(0, kValuesAccepted);
    return nullptr;
  }
  InView view = values.view();
  const std::size_t n = view.size();
  if (n % columns != 0) {
    PyErr_Format(PyExc_ValueError,
                 "_csv_rows() takes whole rows: %zu values do not fill rows of %zu columns", n,
                 columns);
    return nullptr;
  }
  // The lines around the rows, bytes of one line per row each (held by
  // `bound` while they are read).
  text::Lines around[2];
  bool given[2] = {false, false};
  std::size_t around_size = 0;
  for (int k = 0; k < 2; ++k) {
    PyObject* lines = bound[3 + k];
    if (lines == nullptr || lines == Py_None) continue;
    const char* name = k == 0 ? "before" : "after";
    if (!PyBytes_Check(lines)) {
      PyErr_Format(PyExc_TypeError, "_csv_rows() argument '%s' must be bytes or None, not %s", name,
                   qualified_type_name(lines).c_str());
      return nullptr;
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(lines, &data, &size) < 0) return nullptr;
    around[k] = text::lines_of(std::string_view(data, static_cast<std::size_t>(size)), n / columns);
    if (around[k].starts.empty()) {
      PyErr_Format(PyExc_ValueError,
                   "_csv_rows() argument '%s' must hold one line per row (%zu), each ended by a "
                   "line feed",
                   name, n / columns);
      return nullptr;
    }
    given[k] = true;
    around_size += static_cast<std::size_t>(size);
  }
  if (given[1] && !given[0]) {
    PyErr_SetString(PyExc_ValueError, "_csv_rows() takes 'after' only with 'before'");
    return nullptr;
  }
  if (n > (PY_SSIZE_T_MAX - around_size) / (text::kMaxShortest + 1)) return PyErr_NoMemory();
  std::vector<double> unmasked;  // a masked element is written as a NaN
  if (const std::optional<Mask>& mask = values.mask()) {
    unmasked.resize(n);
    for (std::size_t i = 0; i < n; ++i) unmasked[i] = (*mask)[i] ? std::nan("") : view[i];
    view = InView(std::span<const double>(unmasked));
  }
  // Written in place into a bytearray of the largest size, then cut to the
  // size written: no copy of the text (a bytes object cannot be shrunk
  // through the stable ABI).
  PyObject* result = PyByteArray_FromStringAndSize(
      nullptr, static_cast<Py_ssize_t>(around_size + text::csv_capacity(n)));
  if (result == nullptr) return nullptr;
  char* out = PyByteArray_AsString(result);
  std::size_t written = 0;
  {
    WithoutGil unlocked(n >= kReleaseWork);
    const Exec exec = *parallel ? Exec::Parallel : Exec::Serial;
    written = given[0] ? text::csv_rows_between(around[0], given[1] ? &around[1] : nullptr, view,
                                                columns, out, exec)
                       : text::csv_rows(view, columns, out, exec);
  }
  if (PyByteArray_Resize(result, static_cast<Py_ssize_t>(written)) != 0) {
    Py_DECREF(result);
    return nullptr;
  }
  return result;
}

// _csv_numbers(text): the fields of bytes separated by line feeds, read as
// numbers (text::read_numbers): a float64 array and an int8 array of kinds.
PyObject* csv_numbers(const BoundArgs& bound) {
  PyObject* text = bound[0];  // held by `bound` while it is read
  if (!PyBytes_Check(text)) {
    PyErr_Format(PyExc_TypeError, "_csv_numbers() argument 'text' must be bytes, not %s",
                 qualified_type_name(text).c_str());
    return nullptr;
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(text, &data, &size) < 0) return nullptr;
  const std::string_view view(data, static_cast<std::size_t>(size));
  std::size_t n = 1;
  for (char c : view) n += c == '\n';
  if (!ensure_numpy_api()) return nullptr;
  std::optional<Output<double>> values = new_values(n);
  if (!values) return nullptr;
  std::optional<Output<std::int8_t>> kinds = new_codes(n);
  if (!kinds) return nullptr;
  {
    // bytes cannot change: nothing here touches a Python object.
    WithoutGil unlocked(n >= kReleaseWork);
    text::read_numbers(view, values->view.data(), kinds->view.data());
  }
  return PyTuple_Pack(2, values->array.get(), kinds->array.get());
}

// The final look at N value arrays (or floats), arguments first..first+N-1
// of a row's own shape: none may be masked. The name is the function's, for
// the message.
template <std::size_t N>
bool settle_values(const BoundArgs& bound, const char* name, std::array<ArrayArg, N>& args,
                   std::size_t first = 0) {
  for (std::size_t i = 0; i < N; ++i) {
    if (!args[i].settle()) {
      bound.note_the_argument(first + i, kValuesAccepted);
      return false;
    }
    if (args[i].mask()) {
      PyErr_Format(PyExc_TypeError, "%s() takes no masked arrays", name);
      return false;
    }
  }
  return true;
}

// Takes and settles them (settle again after any later conversion that can
// run Python code).
template <std::size_t N>
bool take_values(const BoundArgs& bound, const char* name, std::array<ArrayArg, N>& args,
                 std::size_t first = 0) {
  if (!ensure_numpy_api()) return false;
  for (std::size_t i = 0; i < N; ++i) {
    if (!args[i].take(bound[first + i])) {
      bound.note_the_argument(first + i, kValuesAccepted);
      return false;
    }
  }
  return settle_values(bound, name, args, first);
}

std::vector<double> copy_of(InView v) {
  std::vector<double> out(v.size());
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = v[i];
  return out;
}

// _parity_line(strikes, differences): the least-squares line of put-call
// parity through the points (K_i, C_i - P_i) (parity_line), as a tuple of
// the forward, the discount factor and the root-mean-square residual.
PyObject* parity_line_of(const BoundArgs& bound) {
  std::array<ArrayArg, 2> args;
  if (!take_values(bound, "_parity_line", args)) return nullptr;
  const InView strikes = args[0].view(), differences = args[1].view();
  if (strikes.size() != differences.size()) {
    PyErr_Format(PyExc_ValueError,
                 "_parity_line() takes as many differences as strikes, not %zu and %zu",
                 strikes.size(), differences.size());
    return nullptr;
  }
  const ParityLine line = parity_line(copy_of(strikes), copy_of(differences));
  return Py_BuildValue("(ddd)", line.forward, line.discount, line.residual);
}

// ---- Smiles and surfaces ---------------------------------------------------

// _svi_fit(log_moneyness, total_variances, weights): one expiry's raw SVI
// fit (surface::fit_svi) as (a, b, rho, m, sigma, rmse, evaluations,
// reason), reason None for a fitted smile.
PyObject* svi_fit_of(const BoundArgs& bound) {
  std::array<ArrayArg, 3> args;
  if (!take_values(bound, "_svi_fit", args)) return nullptr;
  const std::vector<double> k = copy_of(args[0].view()), w = copy_of(args[1].view()),
                            weights = copy_of(args[2].view());
  surface::SviFit fit{};
  {
    WithoutGil unlocked(k.size() >= 16);
    fit = surface::fit_svi(k, w, weights);
  }
  const surface::Svi& s = fit.svi;
  if (fit.reason != nullptr) {
    return Py_BuildValue("(ddddddis)", s.a, s.b, s.rho, s.m, s.sigma, fit.rmse, fit.evaluations,
                         fit.reason);
  }
  return Py_BuildValue("(ddddddiO)", s.a, s.b, s.rho, s.m, s.sigma, fit.rmse, fit.evaluations,
                       Py_None);
}

// _svi_smallest_butterfly(a, b, rho, m, sigma): (k, g) where the smile's
// g is smallest (surface::smallest_butterfly), and whether the smile is free
// of butterfly arbitrage.
PyObject* svi_smallest_butterfly_of(const BoundArgs& bound) {
  double p[5];
  for (std::size_t i = 0; i < 5; ++i) {
    const std::optional<double> v = bound.to_double(i);
    if (!v) {
      bound.note_the_argument(i, kFloatAccepted);
      return nullptr;
    }
    p[i] = *v;
  }
  const surface::Svi s{p[0], p[1], p[2], p[3], p[4]};
  const surface::ButterflyMinimum low = surface::smallest_butterfly(s);
  return Py_BuildValue("(ddO)", low.k, low.g, surface::arbitrage_free(s) ? Py_True : Py_False);
}

// The smile a `smile` argument names: 0 raw SVI, 1 eSSVI.
std::optional<surface::Smile> smile_of(PyObject* obj, const char* function) {
  const Py_ssize_t smile = PyNumber_AsSsize_t(obj, PyExc_OverflowError);
  if (smile == -1 && PyErr_Occurred()) return std::nullopt;
  if (smile != 0 && smile != 1) {
    PyErr_Format(PyExc_ValueError, "%s() smile must be 0 (raw SVI) or 1 (eSSVI)", function);
    return std::nullopt;
  }
  return smile == 0 ? surface::Smile::Svi : surface::Smile::Essvi;
}

// _essvi_fit(counts, log_moneyness, total_variances, weights): a chain's
// eSSVI smiles (surface::fit_essvi), expiry i the next counts[i] points, as
// a list of (theta, rho, psi, rmse, evaluations, reason) per expiry.
PyObject* essvi_fit_of(const BoundArgs& bound) {
  std::array<ArrayArg, 4> args;
  if (!take_values(bound, "_essvi_fit", args)) return nullptr;
  const std::vector<double> counts = copy_of(args[0].view()), k = copy_of(args[1].view()),
                            w = copy_of(args[2].view()), weights = copy_of(args[3].view());
  if (w.size() != k.size() || weights.size() != k.size()) {
    PyErr_Format(PyExc_ValueError,
                 "_essvi_fit() takes as many total variances and weights as log-moneynesses, "
                 "not %zu and %zu for %zu",
                 w.size(), weights.size(), k.size());
    return nullptr;
  }
  std::vector<surface::ExpiryQuotes> expiries;
  std::size_t at = 0;
  for (const double c : counts) {
    if (!(c >= 0.0 && c <= static_cast<double>(k.size() - at) && c == std::floor(c))) {
      PyErr_SetString(PyExc_ValueError,
                      "_essvi_fit() counts must be whole numbers adding up to the points");
      return nullptr;
    }
    const std::size_t n = static_cast<std::size_t>(c);
    const std::span<const double> ks(k), ws(w), os(weights);
    expiries.push_back({ks.subspan(at, n), ws.subspan(at, n), os.subspan(at, n)});
    at += n;
  }
  if (at != k.size()) {
    PyErr_SetString(PyExc_ValueError,
                    "_essvi_fit() counts must be whole numbers adding up to the points");
    return nullptr;
  }
  std::vector<surface::EssviFit> fits;
  {
    WithoutGil unlocked(k.size() >= 16);
    fits = surface::fit_essvi(expiries);
  }
  PyRef out = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(fits.size())));
  if (!out) return nullptr;
  for (std::size_t i = 0; i < fits.size(); ++i) {
    const surface::EssviFit& f = fits[i];
    PyObject* row =
        f.reason != nullptr
            ? Py_BuildValue("(ddddis)", f.essvi.theta, f.essvi.rho, f.essvi.psi, f.rmse,
                            f.evaluations, f.reason)
            : Py_BuildValue("(ddddiO)", f.essvi.theta, f.essvi.rho, f.essvi.psi, f.rmse,
                            f.evaluations, Py_None);
    if (row == nullptr) return nullptr;
    PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), row);
  }
  return out.release();
}

// _essvi_as_svi(parameters): theta, rho, psi of each smile in turn as the
// raw SVI a, b, rho, m, sigma of the same smile (surface::to_svi).
PyObject* essvi_as_svi_of(const BoundArgs& bound) {
  std::array<ArrayArg, 1> args;
  if (!take_values(bound, "_essvi_as_svi", args)) return nullptr;
  const InView p = args[0].view();
  if (p.size() % 3 != 0) {
    PyErr_Format(PyExc_ValueError, "_essvi_as_svi() takes three parameters per smile, not %zu",
                 p.size());
    return nullptr;
  }
  std::optional<Output<double>> out = new_values(p.size() / 3 * 5);
  if (!out) return nullptr;
  for (std::size_t i = 0; i < p.size() / 3; ++i) {
    const surface::Svi s = surface::to_svi({p[3 * i], p[3 * i + 1], p[3 * i + 2]});
    const double row[5] = {s.a, s.b, s.rho, s.m, s.sigma};
    std::copy(row, row + 5, out->view.begin() + static_cast<std::ptrdiff_t>(5 * i));
  }
  return out->array.release();
}

// _surface_values(smile, maturities, forwards, parameters, points, times,
// quantity, parallel=False): surface::evaluate over the slices (maturities
// increasing, each with its forward and the raw SVI parameters a, b, rho, m,
// sigma in a row) at the points; quantity as surface::Quantity's order,
// smile 0 (raw SVI) or 1 (eSSVI) for the rule beyond the last.
PyObject* surface_values_of(const BoundArgs& bound) {
  const std::optional<surface::Smile> smile = smile_of(bound[0], "_surface_values");
  if (!smile) return nullptr;
  std::array<ArrayArg, 5> args;
  if (!take_values(bound, "_surface_values", args, 1)) return nullptr;
  const Py_ssize_t quantity = PyNumber_AsSsize_t(bound[6], PyExc_OverflowError);
  if (quantity == -1 && PyErr_Occurred()) return nullptr;
  if (quantity < 0 || quantity > 4) {
    PyErr_SetString(PyExc_ValueError, "_surface_values() quantity must be 0 to 4");
    return nullptr;
  }
  const std::optional<bool> parallel = bound.to_bool(7, false);
  if (!parallel) {
    bound.note_the_argument(7, kFlagAccepted);
    return nullptr;
  }
  // The final look, after the last conversion that can run Python code.
  if (!settle_values(bound, "_surface_values", args, 1)) return nullptr;
  const InView maturities = args[0].view(), forwards = args[1].view(),
               parameters = args[2].view();
  if (forwards.size() != maturities.size() || parameters.size() != 5 * maturities.size()) {
    PyErr_Format(PyExc_ValueError,
                 "_surface_values() takes a forward and five parameters per maturity, not %zu "
                 "and %zu for %zu",
                 forwards.size(), parameters.size(), maturities.size());
    return nullptr;
  }
  std::vector<surface::Slice> slices(maturities.size());
  for (std::size_t i = 0; i < slices.size(); ++i) {
    slices[i] = {maturities[i],
                 elementary::log(forwards[i]),
                 {parameters[5 * i], parameters[5 * i + 1], parameters[5 * i + 2],
                  parameters[5 * i + 3], parameters[5 * i + 4]}};
    if (!(maturities[i] > 0.0) || std::isinf(maturities[i]) ||
        (i > 0 && !(maturities[i] > maturities[i - 1])) || !(forwards[i] > 0.0) ||
        std::isinf(forwards[i])) {
      PyErr_SetString(PyExc_ValueError,
                      "_surface_values() takes finite positive maturities in increasing order "
                      "and finite positive forwards");
      return nullptr;
    }
  }
  const InView x = args[3].view(), t = args[4].view();
  const std::size_t n = std::max(x.size(), t.size());
  if ((x.size() != 1 && x.size() != n) || (t.size() != 1 && t.size() != n)) {
    PyErr_Format(PyExc_ValueError,
                 "_surface_values() takes points of one length or 1, not %zu and %zu", x.size(),
                 t.size());
    return nullptr;
  }
  std::optional<Output<double>> out = new_values(n);
  if (!out) return nullptr;
  {
    WithoutGil unlocked(n >= kReleaseWork);
    surface::evaluate(*smile, slices, x, t, static_cast<surface::Quantity>(quantity), out->view,
                      *parallel ? Exec::Parallel : Exec::Serial);
  }
  return out->array.release();
}

// ---- The table -------------------------------------------------------------

// The rule every batch function beyond the first 37 states in its doc.
#define TARVIK_BATCH_RULE                                                                    \
  " Inputs are floats (broadcast) or 1-D float64 arrays of one length n; is_call is a bool " \
  "or a 1-D bool array. Element i is the scalar function's value, NaN where it would raise " \
  "(error_codes() tells which error). parallel=True runs on the worker pool, same bits."

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
          ops::NormalisedImpliedVolatility,
          "Batch normalised Black total-volatility inversions.">(),
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

    // Beyond the module's first 37 names.
    scalar<"black_scholes_rho(spot, strike, maturity, rate, dividend, volatility, is_call)",
           &black_scholes_rho,
           "Black-Scholes-Merton rho: dV/dr, the change of the discounted price per unit of the "
           "continuously compounded rate (1.0, not one percentage point). Spot and strike in "
           "price units, maturity in years, rate, dividend yield and volatility per year. Raises "
           "IVError where black_scholes_delta does.">(),
    scalar<"black_scholes_dividend_rho(spot, strike, maturity, rate, dividend, volatility, "
           "is_call)",
           &black_scholes_dividend_rho,
           "Black-Scholes-Merton dividend rho: dV/dq, the change of the discounted price per "
           "unit of the continuous dividend (or carry) yield. Units and errors as "
           "black_scholes_rho.">(),
    scalar<"black_scholes_implied_volatility(price, spot, strike, maturity, rate, dividend, "
           "is_call)",
           &black_scholes_implied_volatility,
           "Black-Scholes-Merton implied volatility (per year) of a discounted European option "
           "price on a spot with continuously compounded rate and dividend yield (per year; "
           "maturity in years). Raises IVError for a non-finite input, a spot, strike or "
           "maturity not above 0, and a price below its discounted intrinsic value "
           "max(S e^(-qT) - K e^(-rT), 0) or at or above its maximum S e^(-qT) (for a put "
           "max(K e^(-rT) - S e^(-qT), 0) and K e^(-rT)).">(),
    batch<"thetas(forwards, strikes, maturities, vols, parallel=False)", ops::Theta,
          "Batch Black-76 thetas (-dV/dT per year)." TARVIK_BATCH_RULE>(),
    batch<"black_scholes_deltas(spots, strikes, maturities, rates, dividends, vols, "
          "is_call=True, parallel=False)",
          ops::BlackScholesDelta, "Batch Black-Scholes-Merton spot deltas." TARVIK_BATCH_RULE>(),
    batch<"black_scholes_gammas(spots, strikes, maturities, rates, dividends, vols, "
          "parallel=False)",
          ops::BlackScholesGamma, "Batch Black-Scholes-Merton spot gammas." TARVIK_BATCH_RULE>(),
    batch<"black_scholes_vegas(spots, strikes, maturities, rates, dividends, vols, "
          "parallel=False)",
          ops::BlackScholesVega,
          "Batch Black-Scholes-Merton vegas (per unit of volatility)." TARVIK_BATCH_RULE>(),
    batch<"black_scholes_thetas(spots, strikes, maturities, rates, dividends, vols, "
          "is_call=True, parallel=False)",
          ops::BlackScholesTheta,
          "Batch Black-Scholes-Merton thetas (-dV/dT per year)." TARVIK_BATCH_RULE>(),
    batch<"black_scholes_vommas(spots, strikes, maturities, rates, dividends, vols, "
          "parallel=False)",
          ops::BlackScholesVomma, "Batch Black-Scholes-Merton vommas." TARVIK_BATCH_RULE>(),
    batch<"black_scholes_vannas(spots, strikes, maturities, rates, dividends, vols, "
          "parallel=False)",
          ops::BlackScholesVanna, "Batch Black-Scholes-Merton vannas." TARVIK_BATCH_RULE>(),
    batch<"black_scholes_rhos(spots, strikes, maturities, rates, dividends, vols, "
          "is_call=True, parallel=False)",
          ops::BlackScholesRho,
          "Batch Black-Scholes-Merton rhos (dV/dr per unit of rate)." TARVIK_BATCH_RULE>(),
    batch<
        "black_scholes_dividend_rhos(spots, strikes, maturities, rates, dividends, vols, "
        "is_call=True, parallel=False)",
        ops::BlackScholesDividendRho,
        "Batch Black-Scholes-Merton dividend rhos (dV/dq per unit of yield)." TARVIK_BATCH_RULE>(),
    batch<"black_scholes_implied_volatilities(prices, spots, strikes, maturities, rates, "
          "dividends, is_call=True, parallel=False)",
          ops::BlackScholesImpliedVolatility,
          "Batch Black-Scholes-Merton implied volatilities of discounted "
          "prices." TARVIK_BATCH_RULE>(),
    fields<"black_greeks(forwards, strikes, maturities, vols, is_call=True, parallel=False)",
           ops::BlackGreeks, kBlackGreekNames,
           "Batch Black-76 price and Greeks in one pass: a dict of 1-D float64 arrays keyed price, "
           "delta, "
           "gamma, vega, theta, vanna, vomma, each equal bit for bit to its batch function "
           "(black_prices, deltas, ...)." TARVIK_BATCH_RULE>(),
    fields<"black_scholes_greeks(spots, strikes, maturities, rates, dividends, vols, "
           "is_call=True, parallel=False)",
           ops::BlackScholesGreeks, kSpotGreekNames,
           "Batch Black-Scholes-Merton price and Greeks in one pass: a dict of 1-D float64 arrays "
           "keyed "
           "price, delta, gamma, vega, theta, vanna, vomma, rho, dividend_rho, each equal bit "
           "for bit to its batch function (black_scholes_prices, ...)." TARVIK_BATCH_RULE>(),
    scalar<"black_implied_volatility(price, forward, strike, maturity, is_call)",
           &black_implied_volatility,
           "Black-76 implied volatility (per year) of an undiscounted price, as "
           "implied_volatility but at the log-moneyness ln(F/K) computed to about an ulp "
           "(log1p((F - K)/K) near the money) instead of ln F - ln K. Raises IVError where "
           "implied_volatility does.">(),
    batch<"black_implied_volatilities(prices, forwards, strikes, maturities, is_call=True, "
          "parallel=False)",
          ops::BlackImpliedVolatility,
          "Batch black_implied_volatility: Black-76 implied volatilities at the accurate "
          "log-moneyness." TARVIK_BATCH_RULE>(),

    // The normal (Bachelier) model.
    scalar<"bachelier_price(forward, strike, maturity, volatility, is_call)", &bachelier_price,
           "Undiscounted normal-model (Bachelier) price of a European option on a forward: "
           "(F - K) N(d) + sigma sqrt(T) n(d) for a call, d = (F - K)/(sigma sqrt(T)). Forward and "
           "strike any finite reals (price units), maturity in years, volatility in price units "
           "per sqrt(year). Raises IVError for a non-finite input, a maturity not above 0 and a "
           "negative volatility.">(),
    scalar<"bachelier_implied_volatility(price, forward, strike, maturity, is_call)",
           &bachelier_implied_volatility,
           "Implied normal (Bachelier) volatility, in price units per sqrt(year), of an "
           "undiscounted price. Raises IVError for a non-finite input, a maturity not above 0 and "
           "a price below the intrinsic value; 0.0 at the intrinsic value.">(),
    scalar<"bachelier_delta(forward, strike, maturity, volatility, is_call)", &bachelier_delta,
           "Normal-model delta dV/dF. Units and errors as bachelier_price.">(),
    scalar<"bachelier_gamma(forward, strike, maturity, volatility)", &bachelier_gamma,
           "Normal-model gamma d2V/dF2. Units and errors as bachelier_price.">(),
    scalar<"bachelier_vega(forward, strike, maturity, volatility)", &bachelier_vega,
           "Normal-model vega dV/dsigma. Units and errors as bachelier_price.">(),
    scalar<"bachelier_theta(forward, strike, maturity, volatility)", &bachelier_theta,
           "Normal-model theta -dV/dT per year. Units and errors as bachelier_price.">(),
    scalar<"bachelier_vanna(forward, strike, maturity, volatility)", &bachelier_vanna,
           "Normal-model vanna d2V/dFdsigma. Units and errors as bachelier_price.">(),
    scalar<"bachelier_vomma(forward, strike, maturity, volatility)", &bachelier_vomma,
           "Normal-model vomma d2V/dsigma2. Units and errors as bachelier_price.">(),
    batch<"bachelier_prices(forwards, strikes, maturities, vols, is_call=True, parallel=False)",
          ops::BachelierPrice, "Batch normal-model (Bachelier) prices." TARVIK_BATCH_RULE>(),
    batch<"bachelier_implied_volatilities(prices, forwards, strikes, maturities, is_call=True, "
          "parallel=False)",
          ops::BachelierImpliedVolatility,
          "Batch implied normal (Bachelier) volatilities." TARVIK_BATCH_RULE>(),
    batch<"bachelier_deltas(forwards, strikes, maturities, vols, is_call=True, parallel=False)",
          ops::BachelierDelta, "Batch normal-model deltas." TARVIK_BATCH_RULE>(),
    batch<"bachelier_gammas(forwards, strikes, maturities, vols, parallel=False)",
          ops::BachelierGamma, "Batch normal-model gammas." TARVIK_BATCH_RULE>(),
    batch<"bachelier_vegas(forwards, strikes, maturities, vols, parallel=False)",
          ops::BachelierVega, "Batch normal-model vegas." TARVIK_BATCH_RULE>(),
    batch<"bachelier_thetas(forwards, strikes, maturities, vols, parallel=False)",
          ops::BachelierTheta, "Batch normal-model thetas (-dV/dT per year)." TARVIK_BATCH_RULE>(),
    batch<"bachelier_vannas(forwards, strikes, maturities, vols, parallel=False)",
          ops::BachelierVanna, "Batch normal-model vannas." TARVIK_BATCH_RULE>(),
    batch<"bachelier_vommas(forwards, strikes, maturities, vols, parallel=False)",
          ops::BachelierVomma, "Batch normal-model vommas." TARVIK_BATCH_RULE>(),
    fields<"bachelier_greeks(forwards, strikes, maturities, vols, is_call=True, parallel=False)",
           ops::BachelierGreeks, kBlackGreekNames,
           "Batch normal-model (Bachelier) price and Greeks in one pass: a dict of 1-D float64 "
           "arrays keyed price, delta, gamma, vega, theta, vanna, vomma, each equal bit for bit "
           "to its batch function (bachelier_prices, bachelier_deltas, ...)." TARVIK_BATCH_RULE>(),

    // American exercise on a spot.
    scheduled<"american_price(spot, strike, maturity, rate, dividend, volatility, is_call, *, "
              "dividend_times=None, dividend_amounts=None)",
              &american_price_with_dividends,
           "Discounted price of an American option on a spot with continuously compounded rate "
           "and dividend yield (per year; maturity in years; volatility per year): the European "
           "price plus the early-exercise premium on the exercise boundary. Where early exercise "
           "is never optimal (a put with r <= 0 and q >= r, a call with q <= 0 and r >= q) it is "
           "black_scholes_price bit for bit. Where the exercise region has two boundaries (a put "
           "with q < r < 0, a call with r < q < 0) the premium is the integral over the region "
           "between them. With cash dividends (as european_price takes them; without one that "
           "counts, the same bits as without), calls with dividend <= min(0, rate), exercised only "
           "just before an ex-date, puts with rate <= min(0, dividend), never exercised early "
           "(the European price), puts with rate > 0 and dividend >= 0, exercised between "
           "ex-dates below a boundary solved node by node, and calls with dividend > 0 and "
           "rate >= 0, exercised above one (and just before an ex-date); other options with "
           "dividends raise invalid_input for now. Raises IVError where black_scholes_price does, and "
           "no_convergence where the boundaries' sweeps or nodes do not settle.">(),
    batch<"american_prices(spots, strikes, maturities, rates, dividends, vols, is_call=True, "
          "parallel=False, *, dividend_times=None, dividend_amounts=None)",
          ops::AmericanPrice,
          "Batch American prices, every element on the one dividend schedule (1-D, not "
          "broadcast)." TARVIK_BATCH_RULE>(),
    scheduled<"american_implied_volatility(price, spot, strike, maturity, rate, dividend, "
              "is_call, *, dividend_times=None, dividend_amounts=None)",
              &american_implied_volatility_with_dividends,
           "Volatility (per year) whose American price is `price`. Raises IVError "
           "price_below_intrinsic below the lowest attainable price (the exercise value), "
           "returns 0.0 at it, price_above_maximum at or above the strike (put) or spot (call), "
           "and the errors of american_price.">(),
    batch<"american_implied_volatilities(prices, spots, strikes, maturities, rates, dividends, "
          "is_call=True, parallel=False, *, dividend_times=None, dividend_amounts=None)",
          ops::AmericanImpliedVolatility,
          "Batch American implied volatilities." TARVIK_BATCH_RULE>(),
    fields<"american_greeks(spots, strikes, maturities, rates, dividends, vols, is_call=True, "
           "parallel=False, *, dividend_times=None, dividend_amounts=None)",
           ops::AmericanGreeks, kSpotGreekNames,
           "Batch American price and Greeks: a dict of 1-D float64 arrays keyed price, delta, "
           "gamma, vega, theta, vanna, vomma, rho, dividend_rho; the price field has the bits of "
           "american_prices." TARVIK_BATCH_RULE>(),

    // Cash dividends on known dates (the spot drops by each amount at its
    // ex-date), European exercise.
    scheduled<"european_price(spot, strike, maturity, rate, dividend, volatility, is_call, *, "
              "dividend_times, dividend_amounts)",
              &european_price,
              "Discounted price of a European option on a spot that pays cash dividends: the "
              "spot drops by dividend_amounts[i] at each ex-date dividend_times[i] (years from "
              "now, strictly increasing, above 0), to max(S - D, 0), on top of the continuous "
              "rate and yield `dividend`. A dividend on the maturity counts, one after it does "
              "not; without one that counts it is black_scholes_price bit for bit. Raises "
              "IVError where black_scholes_price does, invalid_input for a bad schedule (naming "
              "the argument), and no_convergence where the dividends are too close together for "
              "the volatility (a grid of more than 4 million points).">(),
    batch<"european_prices(spots, strikes, maturities, rates, dividends, vols, is_call=True, "
          "parallel=False, *, dividend_times, dividend_amounts)",
          ops::EuropeanPrice,
          "Batch European prices with cash dividends: every element on the one schedule "
          "(dividend_times, dividend_amounts: 1-D, not broadcast), raising IVError "
          "invalid_input for a bad schedule." TARVIK_BATCH_RULE>(),
    scheduled<"european_implied_volatility(price, spot, strike, maturity, rate, dividend, "
              "is_call, *, dividend_times, dividend_amounts)",
              &european_implied_volatility,
              "Volatility (per year) whose european_price on the schedule is `price`. Raises "
              "IVError price_below_intrinsic below the zero-volatility price, returns 0.0 at "
              "it, price_above_maximum at or above S e^(-qT) (call) or K e^(-rT) (put), and "
              "the errors of european_price; black_scholes_implied_volatility bit for bit "
              "without a dividend that counts.">(),
    batch<"european_implied_volatilities(prices, spots, strikes, maturities, rates, dividends, "
          "is_call=True, parallel=False, *, dividend_times, dividend_amounts)",
          ops::EuropeanImpliedVolatility,
          "Batch European implied volatilities with cash dividends, on the one "
          "schedule." TARVIK_BATCH_RULE>(),
    fields<"european_greeks(spots, strikes, maturities, rates, dividends, vols, is_call=True, "
           "parallel=False, *, dividend_times, dividend_amounts)",
           ops::EuropeanGreeks, kSpotGreekNames,
           "Batch European price and Greeks with cash dividends: a dict of 1-D float64 arrays "
           "keyed price, delta, gamma, vega, theta, vanna, vomma, rho, dividend_rho (theta "
           "dV/dt per year, dividend_rho the sensitivity to the yield); the price field has "
           "the bits of european_prices, and without a dividend that counts every field is "
           "black_scholes_greeks'." TARVIK_BATCH_RULE>(),

    // Private helpers (a leading underscore: not in __all__).
    own<"_parity_line(strikes, differences)", &parity_line_of,
        "The forward F, the discount factor D and the root-mean-square residual of the "
        "least-squares line C - P = D (F - K) through the strikes and the differences C - P of "
        "their call and put prices (1-D float64 arrays of one length), as a tuple of floats; "
        "NaN for fewer than two points or equal strikes, F NaN where D is 0.">(),
    batch<"_discount_factors(rates, maturities, parallel=False)", ops::DiscountFactor,
          "Batch discount factors exp(-(r T)) of continuously compounded rates over maturities "
          "in years. Inputs are floats (broadcast) or 1-D float64 arrays of one length n.">(),
    batch<"_undiscounted_prices(prices, discounts, parallel=False)", ops::UndiscountedPrice,
          "Batch undiscounted prices p / D of discounted prices p and discount factors D. "
          "Inputs are floats (broadcast) or 1-D float64 arrays of one length n.">(),
    batch<"_discounted_thetas(thetas, prices, discounts, rates, parallel=False)",
          ops::DiscountedTheta,
          "Batch thetas of discounted values D V, D = exp(-(r T)), from V's theta -dV/dT and "
          "price: theta D + r (V D) per year. Inputs are floats (broadcast) or 1-D float64 "
          "arrays of one length n.">(),
    batch<"_black_scholes_forwards(spots, maturities, rates, dividends, parallel=False)",
          ops::BlackScholesForward, "Batch black_scholes_forward." TARVIK_BATCH_RULE>(),
    own<"_svi_fit(log_moneyness, total_variances, weights)", &svi_fit_of,
        "One expiry's raw SVI fit to total variances at log-moneynesses, weighted least squares "
        "over the parameters whose smile is free of butterfly arbitrage: a tuple (a, b, rho, m, "
        "sigma, rmse, evaluations, reason), reason None for a fitted smile, else why it was "
        "not fitted (the parameters then NaN).">(),
    own<"_svi_smallest_butterfly(a, b, rho, m, sigma)", &svi_smallest_butterfly_of,
        "Where the raw SVI smile's Durrleman function g is smallest over every log-moneyness: "
        "a tuple (k, g, arbitrage_free).">(),
    own<"_essvi_fit(counts, log_moneyness, total_variances, weights)", &essvi_fit_of,
        "A chain's eSSVI smiles, expiry after expiry (expiry i the next counts[i] points, in "
        "increasing maturity), each free of butterfly arbitrage and on or above the fitted one "
        "before it at every log-moneyness: a list of (theta, rho, psi, rmse, evaluations, "
        "reason) per expiry, reason None for a fitted smile, else why it was not fitted.">(),
    own<"_essvi_as_svi(parameters)", &essvi_as_svi_of,
        "The raw SVI parameters a, b, rho, m, sigma of eSSVI smiles given as theta, rho, psi "
        "each in turn: a 1-D float64 array of five per smile.">(),
    own<"_surface_values(smile, maturities, forwards, parameters, points, times, quantity, "
        "parallel=False)",
        &surface_values_of,
        "The surface of smiles given as raw SVI slices (maturities increasing, a forward each; "
        "parameters a, b, rho, m, sigma per slice, flat) at each point (x, t): quantity 0 the "
        "total variance, 1 Durrleman's g, 2 the density of ln(S_T/F) at log-moneyness x; 3 the "
        "Black-76 implied volatility at strike x; 4 the forward at t. smile 0 (raw SVI) or 1 "
        "(eSSVI) says how it continues beyond the last slice. Points are floats or 1-D float64 "
        "arrays of one length. parallel=True runs on the worker pool, same bits.">(),
    own<"_csv_rows(values, columns=1, parallel=False, before=None, after=None)", &csv_rows,
        "The values (a float or a 1-D float64 array, row after row) as CSV lines of `columns` "
        "fields, in a bytearray: each number as repr() writes it, a NaN or masked element as an "
        "empty field, fields separated by ',' and each line ended by a line feed. `before` "
        "(bytes, one line per row, each ended by a line feed) leads each line with its line and "
        "a comma; `after` (likewise, only with `before`) ends each line with its line in place "
        "of the line feed. Raises ValueError for columns below 1, for values that do not fill "
        "whole rows and for lines that do not match the rows. parallel=True writes on the "
        "worker pool, same bytes.">(),
    own<"_csv_numbers(text)", &csv_numbers,
        "The fields of `text` (bytes; fields separated by line feeds) read as numbers: a tuple "
        "of a 1-D float64 array and a 1-D int8 array of kinds, one element per field, 0 for a "
        "number, 1 for a field that is not one, 2 for an empty field (NaN for both). A number "
        "is an optional sign and ASCII digits with an optional point and exponent, or inf, "
        "infinity, nan in any case, blanks (space, tab) around it ignored; its value is that of "
        "float(). Raises TypeError for anything but bytes.">(),
};

constexpr std::size_t kCount = std::size(kFunctions);

template <class E>
PyCFunction as_pycfunction(E entry) {
  // The interpreter calls through PyCFunction and dispatches on the flags.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

// Whether the running interpreter takes the vectorcall convention through
// the stable ABI (3.10 and later; the module is built for 3.9 and later).
// TARVIK_TEST_TUPLE_CALLS=1 in the environment at import makes every function
// take the positional tuple and keyword dictionary, the convention of 3.9,
// so that the tests exercise it on any version.
bool vectorcall_available() {
  if (const char* forced = std::getenv("TARVIK_TEST_TUPLE_CALLS"); forced && *forced == '1') {
    return false;
  }
  int major = 0, minor = 0;
  const char* v = Py_GetVersion();
  while (*v >= '0' && *v <= '9') major = major * 10 + (*v++ - '0');
  if (*v == '.') ++v;
  while (*v >= '0' && *v <= '9') minor = minor * 10 + (*v++ - '0');
  return major > 3 || (major == 3 && minor >= 10);
}

// error_codes(function, /, *args, **kwargs): the batch function's error code
// of every element for the same arguments.
PyObject* error_codes_entry(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const Py_ssize_t n = PyTuple_Size(args);
    if (n < 1) {
      PyErr_SetString(PyExc_TypeError,
                      "error_codes() missing 1 required positional argument: 'function'");
      return nullptr;
    }
    PyObject* function = PyTuple_GetItem(args, 0);
    const Function* row = nullptr;
    if (PyCFunction_Check(function)) {
      for (const Function& f : kFunctions) {
        const PyCFunction called = PyCFunction_GetFunction(function);
        if (f.codes != nullptr &&
            (called == as_pycfunction(f.entry) || called == as_pycfunction(f.fast))) {
          row = &f;
        }
      }
    }
    if (row == nullptr) {
      PyErr_SetString(PyExc_TypeError, "error_codes() takes a batch function of tarvik first");
      return nullptr;
    }
    PyRef rest = PyRef::steal(PyTuple_GetSlice(args, 1, n));
    return rest ? row->codes(module, rest.get(), kwargs) : nullptr;
  });
}

constexpr char kErrorCodesDoc[] =
    "error_codes($module, function, /, *args, **kwargs)\n--\n\n"
    "The error code of every element of the batch function `function` called with args and "
    "kwargs, as a 1-D int8 array: 0 where the element has a value, else 1 + the index in "
    "IVError kinds of the error that the scalar function raises for it (ERROR_KINDS[code] is "
    "its kind), and 8 ('masked') for an element masked in a numpy.ma input.";

// ERROR_KINDS[code] is the kind of an error code: None for 0, then the
// IVError kinds in their order, then "masked".
PyObject* error_kinds() {
  PyRef kinds = PyRef::steal(PyTuple_New(kErrorKinds + 2));
  if (!kinds) return nullptr;
  Py_INCREF(Py_None);
  PyTuple_SetItem(kinds.get(), 0, Py_None);
  for (std::size_t k = 0; k <= kErrorKinds; ++k) {
    const std::string_view name =
        k < kErrorKinds ? kind_string(static_cast<ErrorKind>(k)) : std::string_view("masked");
    PyObject* text = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    if (text == nullptr || PyTuple_SetItem(kinds.get(), static_cast<Py_ssize_t>(k + 1), text) < 0) {
      return nullptr;
    }
  }
  return kinds.release();
}

}  // namespace

bool add_functions(PyObject* module) {
  static_assert(kMasked == kErrorKinds + 1);
  // The interpreter keeps a pointer to each definition for as long as the
  // function lives: they are made once and never freed.
  static PyMethodDef defs[kCount + 1];
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  const bool fast = vectorcall_available();
  for (std::size_t i = 0; i <= kCount; ++i) {
    if (i == kCount) {
      defs[i] = {"error_codes", as_pycfunction(&error_codes_entry), METH_VARARGS | METH_KEYWORDS,
                 kErrorCodesDoc};
    } else if (fast) {
      defs[i] = {kFunctions[i].name, as_pycfunction(kFunctions[i].fast),
                 kMethFastcall | METH_KEYWORDS, kFunctions[i].doc};
    } else {
      defs[i] = {kFunctions[i].name, as_pycfunction(kFunctions[i].entry),
                 METH_VARARGS | METH_KEYWORDS, kFunctions[i].doc};
    }
    PyRef function = PyRef::steal(PyCFunction_NewEx(&defs[i], module, module_name.get()));
    if (!function) return false;
    if (defs[i].ml_name[0] == '_') {  // a private helper: an attribute, not in __all__
      if (PyObject_SetAttrString(module, defs[i].ml_name, function.get()) < 0) return false;
    } else if (!add_attribute(module, defs[i].ml_name, function.get())) {
      return false;
    }
  }
  PyRef kinds = PyRef::steal(error_kinds());
  return kinds && add_attribute(module, "ERROR_KINDS", kinds.get());
}

}  // namespace tarvik::py
