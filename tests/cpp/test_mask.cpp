// Secret masking in URLs and in texts that quote them.
#include <gtest/gtest.h>

#include "core/mask.hpp"

namespace {

struct Case {
  const char* input;
  const char* masked;
  bool text = false;  // a free text that may quote URLs, rather than one URL
};

Case in_text(const char* input, const char* masked) { return {input, masked, true}; }

class MaskTest : public ::testing::TestWithParam<Case> {};

TEST_P(MaskTest, MasksSecretValuesOnly) {
  using namespace corvane::core;
  const Case& c = GetParam();
  EXPECT_EQ(c.text ? mask_secrets_in_text(c.input) : mask_secrets(c.input), c.masked);
}

INSTANTIATE_TEST_SUITE_P(
    Urls, MaskTest,
    ::testing::Values(
        Case{"https://g.example/v23.0/me", "https://g.example/v23.0/me"},
        Case{"https://g.example/me?", "https://g.example/me?"},
        Case{"https://g.example/me?access_token=EAAB%2Fx&fields=id,name",
             "https://g.example/me?access_token=***&fields=id,name"},
        Case{"https://g.example/x?a=1&appsecret_proof=ab12&client_secret=s&fb_exchange_token=t"
             "&input_token=i&code=c&refresh_token=r&token=k&b=2",
             "https://g.example/x?a=1&appsecret_proof=***&client_secret=***&fb_exchange_token=***"
             "&input_token=***&code=***&refresh_token=***&token=***&b=2"},
        // names are compared decoded; near-misses and value-less names stay
        Case{"https://g.example/x?access%5Ftoken=t&access_tokens=u&token&codes=1",
             "https://g.example/x?access%5Ftoken=***&access_tokens=u&token&codes=1"},
        // the fragment and empty pairs survive untouched
        Case{"https://g.example/x?code=abc&&state=s#code=frag",
             "https://g.example/x?code=***&&state=s#code=frag"},
        Case{"https://g.example/x?token=a=b", "https://g.example/x?token=***"}));

INSTANTIATE_TEST_SUITE_P(
    Texts, MaskTest,
    ::testing::Values(
        // an HTTP library's message quoting the URL in a repr
        in_text("302, message='Found', url=URL('http://h/me?fields=id&access_token=SEKRIT1')",
                "302, message='Found', url=URL('http://h/me?fields=id&access_token=***')"),
        in_text("Cannot connect to host h:1 ssl:default [refused]",
                "Cannot connect to host h:1 ssl:default [refused]"),
        in_text("see http://h/x?code=abc&state=1 and http://h/y;token=t2 then",
                "see http://h/x?code=***&state=1 and http://h/y;token=*** then"),
        in_text("a?access%5Ftoken=v\"b", "a?access%5Ftoken=***\"b"),
        in_text("a&code", "a&code"), in_text("a&fields=x y", "a&fields=x y"),
        in_text("&code=", "&code=***")));

TEST(TextMask, KnownValuesAreMaskedWhereverTheyStand) {
  const auto known = corvane::core::secret_values("https://h/x?a=1&access_token=EA%2FB9z&code=c");
  ASSERT_EQ(known.size(), 3u);  // as written, decoded, and the short code
  EXPECT_EQ(corvane::core::mask_secrets_in_text("next=%3Faccess_token%3DEA%2FB9z, EA/B9z!", known),
            "next=%3Faccess_token%3D***, ***!");
  // values shorter than 4 bytes are left to the name-based rule
  EXPECT_EQ(corvane::core::mask_secrets_in_text("code c", known), "code c");
}

TEST(TextMask, NoKnownValueIsFormedAgainByTheMask) {
  // A value holding "*" can meet the "***" that replaced it, or one that replaced another value.
  using corvane::core::mask_secrets_in_text;
  EXPECT_EQ(mask_secrets_in_text("xx***", {"x***"}), "***");
  EXPECT_EQ(mask_secrets_in_text("x *cdab y", {"****", "cdab"}), "x *** y");
  EXPECT_EQ(mask_secrets_in_text("a ********* b", {"******"}), "a *** b");
}

TEST(SecretNames, AreExactlyTheKnownOnes) {
  for (const char* name : {"access_token", "appsecret_proof", "client_secret",
                           "fb_exchange_token", "input_token", "code", "refresh_token", "token"}) {
    EXPECT_TRUE(corvane::core::is_secret_param(name)) << name;
  }
  for (const char* name : {"", "Access_Token", "fields", "client_id", "redirect_uri"}) {
    EXPECT_FALSE(corvane::core::is_secret_param(name)) << name;
  }
}

}  // namespace
