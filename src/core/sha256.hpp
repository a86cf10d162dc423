// SHA-256 digests (OpenSSL) and their lowercase hexadecimal form.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

namespace corvane::core {

inline constexpr std::size_t kSha256Size = 32;
using Sha256Digest = std::array<unsigned char, kSha256Size>;

// The SHA-256 digest of the concatenation of `parts`. With `secret_input` the hash state is
// wiped before it goes (HMAC pads hold key material; public texts need no wiping).
Sha256Digest sha256(std::initializer_list<std::string_view> parts, bool secret_input = false);
inline Sha256Digest sha256(std::string_view data) { return sha256({data}); }

// Writes the first `count` bytes of `digest` as 2 * count lowercase hexadecimal characters and
// returns the end of what it wrote.
char* put_hex(char* out, const Sha256Digest& digest, std::size_t count);

// `digest` as 64 lowercase hexadecimal characters.
std::string to_hex(const Sha256Digest& digest);

}  // namespace corvane::core
