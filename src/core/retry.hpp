// Retry arithmetic: exponential back-off with a cap and spread, and the Retry-After header.
#pragma once

#include <optional>
#include <string_view>

namespace corvane::core {

struct Backoff {
  double base = 0.5;   // delay after the first failed attempt, before the spread
  double max = 30.0;   // cap of the exponential delay; the spread comes after it
  bool jitter = true;  // multiply by 0.5 + r, r uniform on [0, 1)
};

// Delay in seconds after the failed attempt number `attempt` (counted from 1). `r` is the
// random draw, used only when jitter is on; the caller supplies it so this stays pure.
double delay_for(const Backoff& policy, long long attempt, double r);

// Reads a Retry-After value as a decimal number of seconds: surrounding white space, a sign,
// a fraction and an exponent are allowed. Anything else (an HTTP date, "inf", "nan", an
// overflowing exponent, underscores) yields nothing, so the caller falls back to back-off.
std::optional<double> parse_retry_after(std::string_view value);

}  // namespace corvane::core
