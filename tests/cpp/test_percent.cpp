// Percent-encoding of UTF-8 text: what stays, what is escaped, and how.
#include <gtest/gtest.h>

#include <string>

#include "core/percent.hpp"

namespace corvane::core {
namespace {

struct Case {
  std::string in;
  std::string out;
};

class PercentEncode : public ::testing::TestWithParam<Case> {};

TEST_P(PercentEncode, Encodes) { EXPECT_EQ(percent_encode(GetParam().in), GetParam().out); }

INSTANTIATE_TEST_SUITE_P(
    Table, PercentEncode,
    ::testing::Values(
        Case{"", ""},
        Case{"AZaz09_.-~", "AZaz09_.-~"},
        Case{"a b", "a%20b"},  // never "+"
        Case{"https://example.com/cb?x=1&y=2",
             "https%3A%2F%2Fexample.com%2Fcb%3Fx%3D1%26y%3D2"},
        Case{"+%#[]@!$'()*,;", "%2B%25%23%5B%5D%40%21%24%27%28%29%2A%2C%3B"},
        // UTF-8 bytes, each escaped, upper-case hex: Uzbek Latin with U+02BB, Cyrillic, emoji.
        Case{"oʻ", "o%CA%BB"},
        Case{"Тошкент", "%D0%A2%D0%BE%D1%88%D0%BA%D0%B5%D0%BD%D1%82"},
        Case{"\xF0\x9F\x98\x80", "%F0%9F%98%80"},
        Case{std::string("a\0b", 3), "a%00b"},
        Case{"\x7F\x80\xFF", "%7F%80%FF"}));

TEST(PercentEncodeInto, AppendsToWhatIsThere) {
  std::string out = "q=";
  percent_encode_into(out, "a/b");
  EXPECT_EQ(out, "q=a%2Fb");
}

}  // namespace
}  // namespace corvane::core
