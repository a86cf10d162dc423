// SHA-256 and HMAC-SHA256 against OpenSSL's EVP and HMAC as the oracle, the hex forms both
// ways, and the signature-header check.
#include <fuzzer/FuzzedDataProvider.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "check.hpp"
#include "core/hmac.hpp"
#include "core/sha256.hpp"

namespace {

using namespace corvane::core;

Sha256Digest oracle_sha256(std::string_view data) {
  Sha256Digest out{};
  unsigned int length = 0;
  FUZZ_CHECK(EVP_Digest(data.data(), data.size(), out.data(), &length, EVP_sha256(), nullptr) == 1);
  FUZZ_CHECK(length == kSha256Size);
  return out;
}

Sha256Digest oracle_hmac(std::string_view key, std::string_view message) {
  Sha256Digest out{};
  unsigned int length = 0;
  FUZZ_CHECK(HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
                  reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                  out.data(), &length) != nullptr);
  FUZZ_CHECK(length == kSha256Size);
  return out;
}

std::string oracle_hex(const Sha256Digest& digest) {
  std::string out;
  char pair[3];
  for (unsigned char b : digest) {
    std::snprintf(pair, sizeof pair, "%02x", b);
    out += pair;
  }
  return out;
}

void check_hex(const Sha256Digest& digest, FuzzedDataProvider& in) {
  const std::string hex = to_hex(digest);
  FUZZ_CHECK(hex == oracle_hex(digest));
  FUZZ_CHECK(digest_from_hex(hex) == digest);

  // put_hex writes exactly 2 * count bytes.
  const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, kSha256Size);
  char buffer[2 * kSha256Size + 1];
  std::fill(std::begin(buffer), std::end(buffer), '#');
  FUZZ_CHECK(put_hex(buffer, digest, count) == buffer + 2 * count);
  FUZZ_CHECK(std::string_view(buffer, 2 * count) == std::string_view(hex).substr(0, 2 * count));
  FUZZ_CHECK(buffer[2 * count] == '#');

  // Letter case is free; one non-hex byte anywhere, or a digit too many or too few, is not.
  std::string mixed = hex;
  const std::uint64_t upper = in.ConsumeIntegral<std::uint64_t>();
  for (std::size_t i = 0; i < mixed.size(); ++i) {
    if ((upper >> i) & 1) mixed[i] = static_cast<char>(std::toupper(mixed[i]));
  }
  FUZZ_CHECK(digest_from_hex(mixed) == digest);
  std::string broken = mixed;
  const char bad = in.ConsumeIntegral<char>();
  broken[in.ConsumeIntegralInRange<std::size_t>(0, broken.size() - 1)] = bad;
  if (!std::isxdigit(static_cast<unsigned char>(bad))) FUZZ_CHECK(!digest_from_hex(broken));
  FUZZ_CHECK(!digest_from_hex(mixed.substr(1)) && !digest_from_hex(mixed + "0"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  // Keys past the 64-byte block are hashed first: let them grow well beyond it.
  const std::string key = in.ConsumeRandomLengthString(200);
  const std::string message = in.ConsumeRandomLengthString();
  const std::string header = in.ConsumeRandomLengthString(80);

  const Sha256Digest plain = sha256(message);
  FUZZ_CHECK(plain == oracle_sha256(message));
  const std::size_t cut1 = in.ConsumeIntegralInRange<std::size_t>(0, message.size());
  const std::size_t cut2 = in.ConsumeIntegralInRange<std::size_t>(cut1, message.size());
  const std::string_view m(message);
  FUZZ_CHECK(sha256({m.substr(0, cut1), m.substr(cut1, cut2 - cut1), m.substr(cut2)},
                    in.ConsumeBool()) == plain);

  const Sha256Digest mac = hmac_sha256(key, message);
  FUZZ_CHECK(mac == oracle_hmac(key, message));
  FUZZ_CHECK(hmac_sha256_hex(key, message) == oracle_hex(mac));
  check_hex(mac, in);

  // The signature header: the right digest in any letter case verifies, except with an empty
  // secret; any other header does not.
  const std::string good = "sha256=" + oracle_hex(mac);
  FUZZ_CHECK(verify_sha256_signature(key, message, good) == !key.empty());
  std::string shouted = good;
  for (std::size_t i = 7; i < shouted.size(); ++i) {
    shouted[i] = static_cast<char>(std::toupper(shouted[i]));
  }
  FUZZ_CHECK(verify_sha256_signature(key, message, shouted) == !key.empty());
  std::string lowered(header);
  for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const bool matches = header.starts_with("sha256=") && lowered == good;  // the prefix as is
  FUZZ_CHECK(verify_sha256_signature(key, message, header) == (!key.empty() && matches));

  const std::string other = in.ConsumeRemainingBytesAsString();
  FUZZ_CHECK(constant_time_equal(header, other) == (header == other));
  FUZZ_CHECK(constant_time_equal(other, other));
  return 0;
}
