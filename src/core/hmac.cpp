// HMAC-SHA256 with OpenSSL and the signature-header check.
#include "core/hmac.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <stdexcept>

namespace corvane::core {
namespace {

constexpr std::string_view kSignaturePrefix = "sha256=";

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

Sha256Digest hmac_sha256(std::string_view key, std::string_view message) {
  // OpenSSL wants non-null pointers even for empty inputs.
  static const unsigned char empty = 0;
  const auto* key_bytes =
      key.empty() ? &empty : reinterpret_cast<const unsigned char*>(key.data());
  const auto* msg_bytes =
      message.empty() ? &empty : reinterpret_cast<const unsigned char*>(message.data());
  Sha256Digest out{};
  unsigned int out_len = 0;
  if (HMAC(EVP_sha256(), key_bytes, static_cast<int>(key.size()), msg_bytes, message.size(),
           out.data(), &out_len) == nullptr ||
      out_len != kSha256Size) {
    throw std::runtime_error("HMAC-SHA256 failed in libcrypto");
  }
  return out;
}

std::string to_hex(const Sha256Digest& digest) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * digest.size());
  for (unsigned char b : digest) {
    out.push_back(hex[b >> 4]);
    out.push_back(hex[b & 0x0F]);
  }
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
