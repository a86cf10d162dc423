// Percent-encoding: only unreserved bytes and upper-case "%XX" come out, decoding gives the
// input back, and the masker's decoder reads the encoding the same way.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "check.hpp"
#include "core/mask.hpp"
#include "core/percent.hpp"

namespace {

bool is_unreserved(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '_' || c == '.' || c == '-' || c == '~';
}

int upper_hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Strict decoding: every '%' starts two upper-case hex digits, escapes are needed (an escaped
// unreserved byte is a fault), everything else is unreserved.
std::string decode_strict(std::string_view encoded) {
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvane::core;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const std::string encoded = percent_encode(text);
  FUZZ_CHECK(decode_strict(encoded) == text);

  std::string appended = "a=1&b=";
  percent_encode_into(appended, text);
  FUZZ_CHECK(appended == "a=1&b=" + encoded);

  // A secret quoted encoded is also known by its decoded form, which must be the text itself.
  const auto values = secret_values("https://g.example/me?access_token=" + encoded + "&x=1");
  if (text.empty()) {
    FUZZ_CHECK(values.empty());
  } else {
    FUZZ_CHECK(!values.empty() && values.front() == encoded && values.back() == text);
    FUZZ_CHECK(values.size() == (encoded == text ? 1u : 2u));
  }
  return 0;
}
