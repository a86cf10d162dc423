// HMAC-SHA256 over byte strings (OpenSSL libcrypto), its hex form, and the constant-time
// check of a "sha256=<hex>" signature header as Meta signs webhook deliveries.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/sha256.hpp"

namespace corvane::core {

// HMAC-SHA256 of `message` with `key`; both are taken as raw bytes.
Sha256Digest hmac_sha256(std::string_view key, std::string_view message);

// The same digest as 64 lower-case hex digits.
std::string hmac_sha256_hex(std::string_view key, std::string_view message);

// Decodes exactly 64 hex digits (either letter case) into a digest; anything else is nullopt.
std::optional<Sha256Digest> digest_from_hex(std::string_view hex);

// Compares two equally long byte ranges in time that does not depend on where they differ.
// Ranges of different lengths compare unequal (the length itself is not secret).
bool constant_time_equal(std::string_view a, std::string_view b);

// True only when `header` is "sha256=" followed by the hex HMAC-SHA256 of `body` keyed with
// `secret`; the hex may be in either letter case. An empty secret never verifies: a key that
// anybody can guess would let anybody sign.
bool verify_sha256_signature(std::string_view secret, std::string_view body,
                             std::string_view header);

}  // namespace corvane::core
