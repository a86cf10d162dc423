// The usage header: figures read where they are numbers, nothing at all from garbage.
#include <gtest/gtest.h>

#include <string>

#include "core/usage.hpp"

namespace corvane::core {
namespace {

TEST(BusinessUsage, ReadsEveryObjectAndUseCase) {
  const auto objects = parse_business_usage(
      R"({"1001":[{"type":"pages","call_count":100,"total_cputime":25,"total_time":25,)"
      R"("estimated_time_to_regain_access":19},{"type":"leadgen","call_count":"7"}],)"
      R"( "1001" : [ {"type":"messenger","x":{"deep":[1,2,{}]},"total_time":-1} ],"2":[]})");
  ASSERT_EQ(objects.size(), 3u);
  EXPECT_EQ(objects[0].id, "1001");
  ASSERT_EQ(objects[0].use_cases.size(), 2u);
  const UseCaseUsage& pages = objects[0].use_cases[0];
  EXPECT_EQ(pages.type, "pages");
  EXPECT_EQ(pages.call_count, 100);
  EXPECT_EQ(pages.total_cputime, 25);
  EXPECT_EQ(pages.regain_minutes, 19);
  EXPECT_EQ(objects[0].use_cases[1].call_count, std::nullopt);  // a text is no figure
  EXPECT_EQ(objects[1].use_cases[0].type, "messenger");
  EXPECT_EQ(objects[1].use_cases[0].total_time, std::nullopt);  // negative: no figure
  EXPECT_TRUE(objects[2].use_cases.empty());
}

TEST(BusinessUsage, GarbageGivesNothing) {
  for (const char* header :
       {"", "null", "[]", "{", R"({"1":[{"type":"pages"})", R"({"1":[{"type":"pages"}]} x)",
        R"({"1":[{"estimated_time_to_regain_access":1e999999}]})",
        R"({"1":[{"estimated_time_to_regain_access":01}]})", R"({"1":[{"type":"\q"}]})"}) {
    EXPECT_EQ(regain_access_seconds(header), std::nullopt) << header;
  }
  std::string deep = R"({"1":[{"x":)" + std::string(100, '[') + std::string(100, ']') + "}]}";
  EXPECT_TRUE(parse_business_usage(deep).empty());
}

TEST(BusinessUsage, RegainAccessIsTheLongestWaitInSeconds) {
  EXPECT_EQ(regain_access_seconds(
                R"({"1":[{"estimated_time_to_regain_access":2}],"2":[{"type":"instagram",)"
                R"("estimated_time_to_regain_access":5.5},{"estimated_time_to_regain_access":null}]})"),
            330.0);
  EXPECT_EQ(regain_access_seconds(R"({"1":[{"type":"pages","call_count":12}]})"), std::nullopt);
}

TEST(BusinessUsage, AtMostThirtyTwoObjects) {
  std::string header = "{";
  for (int i = 0; i < 40; ++i) {
    header += (i ? "," : "") + std::string("\"") + std::to_string(i) +
              R"(":[{"estimated_time_to_regain_access":)" + std::to_string(i) + "}]";
  }
  header += "}";
  EXPECT_EQ(parse_business_usage(header).size(), kMaxUsageObjects);
  EXPECT_EQ(regain_access_seconds(header), 31 * 60.0);
}

TEST(AppAndAdAccountUsage, FiguresWhereNumbersNothingFromGarbage) {
  const auto app = parse_app_usage(
      R"({"call_count":28,"total_time":"25","total_cputime":2.5e1,"extra":{"a":[1]}})");
  ASSERT_TRUE(app);
  EXPECT_EQ(app->call_count, 28);
  EXPECT_EQ(app->total_time, std::nullopt);
  EXPECT_EQ(app->total_cputime, 25);
  const auto ad = parse_ad_account_usage(
      R"({"acc_id_util_pct":9.67,"reset_time_duration":100,"ads_api_access_tier":"standard_access"})");
  ASSERT_TRUE(ad);
  EXPECT_EQ(ad->util_pct, 9.67);
  EXPECT_EQ(ad->reset_seconds, 100);
  EXPECT_EQ(ad->access_tier, "standard_access");
  for (const char* header : {"", "[]", "{", R"({"call_count":1} x)", R"({"call_count":-})",
                             R"({"acc_id_util_pct":1,})"}) {
    EXPECT_FALSE(parse_app_usage(header)) << header;
    EXPECT_FALSE(parse_ad_account_usage(header)) << header;
  }
}

}  // namespace
}  // namespace corvane::core
