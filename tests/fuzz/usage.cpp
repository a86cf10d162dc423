// The usage header reader on any bytes: never crashes, never more objects than allowed, and a
// wait it reports is a finite number of seconds, at least 0.
#include <cmath>
#include <cstdint>
#include <string_view>

#include "check.hpp"
#include "core/usage.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvane::core;
  const std::string_view header(reinterpret_cast<const char*>(data), size);
  FUZZ_CHECK(parse_business_usage(header).size() <= kMaxUsageObjects);
  const auto seconds = regain_access_seconds(header);
  if (seconds) FUZZ_CHECK(std::isfinite(*seconds) && *seconds >= 0);
  return 0;
}
