// HMAC-SHA256 over OpenSSL's SHA-256, and the signature-header check.
#include "core/hmac.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <initializer_list>
#include <memory>
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

// SHA-256, fetched once and shared (fetched algorithms are immutable and thread-safe).
// Deliberately never freed: it is needed until the process ends.
const EVP_MD* sha256() {
  static const EVP_MD* const md = [] {
    const EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    if (fetched == nullptr) throw std::runtime_error("SHA-256 is not available in libcrypto");
    return fetched;
  }();
  return md;
}

struct ContextDeleter {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

// SHA-256 of the concatenation of `parts`.
Sha256Digest digest(std::initializer_list<std::string_view> parts) {
  const std::unique_ptr<EVP_MD_CTX, ContextDeleter> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), sha256(), nullptr) != 1)
    throw std::runtime_error("SHA-256 failed in libcrypto");
  for (std::string_view part : parts) {
    if (!part.empty() && EVP_DigestUpdate(ctx.get(), part.data(), part.size()) != 1)
      throw std::runtime_error("SHA-256 failed in libcrypto");
  }
  Sha256Digest out{};
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(ctx.get(), out.data(), &size) != 1 || size != kSha256Size)
    throw std::runtime_error("SHA-256 failed in libcrypto");
  return out;
}

}  // namespace

Sha256Digest hmac_sha256(std::string_view key, std::string_view message) {
  // HMAC (RFC 2104) over a SHA-256 fetched once: OpenSSL 3's one-shot HMAC() looks the
  // algorithms up again at every call, which costs more than hashing a short token.
  constexpr std::size_t block = 64;
  std::array<unsigned char, block> pad{};
  if (key.size() > block) {
    const Sha256Digest hashed = digest({key});
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
  const Sha256Digest inner = digest({as_view(inner_pad), message});
  const Sha256Digest out = digest({as_view(outer_pad), as_view(inner)});
  OPENSSL_cleanse(pad.data(), pad.size());
  OPENSSL_cleanse(inner_pad.data(), inner_pad.size());
  OPENSSL_cleanse(outer_pad.data(), outer_pad.size());
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
