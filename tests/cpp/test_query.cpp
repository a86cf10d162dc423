// Reading and replacing one query member; the appsecret_proof rule for paging links.
#include <gtest/gtest.h>

#include <string>

#include "core/hmac.hpp"
#include "core/query.hpp"

namespace corvane::core {
namespace {

TEST(QueryValue, FirstMemberDecodedByName) {
  const std::string url = "https://h/p?a=1&access%5Ftoken=A%7Cb+c&access_token=2#x=9";
  EXPECT_EQ(query_value(url, "access_token"), "A|b c");
  EXPECT_EQ(query_value(url, "a"), "1");
  EXPECT_EQ(query_value("https://h/p?flag&b=", "flag"), "");
  EXPECT_EQ(query_value("https://h/p?a=1#x=9", "x"), std::nullopt);
  EXPECT_EQ(query_value("https://h/p", "a"), std::nullopt);
}

TEST(WithQueryValue, ReplacesInPlaceKeepingEveryOtherMemberAsWritten) {
  struct Case {
    const char* url;
    const char* out;
  };
  for (const Case& c : {
           Case{"https://h/p", "https://h/p?k=v%2F1"},
           Case{"https://h/p?", "https://h/p?k=v%2F1"},
           Case{"https://h/p?a=%2f&&b=&c", "https://h/p?a=%2f&&b=&c&k=v%2F1"},
           Case{"https://h/p?a=1&", "https://h/p?a=1&k=v%2F1"},
           Case{"https://h/p?k=old&a=1&%6B=older#f", "https://h/p?k=v%2F1&a=1#f"},
           Case{"https://h/p?a=1#k=frag", "https://h/p?a=1&k=v%2F1#k=frag"},
       }) {
    EXPECT_EQ(with_query_value(c.url, "k", "v/1"), c.out) << c.url;
  }
}

TEST(UrlOrigin, SchemeAndHostLowerCasedPathDropped) {
  EXPECT_EQ(url_origin("HTTPS://Graph.Facebook.com/v23.0/me?x"), "https://graph.facebook.com");
  EXPECT_EQ(url_origin("http://127.0.0.1:8080"), "http://127.0.0.1:8080");
  EXPECT_EQ(url_origin("/v23.0/me"), "");
  EXPECT_EQ(url_origin("://h/"), "");
}

TEST(WithAppsecretProof, ProvesTheLinksOwnTokenElseTheCallers) {
  const std::string proof = hmac_sha256_hex("s3", "T|1");
  EXPECT_EQ(with_appsecret_proof("https://h/p?access_token=T%7C1&after=QVF&appsecret_proof=bad",
                                 "s3", "other"),
            "https://h/p?access_token=T%7C1&after=QVF&appsecret_proof=" + proof);
  EXPECT_EQ(with_appsecret_proof("https://h/p?after=QVF&limit=", "s3", "T|1"),
            "https://h/p?after=QVF&limit=&access_token=T%7C1&appsecret_proof=" + proof);
  // Nothing to prove, or nothing to prove it with.
  EXPECT_EQ(with_appsecret_proof("https://h/p?after=QVF", "s3"), "https://h/p?after=QVF");
  EXPECT_EQ(with_appsecret_proof("https://h/p?access_token=T", ""), "https://h/p?access_token=T");
}

}  // namespace
}  // namespace corvane::core
