// Percent-encoding: only unreserved bytes and upper-case "%XX" come out, decoding gives the
// input back, and the masker's decoder reads the encoding the same way.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "check.hpp"
#include "core/mask.hpp"
#include "core/percent.hpp"
#include "percent_strict.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvane::core;
  using fuzz::decode_strict;
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
