// Percent-encoding of UTF-8 text, the one encoder every URL of the library goes through.
#pragma once

#include <string>
#include <string_view>

namespace corvane::core {

// Writes every byte as "%XX" (upper-case hex) except ASCII letters, digits and "_.-~".
// A space becomes "%20", never "+"; "/" and ":" are encoded too.
std::string percent_encode(std::string_view text);

// Appends the encoded form of `text` to `out` (no allocation beyond growth of `out`).
void percent_encode_into(std::string& out, std::string_view text);

// Form-decoding of a query member: "%XX" escapes and "+" as space; a "%" not followed by two
// hex digits stays as it is.
std::string form_decode(std::string_view raw);

// The value of a hex digit of either case, or -1.
constexpr int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace corvane::core
