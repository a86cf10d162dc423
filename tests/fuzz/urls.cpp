// URL builders: query strings decode back (strictly) to their pairs, placeholders are all
// replaced and can be put back, and paths join with exactly one "/".
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "core/urls.hpp"
#include "percent_strict.hpp"

namespace {

using namespace corvane::core;
using fuzz::decode_strict;

void check_query(FuzzedDataProvider& in) {
  std::vector<std::string> texts;
  const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 6);
  for (std::size_t i = 0; i < 2 * count; ++i) texts.push_back(in.ConsumeRandomLengthString(40));
  QueryPairs pairs;
  for (std::size_t i = 0; i < count; ++i) pairs.emplace_back(texts[2 * i], texts[2 * i + 1]);

  const std::string query = encode_query(pairs);
  // Names and values are encoded, so "&" and "=" appear only as separators.
  std::vector<std::pair<std::string, std::string>> decoded;
  std::size_t start = 0;
  while (start < query.size()) {
    auto end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    const std::string_view pair = std::string_view(query).substr(start, end - start);
    const auto eq = pair.find('=');
    FUZZ_CHECK(eq != std::string_view::npos && pair.find('=', eq + 1) == std::string_view::npos);
    decoded.emplace_back(decode_strict(pair.substr(0, eq)), decode_strict(pair.substr(eq + 1)));
    start = end + 1;
  }
  FUZZ_CHECK(decoded.size() == pairs.size());
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    FUZZ_CHECK(decoded[i].first == pairs[i].first && decoded[i].second == pairs[i].second);
  }
}

void check_paths(std::string_view host, std::string_view version, std::string_view path) {
  const std::string_view rest = strip_leading_slashes(path);
  FUZZ_CHECK(!rest.starts_with('/') && path.ends_with(rest));
  FUZZ_CHECK(path.substr(0, path.size() - rest.size()).find_first_not_of('/') ==
             std::string_view::npos);

  const std::string url = versioned_url(host, version, path);
  const std::string head = std::string(host) + "/" + std::string(version);
  FUZZ_CHECK(url == (rest.empty() ? head : head + "/" + std::string(rest)));
  FUZZ_CHECK(joined_path(host, path) == std::string(host) + "/" + std::string(rest));
}

void check_placeholder(std::string_view text, std::string_view placeholder,
                       std::string_view value) {
  FUZZ_CHECK(fill_placeholder(text, placeholder, placeholder) == text);
  FUZZ_CHECK(fill_placeholder(text, "", value) == text);
  if (placeholder.empty()) return;
  // With a marker byte found in neither text nor placeholder, no placeholder can remain, and
  // putting the placeholder back for the marker gives the text again.
  int marker = 0;
  while (marker < 256 && (text.find(static_cast<char>(marker)) != std::string_view::npos ||
                          placeholder.find(static_cast<char>(marker)) != std::string_view::npos)) {
    ++marker;
  }
  if (marker == 256) return;
  const std::string mark(1, static_cast<char>(marker));
  const std::string filled = fill_placeholder(text, placeholder, mark);
  FUZZ_CHECK(filled.find(placeholder) == std::string::npos);
  FUZZ_CHECK(fill_placeholder(filled, mark, placeholder) == text);
  // Every marker stands for one placeholder: the value's length decides the result's.
  const std::size_t hits = static_cast<std::size_t>(std::count(filled.begin(), filled.end(), mark[0]));
  const std::string with_value = fill_placeholder(text, placeholder, value);
  FUZZ_CHECK(with_value.size() == text.size() + hits * value.size() - hits * placeholder.size());
  FUZZ_CHECK(fill_placeholder(filled, mark, value) == with_value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string a = in.ConsumeRandomLengthString(64);
  const std::string b = in.ConsumeRandomLengthString(16);
  const std::string c = in.ConsumeRandomLengthString(64);
  check_paths(a, b, c);
  check_placeholder(a, b, c);
  check_query(in);
  return 0;
}
