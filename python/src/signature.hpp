// A function's Python signature, written once as the text the interpreter
// shows ("black_price(forward, strike, maturity, volatility, is_call)") and
// taken apart at compile time: the function name, the parameter names in
// order, and the default text of each optional parameter. The same text,
// followed by "\n--\n\n" and the doc body, is the function's doc string, from
// which the interpreter derives __text_signature__ and __doc__.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace tarvik::py {

inline constexpr std::size_t kMaxParams = 10;
inline constexpr std::size_t kMaxName = 40;

// A string literal as a template argument.
template <std::size_t N>
struct Text {
  char value[N];
  constexpr Text(const char (&s)[N]) {
    for (std::size_t i = 0; i < N; ++i) value[i] = s[i];
  }
  constexpr std::string_view view() const { return {value, N - 1}; }
};

// A name, null-terminated for the C API's message formats and comparisons.
struct Name {
  char text[kMaxName] = {};
  constexpr bool operator==(std::string_view other) const {
    std::size_t i = 0;
    while (i < other.size() && text[i] == other[i]) ++i;
    return i == other.size() && text[i] == '\0';
  }
};

struct Param {
  Name name;
  Name default_text;  // empty for a required parameter
  constexpr bool required() const { return default_text.text[0] == '\0'; }
};

struct Signature {
  Name name;
  std::array<Param, kMaxParams> params{};
  std::size_t count = 0;
  std::size_t required_count = 0;  // the leading parameters without a default
  std::size_t positional = 0;      // the parameters before a bare '*' (all without one)

  constexpr std::size_t required() const { return required_count; }
  // The index of the parameter called `wanted`, or count.
  constexpr std::size_t find(std::string_view wanted) const {
    std::size_t i = 0;
    while (i < count && !(params[i].name == wanted)) ++i;
    return i;
  }
};

namespace detail {

// text[from, to) as a Name. (Plain loops: the standard library's string
// searches are not constant expressions everywhere under its assertions.)
constexpr Name make_name(std::string_view text, std::size_t from, std::size_t to) {
  Name n;
  if (to - from >= kMaxName) throw "name too long";  // not a constant expression: a compile error
  for (std::size_t i = from; i < to; ++i) n.text[i - from] = text[i];
  return n;
}

constexpr std::size_t index_of(std::string_view text, char c, std::size_t from, std::size_t to) {
  while (from < to && text[from] != c) ++from;
  return from;
}

}  // namespace detail

// "name(a, b, c=True)" -> {name, [a, b, c (default "True")]}; the parameters
// after a bare '*' ("name(a, *, b)") are keyword-only and may be required.
// Malformed text is a compile error where the result is used as a constant.
constexpr Signature parse_signature(std::string_view text) {
  using detail::index_of;
  using detail::make_name;
  Signature sig;
  const std::size_t end = text.size() - 1;
  const std::size_t open = index_of(text, '(', 0, end);
  if (open == end || text[end] != ')') throw "expected name(...)";
  sig.name = make_name(text, 0, open);
  bool optional_seen = false;
  bool keyword_only = false;
  for (std::size_t from = open + 1; from < end;) {
    const std::size_t comma = index_of(text, ',', from, end);
    if (comma == from + 1 && text[from] == '*') {
      if (keyword_only) throw "two bare '*'";
      keyword_only = true;
      sig.positional = sig.count;
      from = comma + 2;
      continue;
    }
    if (sig.count == kMaxParams) throw "too many parameters";
    const std::size_t eq = index_of(text, '=', from, comma);
    Param& p = sig.params[sig.count++];
    p.name = make_name(text, from, eq);
    if (eq != comma) {
      p.default_text = make_name(text, eq + 1, comma);
      optional_seen = true;
    } else if (keyword_only) {
      // a required keyword-only parameter
    } else if (optional_seen) {
      throw "a required parameter after an optional one";
    } else {
      ++sig.required_count;
    }
    from = comma + 2;  // past ", "
  }
  if (!keyword_only) sig.positional = sig.count;
  return sig;
}

// The doc string: the signature line, "\n--\n\n", then the body.
template <Text Sig, Text Body>
inline constexpr auto kDocString = [] {
  constexpr std::string_view sig = Sig.view();
  constexpr std::string_view sep = "\n--\n\n";
  constexpr std::string_view body = Body.view();
  std::array<char, sig.size() + sep.size() + body.size() + 1> out{};
  std::size_t k = 0;
  for (char c : sig) out[k++] = c;
  for (char c : sep) out[k++] = c;
  for (char c : body) out[k++] = c;
  return out;
}();

}  // namespace tarvik::py
