// SHA-256 digests (OpenSSL) written as lowercase hexadecimal.
#include "core/sha256.hpp"

#include <openssl/sha.h>

namespace corvane::core {

std::string sha256_hex(std::string_view data) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  // The one-shot call skips the EVP fetch, which costs more than hashing a short payload.
  SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(2 * SHA256_DIGEST_LENGTH, '0');
  for (int i = 0; i < SHA256_DIGEST_LENGTH; ++i) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 0x0f];
  }
  return out;
}

}  // namespace corvane::core
