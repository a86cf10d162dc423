// SHA-256 hex digests against the published test vectors.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "core/sha256.hpp"

namespace {

// The digest of `data` as the webhook keys and signatures write it.
std::string sha256_hex(std::string_view data) {
  return corvane::core::to_hex(corvane::core::sha256(data));
}

TEST(Sha256, PublishedVectors) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(sha256_hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
