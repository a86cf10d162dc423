// SHA-256 digests (OpenSSL) written as lowercase hexadecimal.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace corvane::core {

using Sha256Digest = std::array<unsigned char, 32>;

// The SHA-256 digest of `data`.
Sha256Digest sha256(std::string_view data);

// The SHA-256 digest of `data` as 64 lowercase hexadecimal characters.
std::string sha256_hex(std::string_view data);

// Writes the first `count` bytes of `digest` as 2 * count lowercase hexadecimal characters.
char* put_hex(char* out, const Sha256Digest& digest, std::size_t count);

}  // namespace corvane::core
