// SHA-256 digests (OpenSSL) written as lowercase hexadecimal.
#pragma once

#include <string>
#include <string_view>

namespace corvane::core {

// The SHA-256 digest of `data` as 64 lowercase hexadecimal characters.
std::string sha256_hex(std::string_view data);

}  // namespace corvane::core
