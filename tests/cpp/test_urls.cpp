// URL building for the API builders.
#include <gtest/gtest.h>

#include <string>

#include "core/urls.hpp"

namespace corvane::core {
namespace {

constexpr std::string_view kHost = "https://graph.example";

TEST(VersionedUrl, LeadingSlashesAreRemoved) {
  for (const char* path : {"me", "/me", "///me"})
    EXPECT_EQ(versioned_url(kHost, "v23.0", path), "https://graph.example/v23.0/me") << path;
  EXPECT_EQ(versioned_url(kHost, "v23.0", "/me/accounts"),
            "https://graph.example/v23.0/me/accounts");
}

TEST(VersionedUrl, EmptyPathGivesTheVersionedHostWithoutSlash) {
  EXPECT_EQ(versioned_url(kHost, "v24.0", ""), "https://graph.example/v24.0");
  EXPECT_EQ(versioned_url(kHost, "v24.0", "///"), "https://graph.example/v24.0");
}

TEST(VersionedUrl, PathIsNotEscaped) {
  EXPECT_EQ(versioned_url(kHost, "v23.0", "123_456/comments?x"),
            "https://graph.example/v23.0/123_456/comments?x");
}

TEST(FillPlaceholder, ReplacesEveryOccurrence) {
  EXPECT_EQ(fill_placeholder("https://w.example/{version}/dialog/oauth", "{version}", "v24.0"),
            "https://w.example/v24.0/dialog/oauth");
  EXPECT_EQ(fill_placeholder("{v}{v}-{v}", "{v}", "x"), "xx-x");
  EXPECT_EQ(fill_placeholder("none", "{v}", "x"), "none");
  EXPECT_EQ(fill_placeholder("abc", "", "x"), "abc");
}

TEST(EncodeQuery, EncodesNamesAndValuesInOrder) {
  EXPECT_EQ(encode_query({}), "");
  EXPECT_EQ(encode_query({{"client_id", "123"},
                          {"redirect_uri", "https://app.example/cb"},
                          {"scope", "email,pages_show_list"},
                          {"state", "a b"}}),
            "client_id=123&redirect_uri=https%3A%2F%2Fapp.example%2Fcb"
            "&scope=email%2Cpages_show_list&state=a%20b");
  EXPECT_EQ(encode_query({{"", ""}, {"k", ""}}), "=&k=");
  EXPECT_EQ(encode_query({{"ism", "Ғайрат"}}), "ism=%D2%92%D0%B0%D0%B9%D1%80%D0%B0%D1%82");
}

TEST(JoinedPath, KeepsTheSlashForAnEmptyPath) {
  EXPECT_EQ(joined_path("https://api.example/rest", ""), "https://api.example/rest/");
  EXPECT_EQ(joined_path("https://api.example/rest", "//posts"), "https://api.example/rest/posts");
  EXPECT_EQ(joined_path("https://api.example/rest", "posts/urn%3Ali%3Ashare%3A1"),
            "https://api.example/rest/posts/urn%3Ali%3Ashare%3A1");
}

TEST(StripLeadingSlashes, OnlyLeading) {
  EXPECT_EQ(strip_leading_slashes("//a/b/"), "a/b/");
  EXPECT_EQ(strip_leading_slashes("/"), "");
  EXPECT_EQ(strip_leading_slashes(""), "");
}

}  // namespace
}  // namespace corvane::core
