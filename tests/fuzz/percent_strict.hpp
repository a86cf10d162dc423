// Decoding what the core's percent-encoder writes, strictly: every '%' starts two upper-case hex
// digits, escapes are needed (an escaped unreserved byte is a fault), everything else is
// unreserved. Shared by the fuzz targets that encode.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "check.hpp"

namespace fuzz {

inline bool is_unreserved(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '_' || c == '.' || c == '-' || c == '~';
}

inline int upper_hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

inline std::string decode_strict(std::string_view encoded) {
  std::string out;
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] != '%') {
      FUZZ_CHECK(is_unreserved(encoded[i]));
      out.push_back(encoded[i]);
      continue;
    }
    FUZZ_CHECK(i + 2 < encoded.size());
    const int hi = upper_hex_value(encoded[i + 1]);
    const int lo = upper_hex_value(encoded[i + 2]);
    FUZZ_CHECK(hi >= 0 && lo >= 0);
    const char byte = static_cast<char>(hi * 16 + lo);
    FUZZ_CHECK(!is_unreserved(byte));
    out.push_back(byte);
    i += 2;
  }
  return out;
}

}  // namespace fuzz
