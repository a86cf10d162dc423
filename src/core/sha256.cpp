// SHA-256 digests (OpenSSL) written as lowercase hexadecimal.
#include "core/sha256.hpp"

// The digest-specific functions are deprecated in OpenSSL 3 in favour of EVP, but they are
// still there and they are the only way to hash without EVP's per-call dispatch (context
// reset, provider look-up, cleanse), which costs about as much as hashing the short texts the
// webhook keys digest: about 120 ns of a 300 ns digest of 150 bytes.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <cstring>
#include <stdexcept>

namespace corvane::core {

Sha256Digest sha256(std::initializer_list<std::string_view> parts, bool secret_input) {
  SHA256_CTX ctx;
  Sha256Digest digest;
  bool ok = SHA256_Init(&ctx) == 1;
  for (std::string_view part : parts) {
    ok = ok && (part.empty() || SHA256_Update(&ctx, part.data(), part.size()) == 1);
  }
  ok = ok && SHA256_Final(digest.data(), &ctx) == 1;
  if (secret_input) OPENSSL_cleanse(&ctx, sizeof ctx);
  if (!ok) throw std::runtime_error("SHA-256 failed in libcrypto");
  return digest;
}

namespace {

// The two hexadecimal digits of every byte value, so that a byte costs one two-byte copy.
constexpr auto kHexPairs = [] {
  constexpr char kHex[] = "0123456789abcdef";
  std::array<char, 512> pairs{};
  for (std::size_t b = 0; b < 256; ++b) {
    pairs[2 * b] = kHex[b >> 4];
    pairs[2 * b + 1] = kHex[b & 0x0f];
  }
  return pairs;
}();

}  // namespace

char* put_hex(char* out, const Sha256Digest& digest, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i, out += 2) {
    std::memcpy(out, &kHexPairs[2 * std::size_t{digest[i]}], 2);
  }
  return out;
}

std::string to_hex(const Sha256Digest& digest) {
  std::string out(2 * digest.size(), '0');
  put_hex(out.data(), digest, digest.size());
  return out;
}

}  // namespace corvane::core
