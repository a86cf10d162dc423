// Retry rules: Retry-After reads exactly the plain decimals that strtod reads, to the same
// value; back-off delays stay within the cap (and its spread) and never shrink as attempts grow.
#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "check.hpp"
#include "core/retry.hpp"

namespace {

using namespace corvane::core;

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

void check_retry_after(std::string_view header) {
  const std::optional<double> got = parse_retry_after(header);

  std::string_view trimmed = header;
  while (!trimmed.empty() && is_space(trimmed.front())) trimmed.remove_prefix(1);
  while (!trimmed.empty() && is_space(trimmed.back())) trimmed.remove_suffix(1);
  // Restricted to these bytes, strtod's grammar is the plain decimal one (no "inf", "nan",
  // hex floats or locale); outside them nothing may be accepted.
  const bool plain_bytes = !trimmed.empty() &&
                           trimmed.find_first_not_of("0123456789+-.eE") == std::string_view::npos;
  if (!plain_bytes) {
    FUZZ_CHECK(!got);
    return;
  }
  const std::string text(trimmed);
  char* end = nullptr;
  errno = 0;
  const double expected = std::strtod(text.c_str(), &end);
  const bool whole = end == text.c_str() + text.size();
  if (got) {
    FUZZ_CHECK(whole && std::isfinite(*got));
    FUZZ_CHECK(*got == expected && std::signbit(*got) == std::signbit(expected));
  } else {
    // Rejected: not a number, or out of range (an overflow, or an underflow that strtod also
    // flags).
    FUZZ_CHECK(!whole || errno == ERANGE || !std::isfinite(expected));
  }
}

void check_delay(FuzzedDataProvider& in) {
  Backoff policy;
  policy.base = in.ConsumeFloatingPoint<double>();
  policy.max = in.ConsumeFloatingPoint<double>();
  policy.jitter = in.ConsumeBool();
  const double r = in.ConsumeProbability<double>();  // [0, 1], as the caller draws it
  const long long attempt = in.ConsumeIntegral<long long>();

  const double d = delay_for(policy, attempt, r);  // any input: no overflow or other UB
  const bool sane = std::isfinite(policy.base) && policy.base >= 0 &&
                    std::isfinite(policy.max) && policy.max >= 0 && r < 1.0;
  if (!sane) return;
  const double spread = policy.jitter ? 0.5 + r : 1.0;
  FUZZ_CHECK(d >= 0 && d <= policy.max * spread);
  if (attempt < LLONG_MAX) FUZZ_CHECK(d <= delay_for(policy, attempt + 1, r));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_retry_after(std::string_view(reinterpret_cast<const char*>(data), size));
  FuzzedDataProvider in(data, size);
  check_delay(in);
  return 0;
}
