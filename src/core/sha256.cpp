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

Sha256Digest sha256(std::string_view data) {
  const EVP_MD* md = sha256_algorithm();
  EVP_MD_CTX* ctx = thread_context();
  Sha256Digest digest;
  unsigned int length = 0;
  if (EVP_DigestInit_ex2(ctx, md, nullptr) != 1 ||
      EVP_DigestUpdate(ctx, data.data(), data.size()) != 1 ||
      EVP_DigestFinal_ex(ctx, digest.data(), &length) != 1 || length != digest.size()) {
    throw std::runtime_error("SHA-256 digest failed");
  }
  return digest;
}

char* put_hex(char* out, const Sha256Digest& digest, std::size_t count) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (std::size_t i = 0; i < count; ++i) {
    *out++ = kHex[digest[i] >> 4];
    *out++ = kHex[digest[i] & 0x0f];
  }
  return out;
}

std::string sha256_hex(std::string_view data) {
  const Sha256Digest digest = sha256(data);
  std::string out(2 * digest.size(), '0');
  put_hex(out.data(), digest, digest.size());
  return out;
}

}  // namespace corvane::core
