// HMAC-SHA256 over OpenSSL's SHA-256, and the signature-header check.
#include "core/hmac.hpp"

#include <openssl/crypto.h>

#include <algorithm>

#include "core/percent.hpp"

namespace corvane::core {
namespace {

constexpr std::string_view kSignaturePrefix = "sha256=";

}  // namespace

Sha256Digest hmac_sha256(std::string_view key, std::string_view message) {
  // HMAC (RFC 2104) written over the plain digest: OpenSSL 3's one-shot HMAC() looks the
  // algorithms up again at every call, which costs more than hashing a short token.
  constexpr std::size_t block = 64;
  std::array<unsigned char, block> pad{};
  if (key.size() > block) {
    const Sha256Digest hashed = sha256({key}, true);
    std::copy(hashed.begin(), hashed.end(), pad.begin());
  } else {
    std::copy(key.begin(), key.end(), pad.begin());
  }
  std::array<unsigned char, block> inner_pad{};
  std::array<unsigned char, block> outer_pad{};
  for (std::size_t i = 0; i < block; ++i) {
    inner_pad[i] = pad[i] ^ 0x36;
    outer_pad[i] = pad[i] ^ 0x5c;
  }
  const auto as_view = [](const auto& bytes) {
    return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  };
  const Sha256Digest inner = sha256({as_view(inner_pad), message}, true);
  const Sha256Digest out = sha256({as_view(outer_pad), as_view(inner)}, true);
  OPENSSL_cleanse(pad.data(), pad.size());
  OPENSSL_cleanse(inner_pad.data(), inner_pad.size());
  OPENSSL_cleanse(outer_pad.data(), outer_pad.size());
  return out;
}

std::string hmac_sha256_hex(std::string_view key, std::string_view message) {
  return to_hex(hmac_sha256(key, message));
}

std::optional<Sha256Digest> digest_from_hex(std::string_view hex) {
  if (hex.size() != 2 * kSha256Size) return std::nullopt;
  Sha256Digest out{};
  for (std::size_t i = 0; i < kSha256Size; ++i) {
    const int hi = hex_value(hex[2 * i]);
    const int lo = hex_value(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out[i] = static_cast<unsigned char>((hi << 4) | lo);
  }
  return out;
}

bool constant_time_equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool verify_sha256_signature(std::string_view secret, std::string_view body,
                             std::string_view header) {
  if (secret.empty() || !header.starts_with(kSignaturePrefix)) return false;
  // Decoding the received hex first makes the comparison independent of its letter case;
  // only the sender's input steers the decoder, never the expected digest.
  const auto received = digest_from_hex(header.substr(kSignaturePrefix.size()));
  if (!received) return false;
  const Sha256Digest expected = hmac_sha256(secret, body);
  return CRYPTO_memcmp(expected.data(), received->data(), kSha256Size) == 0;
}

}  // namespace corvane::core
