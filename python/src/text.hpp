// Decimal text of doubles for tables: the shortest digits that read back to
// the same double (std::to_chars), laid out as Python's repr() of a float
// lays them out, so that text written here and text written by Python agree
// to the byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "tarvik/batch.hpp"

namespace tarvik::text {

// The longest text shortest() writes: "-2.2250738585072014e-308".
inline constexpr std::size_t kMaxShortest = 24;

// Writes x as repr(x) of a Python float does and returns the end of the
// text: the shortest round-trip digits, in positional notation for decimal
// exponents -4 to 15 (a whole number with ".0"), else "d.ddde+XX"; "inf",
// "-inf", "nan". At most kMaxShortest characters.
char* shortest(double x, char* out);

// The bytes csv_rows() may write for n values: each value and its separator.
inline constexpr std::size_t csv_capacity(std::size_t n) { return n * (kMaxShortest + 1); }

// Writes `values` as CSV lines of `columns` fields each (values.size() a
// multiple of columns, row after row): each field as shortest() writes it, a
// NaN as an empty field, fields separated by ',' and each line ended by
// '\n'. `out` holds at least csv_capacity(values.size()) bytes; returns the
// number written. Exec::Parallel writes blocks of lines on the worker pool,
// each into its own part of `out`, then closes the gaps between them: the
// same bytes.
std::size_t csv_rows(InView values, std::size_t columns, char* out, Exec exec = Exec::Serial);

// Text lines around the rows of csv_rows: `text` holds one line per row,
// each ended by '\n'; starts has one entry per row and one more, the offset
// of each line in text and text.size().
struct Lines {
  std::string_view text;
  std::vector<std::size_t> starts;
};
// Where each line of text ('\n'-ended, as many as `rows`) starts, or an empty
// `starts` where text holds another number of lines or does not end in '\n'.
Lines lines_of(std::string_view text, std::size_t rows);

// csv_rows with every line of the table led by the same line of `before`
// (without its line end) and a ',', and ended by the same line of `after`
// (with its line end) where `after` is given, else by '\n'. `out` holds at
// least before.text.size() + after.text.size() + csv_capacity(values.size())
// bytes. The same bytes serial and parallel.
std::size_t csv_rows_between(const Lines& before, const Lines* after, InView values,
                             std::size_t columns, char* out, Exec exec = Exec::Serial);

// What read_number() found in a field.
enum class FieldKind : std::int8_t { Number = 0, NotANumber = 1, Empty = 2 };

// Reads one field of a table: blanks (space, tab) around it ignored, then an
// optional sign and ASCII digits with an optional point and an optional
// exponent, or inf, infinity or nan in any case; nothing else. The value is
// the correctly rounded double (what Python's float() gives for the same
// text); NaN for an empty field or one outside that grammar.
FieldKind read_number(std::string_view field, double& value);

// Reads the fields of `text` separated by '\n' (one more than its line
// feeds: an empty text is one empty field) into values and kinds (each
// field's FieldKind), which hold one element per field.
void read_numbers(std::string_view text, double* values, std::int8_t* kinds);

}  // namespace tarvik::text
