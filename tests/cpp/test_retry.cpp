// Back-off delays and Retry-After parsing.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <optional>

#include "core/retry.hpp"

namespace {

using corvane::core::Backoff;
using corvane::core::delay_for;
using corvane::core::parse_retry_after;

TEST(DelayFor, DoublesUpToTheCap) {
  const Backoff plain{0.5, 30.0, false};
  const double expected[] = {0.5, 1, 2, 4, 8, 16, 30, 30};
  for (int attempt = 1; attempt <= 8; ++attempt) {
    EXPECT_DOUBLE_EQ(delay_for(plain, attempt, 0.99), expected[attempt - 1]) << attempt;
  }
  EXPECT_DOUBLE_EQ(delay_for(plain, 1LL << 40, 0.0), 30.0);  // 2^huge is capped, not NaN
  EXPECT_DOUBLE_EQ(delay_for({0.0, 30.0, false}, 5, 0.0), 0.0);
}

TEST(DelayFor, ExtremeAttemptsNeitherOverflowNorTurnNaN) {
  const Backoff plain{0.5, 30.0, false};
  EXPECT_DOUBLE_EQ(delay_for(plain, LLONG_MIN, 0.0), 0.0);
  EXPECT_DOUBLE_EQ(delay_for(plain, -(1LL << 62), 0.0), 0.0);
  EXPECT_DOUBLE_EQ(delay_for(plain, LLONG_MAX, 0.0), 30.0);
  EXPECT_DOUBLE_EQ(delay_for({0.0, 30.0, false}, LLONG_MAX, 0.0), 0.0);
}

TEST(DelayFor, SpreadComesAfterTheCap) {
  const Backoff spread{0.5, 30.0, true};
  EXPECT_DOUBLE_EQ(delay_for(spread, 1, 0.0), 0.25);
  EXPECT_DOUBLE_EQ(delay_for(spread, 7, 0.0), 15.0);
  EXPECT_LT(delay_for(spread, 7, 0.9999999), 45.0);
}

struct RetryAfterCase {
  const char* header;
  std::optional<double> seconds;
};

class RetryAfterTest : public ::testing::TestWithParam<RetryAfterCase> {};

TEST_P(RetryAfterTest, ReadsDecimalSecondsOnly) {
  const auto got = parse_retry_after(GetParam().header);
  ASSERT_EQ(got.has_value(), GetParam().seconds.has_value()) << GetParam().header;
  if (got) EXPECT_DOUBLE_EQ(*got, *GetParam().seconds);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, RetryAfterTest,
    ::testing::Values(RetryAfterCase{"7", 7.0}, RetryAfterCase{"120", 120.0},
                      RetryAfterCase{" 1.5\t", 1.5}, RetryAfterCase{"0", 0.0},
                      RetryAfterCase{"-3", -3.0}, RetryAfterCase{"+2", 2.0},
                      RetryAfterCase{".5", 0.5}, RetryAfterCase{"5.", 5.0},
                      RetryAfterCase{"1e2", 100.0}, RetryAfterCase{"2.5E-1", 0.25},
                      RetryAfterCase{"", std::nullopt}, RetryAfterCase{"   ", std::nullopt},
                      RetryAfterCase{"Wed, 21 Oct 2015 07:28:00 GMT", std::nullopt},
                      RetryAfterCase{"inf", std::nullopt}, RetryAfterCase{"NaN", std::nullopt},
                      RetryAfterCase{"1e999", std::nullopt}, RetryAfterCase{"1_000", std::nullopt},
                      RetryAfterCase{"0x10", std::nullopt}, RetryAfterCase{"1e", std::nullopt},
                      RetryAfterCase{"- 1", std::nullopt}, RetryAfterCase{".", std::nullopt}));

}  // namespace
