// SHA-256 digests (OpenSSL) written as lowercase hexadecimal.
#include "core/sha256.hpp"

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

namespace corvane::core {

namespace {

struct ContextDeleter {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

// OpenSSL 3 looks the algorithm up by name at every one-shot call (SHA256(), EVP_Digest with
// EVP_sha256()), which costs more than hashing a short payload: fetch it once, and keep one
// context per thread.
const EVP_MD* sha256_algorithm() {
  static const EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  if (md == nullptr) throw std::runtime_error("OpenSSL offers no SHA-256");
  return md;
}

EVP_MD_CTX* thread_context() {
  thread_local std::unique_ptr<EVP_MD_CTX, ContextDeleter> ctx(EVP_MD_CTX_new());
  if (!ctx) throw std::bad_alloc();
  return ctx.get();
}

}  // namespace

std::string sha256_hex(std::string_view data) {
  const EVP_MD* md = sha256_algorithm();
  EVP_MD_CTX* ctx = thread_context();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestInit_ex2(ctx, md, nullptr) != 1 ||
      EVP_DigestUpdate(ctx, data.data(), data.size()) != 1 ||
      EVP_DigestFinal_ex(ctx, digest, &length) != 1) {
    throw std::runtime_error("SHA-256 digest failed");
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(2 * length, '0');
  for (unsigned int i = 0; i < length; ++i) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 0x0f];
  }
  return out;
}

}  // namespace corvane::core
