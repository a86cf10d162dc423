// Query rewriting: the member set reads back as set, no other byte of the URL changes, and a
// signed link carries the proof of the token it reads back.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "check.hpp"
#include "core/hmac.hpp"
#include "core/query.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvane::core;
  FuzzedDataProvider in(data, size);
  const std::string name = in.ConsumeRandomLengthString(12);
  const std::string value = in.ConsumeRandomLengthString(40);
  const std::string url = in.ConsumeRemainingBytesAsString();
  const std::string out = with_query_value(url, name, value);
  FUZZ_CHECK(query_value(out, name) == value);
  // The fragment and everything before the query are untouched.
  FUZZ_CHECK(out.substr(0, out.find('?')) == url.substr(0, url.find_first_of("?#")));
  const auto hash = url.find('#');
  if (hash != std::string::npos) FUZZ_CHECK(out.ends_with(url.substr(hash)));
  // Setting the same value again changes nothing.
  FUZZ_CHECK(with_query_value(out, name, value) == out);

  const std::string signed_url = with_appsecret_proof(url, "secret", value);
  const auto token = query_value(signed_url, "access_token");
  if (token && !token->empty()) {
    FUZZ_CHECK(query_value(signed_url, "appsecret_proof") == hmac_sha256_hex("secret", *token));
  }
  (void)url_origin(url);
  return 0;
}
