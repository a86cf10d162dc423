// HMAC-SHA256 against RFC 4231, and the signature-header check.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "core/hmac.hpp"

namespace corvane::core {
namespace {

struct Vector {
  std::string key;
  std::string data;
  const char* hex;
};

class Rfc4231 : public ::testing::TestWithParam<Vector> {};

TEST_P(Rfc4231, MatchesPublishedDigest) {
  const Vector& v = GetParam();
  EXPECT_EQ(hmac_sha256_hex(v.key, v.data), v.hex);
}

std::string bytes(unsigned char b, std::size_t n) { return std::string(n, static_cast<char>(b)); }

std::string counting_key() {
  std::string key;
  for (int i = 1; i <= 25; ++i) key.push_back(static_cast<char>(i));
  return key;
}

INSTANTIATE_TEST_SUITE_P(
    TestCases, Rfc4231,
    ::testing::Values(
        Vector{bytes(0x0b, 20), "Hi There",
               "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        Vector{"Jefe", "what do ya want for nothing?",
               "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        Vector{bytes(0xaa, 20), bytes(0xdd, 50),
               "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        Vector{counting_key(), bytes(0xcd, 50),
               "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        Vector{bytes(0xaa, 131), "Test Using Larger Than Block-Size Key - Hash Key First",
               "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        Vector{bytes(0xaa, 131),
               "This is a test using a larger than block-size key and a larger than "
               "block-size data. The key needs to be hashed before being used by the HMAC "
               "algorithm.",
               "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"}));

TEST(Hmac, EmptyMessageAndBinaryBytes) {
  // Embedded NUL bytes are data, not terminators.
  const std::string with_nul("a\0b", 3);
  EXPECT_NE(hmac_sha256_hex("k", with_nul), hmac_sha256_hex("k", "a"));
  EXPECT_EQ(hmac_sha256_hex("k", "").size(), 64u);
}

TEST(DigestFromHex, AcceptsEitherCaseAndRejectsEverythingElse) {
  const std::string hex = hmac_sha256_hex("Jefe", "what do ya want for nothing?");
  std::string upper = hex;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  ASSERT_TRUE(digest_from_hex(upper));
  EXPECT_EQ(to_hex(*digest_from_hex(upper)), hex);
  EXPECT_FALSE(digest_from_hex(hex.substr(1)));
  EXPECT_FALSE(digest_from_hex(hex + "0"));
  EXPECT_FALSE(digest_from_hex("g" + hex.substr(1)));
  EXPECT_FALSE(digest_from_hex(""));
}

TEST(ConstantTimeEqual, ComparesContentAndLength) {
  EXPECT_TRUE(constant_time_equal("", ""));
  EXPECT_TRUE(constant_time_equal("abc", "abc"));
  EXPECT_FALSE(constant_time_equal("abc", "abd"));
  EXPECT_FALSE(constant_time_equal("abc", "abcd"));
}

TEST(VerifySignature, ValidTamperedAndMalformed) {
  const std::string body = R"({"object":"page","entry":[]})";
  const std::string good = "sha256=" + hmac_sha256_hex("secret", body);
  EXPECT_TRUE(verify_sha256_signature("secret", body, good));
  std::string upper = good;
  for (std::size_t i = 7; i < upper.size(); ++i)
    upper[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(upper[i])));
  EXPECT_TRUE(verify_sha256_signature("secret", body, upper));

  EXPECT_FALSE(verify_sha256_signature("secret", body + " ", good));
  EXPECT_FALSE(verify_sha256_signature("other", body, good));
  EXPECT_FALSE(verify_sha256_signature("secret", body, ""));
  EXPECT_FALSE(verify_sha256_signature("secret", body, good.substr(7)));
  EXPECT_FALSE(verify_sha256_signature("secret", body, "sha1=" + good.substr(7)));
  EXPECT_FALSE(verify_sha256_signature("secret", body, "SHA256=" + good.substr(7)));
  EXPECT_FALSE(verify_sha256_signature("secret", body, good + " "));
  EXPECT_FALSE(verify_sha256_signature("secret", body, "sha256="));
}

TEST(VerifySignature, EmptySecretNeverVerifies) {
  const std::string body = "{}";
  EXPECT_FALSE(verify_sha256_signature("", body, "sha256=" + hmac_sha256_hex("", body)));
}

}  // namespace
}  // namespace corvane::core
