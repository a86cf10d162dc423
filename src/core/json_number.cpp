// Numbers written the way Python writes them (float repr, JSON literals, integers).
#include "core/json_number.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace corvane::core {

using namespace std::string_view_literals;

void append_float_repr(TextBuffer& out, double x) {
  if (std::isnan(x)) {
    out.put("nan"sv);
    return;
  }
  if (std::isinf(x)) {
    out.put(x < 0 ? "-inf"sv : "inf"sv);
    return;
  }
  if (std::signbit(x)) out.put('-');
  x = std::fabs(x);
  if (x == 0.0) {
    out.put("0.0"sv);
    return;
  }
  // Shortest round-trip digits, closest to the exact value on ties: the same digits Python's
  // repr picks. Scientific form "d.ddde+XX" gives the digits and the exponent in one go.
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  const std::size_t e_pos = sci.find('e');
  // At most 17 significant digits: they fit on the stack (a std::string here was a heap
  // allocation per float).
  char digit_buf[32];
  std::size_t digit_count = 0;
  for (char c : sci.substr(0, e_pos)) {
    if (c != '.') digit_buf[digit_count++] = c;
  }
  const std::string_view digits(digit_buf, digit_count);
  // to_chars writes no terminating NUL: read the exponent from the written range only.
  const std::string_view exponent_text = sci.substr(e_pos + 1);
  int exponent = 0;
  std::from_chars(exponent_text.data() + (exponent_text[0] == '+' ? 1 : 0),
                  exponent_text.data() + exponent_text.size(), exponent);
  const int n = static_cast<int>(digits.size());

  if (exponent < -4 || exponent >= 16) {
    out.put(digits[0]);
    if (n > 1) {
      out.put('.');
      out.put(digits.substr(1));
    }
    out.put(exponent < 0 ? "e-"sv : "e+"sv);
    const int magnitude = std::abs(exponent);
    if (magnitude < 10) out.put('0');
    append_integer(out, magnitude);
    return;
  }
  const int point = exponent + 1;  // digits before the decimal point
  if (point <= 0) {
    out.put("0."sv);
    out.put(static_cast<std::size_t>(-point), '0');
    out.put(digits);
  } else if (point < n) {
    out.put(digits.substr(0, static_cast<std::size_t>(point)));
    out.put('.');
    out.put(digits.substr(static_cast<std::size_t>(point)));
  } else {
    out.put(digits);
    out.put(static_cast<std::size_t>(point - n), '0');
    out.put(".0"sv);
  }
}

void append_json_float(TextBuffer& out, double x) {
  if (std::isnan(x)) {
    out.put("NaN"sv);
  } else if (std::isinf(x)) {
    out.put(x < 0 ? "-Infinity"sv : "Infinity"sv);
  } else {
    append_float_repr(out, x);
  }
}

void append_integer(TextBuffer& out, long long value) {
  constexpr std::size_t kMost = 20;  // "-9223372036854775808"
  char* p = out.room(kMost);
  out.commit(std::to_chars(p, p + kMost, value).ptr);
}

}  // namespace corvane::core
