// Floats and integers written as Python writes them.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string_view>
#include <vector>
#include <string>

#include "core/json_number.hpp"

namespace {

std::string repr(double x) {
  corvane::core::TextBuffer out;
  corvane::core::append_float_repr(out, x);
  return out.str();
}

std::string json(double x) {
  corvane::core::TextBuffer out;
  corvane::core::append_json_float(out, x);
  return out.str();
}

struct ReprCase {
  double value;
  const char* text;
};

class FloatRepr : public ::testing::TestWithParam<ReprCase> {};

TEST_P(FloatRepr, MatchesPythonRepr) { EXPECT_EQ(repr(GetParam().value), GetParam().text); }

// The expected texts are what CPython's repr() prints for the same doubles.
INSTANTIATE_TEST_SUITE_P(
    Values, FloatRepr,
    ::testing::Values(ReprCase{0.0, "0.0"}, ReprCase{-0.0, "-0.0"}, ReprCase{1.0, "1.0"},
                      ReprCase{0.5, "0.5"}, ReprCase{-2.5, "-2.5"}, ReprCase{0.1, "0.1"},
                      ReprCase{0.1 + 0.2, "0.30000000000000004"}, ReprCase{1e-4, "0.0001"},
                      ReprCase{1e-5, "1e-05"}, ReprCase{1.5e-5, "1.5e-05"},
                      ReprCase{1e15, "1000000000000000.0"}, ReprCase{1e16, "1e+16"},
                      ReprCase{1.2345e16, "1.2345e+16"}, ReprCase{123456789.125, "123456789.125"},
                      ReprCase{9007199254740993.0, "9007199254740992.0"},
                      ReprCase{1e100, "1e+100"}, ReprCase{5e-324, "5e-324"},
                      ReprCase{1.7976931348623157e308, "1.7976931348623157e+308"},
                      ReprCase{2.2250738585072014e-308, "2.2250738585072014e-308"},
                      ReprCase{1440120384.5, "1440120384.5"}));

// The significant digits of a decimal text ("0.00120" and "1.2e-03" both give "12").
std::string significant_digits(std::string_view text) {
  text = text.substr(0, text.find('e'));
  std::string digits;
  for (char c : text) {
    if (c >= '0' && c <= '9') digits += c;
  }
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  return digits;
}

TEST(FloatRepr, ShortestDigitsThatReadBackForDecimalsAndArbitraryBits) {
  // Values with a few decimals take a shorter road than the rest: both must give the digits
  // of the shortest round trip (to_chars' choice) and text that reads back to the same double.
  std::mt19937_64 random(20261208);
  std::vector<double> values;
  for (int i = 0; i < 20000; ++i) {
    const auto n = static_cast<double>(random() % 1000000000000000ULL >> (random() % 50));
    values.push_back(n / std::pow(10.0, static_cast<double>(random() % 18)));
    double bits;
    const std::uint64_t raw = random() & 0x7fefffffffffffffULL;  // finite, positive
    std::memcpy(&bits, &raw, sizeof bits);
    values.push_back(bits);
  }
  for (double x : {0.1, 0.2, 0.3, 4.5, 99.99, 41.311081, 69.240562, 1e-05, 123456789012345.6,
                   999999999999999.9, 1e15 - 0.125, 0.1 + 0.2, 1.0 / 3.0, 2.5e-16}) {
    values.push_back(x);
  }
  for (double x : values) {
    if (x == 0.0) continue;
    const std::string text = repr(x);
    double back = 0;
    std::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_EQ(back, x) << text;
    char sci[64];
    const auto end = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific).ptr;
    ASSERT_EQ(significant_digits(text), significant_digits(std::string_view(sci, end - sci)))
        << text;
  }
}

TEST(FloatRepr, NonFiniteValues) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(repr(inf), "inf");
  EXPECT_EQ(repr(-inf), "-inf");
  EXPECT_EQ(repr(std::nan("")), "nan");
  EXPECT_EQ(json(inf), "Infinity");
  EXPECT_EQ(json(-inf), "-Infinity");
  EXPECT_EQ(json(std::nan("")), "NaN");
  EXPECT_EQ(json(1e16), "1e+16");
}

TEST(Integer, Extremes) {
  corvane::core::TextBuffer out;
  corvane::core::append_integer(out, std::numeric_limits<long long>::min());
  out.put(' ');
  corvane::core::append_integer(out, 0);
  EXPECT_EQ(out.view(), "-9223372036854775808 0");
}

}  // namespace
