// The usage header readers on any bytes: never crash, never more objects than allowed, and
// every figure and wait they report is a finite number, at least 0.
#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>

#include "check.hpp"
#include "core/usage.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvane::core;
  const std::string_view header(reinterpret_cast<const char*>(data), size);
  FUZZ_CHECK(parse_business_usage(header).size() <= kMaxUsageObjects);
  const auto seconds = regain_access_seconds(header);
  if (seconds) FUZZ_CHECK(std::isfinite(*seconds) && *seconds >= 0);
  auto sound = [](const std::optional<double>& figure) {
    return !figure || (std::isfinite(*figure) && *figure >= 0);
  };
  if (const auto app = parse_app_usage(header)) {
    FUZZ_CHECK(sound(app->call_count) && sound(app->total_time) && sound(app->total_cputime));
  }
  if (const auto ad = parse_ad_account_usage(header)) {
    FUZZ_CHECK(sound(ad->util_pct) && sound(ad->reset_seconds));
  }
  return 0;
}
