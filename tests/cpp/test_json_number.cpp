// Floats and integers written as Python writes them.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
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
