// Pacing: normal budgets cost nothing, a budget near its limit goes one request at a time with
// spacing from its figures, a blocked one lets nothing go, and budgets are tied to tokens.
#include <gtest/gtest.h>

#include <vector>

#include "core/pacing.hpp"

namespace corvane::core {
namespace {

const PaceKey kPage{"1001", "pages"};

TEST(Pacer, NormalUntilTheThresholdThenOneAtATimeSpacedByTheHeadroom) {
  Pacer pacer(90, 100);
  TokenPrint token("page-token");
  TokenPrint other("other-token");
  // Each answer adds one percent: the cost is learned on the way up.
  for (int percent = 1; percent < 90; ++percent) {
    pacer.record(token, kPage, percent, std::nullopt, percent, 0);
  }
  EXPECT_TRUE(pacer.quiet());
  std::vector<PaceKey> held;
  EXPECT_EQ(pacer.admit(token, 100, 300, &held).kind, PaceDecision::go);
  EXPECT_TRUE(held.empty());

  pacer.record(token, kPage, 90, std::nullopt, 100, 0);
  EXPECT_FALSE(pacer.quiet());
  EXPECT_EQ(pacer.admit(other, 100, 300, &held).kind, PaceDecision::go);  // not tied
  ASSERT_EQ(pacer.admit(token, 100, 300, &held).kind, PaceDecision::go);
  EXPECT_EQ(held.size(), 1u);
  // The lane is busy until the answer; then the next one waits window * cost / room, the room
  // left below 100 once the call itself is counted.
  EXPECT_EQ(pacer.admit(token, 100, 300, nullptr).kind, PaceDecision::wait);
  pacer.release(held, 101);
  const PaceDecision next = pacer.admit(token, 101, 300, nullptr);
  EXPECT_EQ(next.kind, PaceDecision::wait);
  EXPECT_NEAR(next.seconds, 100.0 * 1 / 9, 1e-9);
  EXPECT_EQ(pacer.admit(token, 101, 5, nullptr).kind, PaceDecision::refuse);

  pacer.record(token, kPage, 50, std::nullopt, 120, 0);
  EXPECT_TRUE(pacer.quiet());
  const auto changes = pacer.take_changes();
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[0].state, PaceState::slow);
  EXPECT_EQ(changes[1].state, PaceState::normal);
}

TEST(Pacer, RequestsInFlightBringSlowPacingForward) {
  Pacer pacer(90, 100);
  TokenPrint token("t");
  for (int percent = 1; percent <= 70; percent += 2) {
    pacer.record(token, kPage, percent, std::nullopt, 0, 0);
  }
  pacer.record(token, kPage, 72, std::nullopt, 0, 1);
  EXPECT_TRUE(pacer.quiet());
  pacer.record(token, kPage, 72, std::nullopt, 0, 32);  // 72 + 32 calls at 2 % each
  EXPECT_FALSE(pacer.quiet());
}

TEST(Pacer, BlockedByAWaitAFullFigureOrAThrottleAndFreeAfterIt) {
  Pacer pacer(90, 3600);
  TokenPrint token("t");
  pacer.record(token, kPage, 40, 120.0, 0, 0);
  PaceDecision d = pacer.admit(token, 20, 300, nullptr);
  EXPECT_EQ(d.kind, PaceDecision::wait);
  EXPECT_TRUE(d.blocked);
  EXPECT_DOUBLE_EQ(d.seconds, 100);
  EXPECT_EQ(d.key.id, "1001");
  EXPECT_EQ(pacer.admit(token, 20, 60, nullptr).kind, PaceDecision::refuse);
  EXPECT_EQ(pacer.admit(token, 121, 60, nullptr).kind, PaceDecision::go);
  EXPECT_TRUE(pacer.quiet());

  TokenPrint member("member");
  const PaceKey own{member.label(), "daily"};
  EXPECT_EQ(own.id.size(), 14u);
  EXPECT_EQ(own.id.find("member"), std::string::npos);
  pacer.throttled(member, own, 600, 200);
  EXPECT_EQ(pacer.admit(member, 300, 600, nullptr).kind, PaceDecision::wait);
  const PaceDecision refused = pacer.admit(member, 300, 60, nullptr);
  EXPECT_EQ(refused.kind, PaceDecision::refuse);
  EXPECT_EQ(refused.seconds, 500);

  const PaceKey app{"app", "app"};
  pacer.record(token, app, 100, std::nullopt, 1000, 0);  // no wait named: one call's share
  EXPECT_EQ(pacer.admit(token, 1000, 300, nullptr).kind, PaceDecision::wait);
}

}  // namespace
}  // namespace corvane::core
