// Numbers written the way Python writes them (float repr, JSON literals, integers).
#include "core/json_number.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace corvane::core {

using namespace std::string_view_literals;

namespace {

// The shortest decimal that reads back to a double: its significant digits d1 d2 ... and the
// decimal exponent of d1 (the value is d1.d2... x 10^exponent).
struct Decimal {
  char digits[32];
  int count = 0;
  int exponent = 0;
};

// Shortest round-trip digits, closest to the exact value on ties: the same digits Python's
// repr picks. Scientific form "d.ddde+XX" gives the digits and the exponent in one go.
Decimal shortest_by_to_chars(double x) {
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  const std::size_t e_pos = sci.find('e');
  Decimal d;
  for (char c : sci.substr(0, e_pos)) {
    if (c != '.') d.digits[d.count++] = c;
  }
  // to_chars writes no terminating NUL: read the exponent from the written range only.
  const std::string_view exponent_text = sci.substr(e_pos + 1);
  std::from_chars(exponent_text.data() + (exponent_text[0] == '+' ? 1 : 0),
                  exponent_text.data() + exponent_text.size(), d.exponent);
  return d;
}

// The values webhooks carry (ratings, prices, coordinates, scores) have a few decimals, and
// for them a cheaper search finds the same digits: for k = 0, 1, ... the first n / 10^k with
// n = round(x * 10^k) that reads back to x, while n < 10^15. Below 10^15 at most one decimal
// with k places reads back to a double (their spacing exceeds its rounding interval), the
// rounding cannot miss it (x * 10^k lies within 0.25 of n), the division is exact-then-rounded
// (n and 10^k are exact doubles), and fewer places mean fewer digits, so the first hit is the
// shortest form. Values whose shortest form has 16 or 17 digits give no hit and go to
// to_chars. x is finite and positive.
bool few_decimals(double x, Decimal& d) {
  static constexpr double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                      1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  constexpr double kLimit = 1e15;
  if (!(x < kLimit)) return false;
  for (int k = 0; k < 16; ++k) {
    const double scaled = x * kPow10[k];
    if (scaled >= kLimit) return false;
    const double n = std::nearbyint(scaled);
    if (n == 0.0 || n / kPow10[k] != x) continue;
    char text[24];
    const char* end = std::to_chars(text, text + sizeof text, static_cast<std::uint64_t>(n)).ptr;
    const int length = static_cast<int>(end - text);
    int significant = length;
    while (significant > 1 && text[significant - 1] == '0') --significant;  // only when k is 0
    std::memcpy(d.digits, text, static_cast<std::size_t>(significant));
    d.count = significant;
    d.exponent = length - 1 - k;
    return true;
  }
  return false;
}

}  // namespace

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
  Decimal shortest;
  if (!few_decimals(x, shortest)) shortest = shortest_by_to_chars(x);
  const std::string_view digits(shortest.digits, shortest.count);
  const int exponent = shortest.exponent;
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
