// Float repr and integers: the text reads back to the same double, carries the shortest
// round-trip digits (those of std::to_chars, closest on ties), and is positional exactly when
// the decimal exponent lies in [-4, 16).
#include <fuzzer/FuzzedDataProvider.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "check.hpp"
#include "core/json_number.hpp"

namespace {

using namespace corvane::core;

template <class Append, class Value>
std::string text_of(Append append, Value x) {
  TextBuffer out;
  append(out, x);
  return out.str();
}

// The shortest round-trip digits of |x| (no trailing zeros) and the decimal exponent of the
// first one.
void shortest_digits(double x, std::string& digits, int& exponent) {
  char buffer[64];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(x),
                                 std::chars_format::scientific).ptr;
  const std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
  const auto e = text.find('e');
  digits.clear();
  for (char c : text.substr(0, e)) {
    if (c != '.') digits += c;
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
}

void check_float(double x) {
  const std::string repr = text_of(append_float_repr, x);
  const std::string json = text_of(append_json_float, x);
  if (std::isnan(x)) {
    FUZZ_CHECK(repr == "nan" && json == "NaN");
    return;
  }
  if (std::isinf(x)) {
    FUZZ_CHECK(repr == (x < 0 ? "-inf" : "inf") && json == (x < 0 ? "-Infinity" : "Infinity"));
    return;
  }
  FUZZ_CHECK(json == repr);

  // Reads back to the very same double, sign of zero included.
  char* end = nullptr;
  const double back = std::strtod(repr.c_str(), &end);
  FUZZ_CHECK(end == repr.c_str() + repr.size());
  FUZZ_CHECK(std::memcmp(&back, &x, sizeof x) == 0);
  if (x == 0) {
    FUZZ_CHECK(repr == (std::signbit(x) ? "-0.0" : "0.0"));
    return;
  }

  std::string expected_digits;
  int exponent = 0;
  shortest_digits(x, expected_digits, exponent);
  std::string_view rest(repr);
  if (rest.front() == '-') rest.remove_prefix(1);
  const auto e = rest.find('e');
  const std::string_view mantissa = rest.substr(0, e);
  if (exponent < -4 || exponent >= 16) {
    // "d" or "d.ddd", then a signed exponent of at least two digits.
    FUZZ_CHECK(e != std::string_view::npos);
    const std::string_view power = rest.substr(e + 1);
    FUZZ_CHECK(power.size() >= 3 && (power[0] == '+' || power[0] == '-'));
    FUZZ_CHECK(std::atoi(std::string(power).c_str()) == exponent);
    FUZZ_CHECK(mantissa.size() == 1 || (mantissa.size() > 2 && mantissa[1] == '.'));
  } else {
    // Positional, with a point and at least one digit after it.
    FUZZ_CHECK(e == std::string_view::npos);
    const auto point = mantissa.find('.');
    FUZZ_CHECK(point != std::string_view::npos && point + 1 < mantissa.size());
  }
  std::string digits;
  for (char c : mantissa) {
    if (c != '.') digits += c;
  }
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  FUZZ_CHECK(digits == expected_digits);
}

void check_integer(long long value) {
  const std::string text = text_of(append_integer, value);
  long long back = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), back);
  FUZZ_CHECK(ec == std::errc() && end == text.data() + text.size() && back == value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0: {
      // Any bit pattern: subnormals, the extremes, NaNs with payloads.
      const std::uint64_t bits = in.ConsumeIntegral<std::uint64_t>();
      double x;
      std::memcpy(&x, &bits, sizeof x);
      check_float(x);
      break;
    }
    case 1: {
      // n / 10^k: the few-decimals values webhooks carry, where the cheap search answers.
      const long long n = in.ConsumeIntegralInRange<long long>(-(1LL << 53), 1LL << 53);
      const int k = in.ConsumeIntegralInRange(0, 22);
      check_float(static_cast<double>(n) / std::pow(10.0, k));
      break;
    }
    default: {
      const std::string text = in.ConsumeRandomLengthString(40);
      check_float(std::strtod(text.c_str(), nullptr));
      break;
    }
  }
  check_integer(in.ConsumeIntegral<long long>());
  return 0;
}
