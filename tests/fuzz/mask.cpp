// Secret masking: no secret value survives in what the masker returns, however the secret's
// name is escaped, and everything that is not a secret value is kept.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "core/mask.hpp"

namespace {

using namespace corvane::core;

// Where the free-text masker ends a value.
constexpr std::string_view kValueEnds = "&#;'\"<>()[]{}\\ \t\n\r\f\v";

// `name` with the bytes picked by `escape_bits` written as %XX, in either letter case.
std::string escaped(std::string_view name, std::uint32_t escape_bits, bool lower) {
  const char* hex = lower ? "0123456789abcdef" : "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if ((escape_bits >> (i % 32)) & 1) {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 0xF];
    } else {
      out += name[i];
    }
  }
  return out;
}

std::string without(std::string text, std::string_view bytes) {
  std::erase_if(text, [&](char c) { return bytes.find(c) != std::string_view::npos; });
  return text;
}

// Any URL-ish text: masking is idempotent, keeps what precedes the query and the fragment,
// and leaves no secret value as a value; the free-text masker given the URL's secret values
// leaves none of them anywhere.
void check_any_text(std::string_view url) {
  const std::string masked = mask_secrets(url);
  FUZZ_CHECK(mask_secrets(masked) == masked);
  for (const std::string& value : secret_values(masked)) FUZZ_CHECK(value == "***");
  const auto qpos = url.find('?');
  if (qpos == std::string_view::npos) {
    FUZZ_CHECK(masked == url);
  } else {
    FUZZ_CHECK(std::string_view(masked).substr(0, qpos + 1) == url.substr(0, qpos + 1));
    const auto fpos = url.find('#', qpos);
    if (fpos != std::string_view::npos) FUZZ_CHECK(masked.ends_with(url.substr(fpos)));
  }

  const std::vector<std::string> known = secret_values(url);
  const std::string text_masked = mask_secrets_in_text(url, known);
  for (const std::string& value : known) {
    if (value.size() >= 4) FUZZ_CHECK(text_masked.find(value) == std::string::npos);
  }
  const std::string plain = mask_secrets_in_text(url);
  FUZZ_CHECK(mask_secrets_in_text(plain) == plain);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_any_text(std::string_view(reinterpret_cast<const char*>(data), size));

  FuzzedDataProvider in(data, size);
  const std::string_view name_plain =
      kSecretNames[in.ConsumeIntegralInRange<std::size_t>(0, kSecretNames.size() - 1)];
  const std::string name =
      escaped(name_plain, in.ConsumeIntegral<std::uint32_t>(), in.ConsumeBool());
  const char opener = "?&;"[in.ConsumeIntegralInRange(0, 2)];
  const char closer = kValueEnds[in.ConsumeIntegralInRange<std::size_t>(0, kValueEnds.size() - 1)];
  const std::string value = in.ConsumeRandomLengthString(64);
  const std::string before = in.ConsumeRandomLengthString(64);
  const std::string after = in.ConsumeRemainingBytesAsString();

  // In a URL the value runs to the next "&" or the fragment; the name may be escaped at will.
  const std::string url_value = without(value, "&#");
  const std::string url = "https://g.example/v23.0/me?" + without(before, "#") + "&" + name +
                          "=" + url_value + "#" + after;
  FUZZ_CHECK(mask_secrets(url).ends_with("&" + name + "=***#" + after));

  // In free text the value runs to the next delimiter. A value that occurs only in its own
  // place must be gone (one with "*" could be re-formed by the mask itself).
  const std::string text_value = without(value, std::string(kValueEnds) + "*");
  const std::string text = before + opener + name + "=" + text_value + closer + after;
  const std::size_t at = before.size() + 2 + name.size();
  if (!text_value.empty() && text.find(text_value) == at &&
      text.find(text_value, at + 1) == std::string::npos) {
    FUZZ_CHECK(mask_secrets_in_text(text).find(text_value) == std::string::npos);
  }
  return 0;
}
