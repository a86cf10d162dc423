// Retry arithmetic.
#include "core/retry.hpp"

#include <charconv>
#include <cmath>
#include <string>

namespace corvane::core {

double delay_for(const Backoff& policy, long long attempt, double r) {
  // Clamped before any arithmetic: attempt - 1 of the smallest long long overflows. Past
  // +-4096 the power is already infinite or zero, so the result is the same as unclamped.
  constexpr long long kBound = 4096;
  if (attempt > kBound) attempt = kBound;
  if (attempt < -kBound) attempt = -kBound;
  // 2^(attempt-1) overflows to infinity for huge attempts; the cap then applies as usual. A
  // base of zero stays zero (0 * infinity would be NaN).
  const double growth = std::pow(2.0, static_cast<double>(attempt - 1));
  double d = policy.base == 0.0 ? 0.0 : policy.base * growth;
  if (policy.max < d) d = policy.max;
  if (policy.jitter) d *= 0.5 + r;
  return d;
}

namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Accepts exactly: [+-]? (digits ("." digits?)? | "." digits) ([eE] [+-]? digits)?
bool is_decimal_number(std::string_view s) {
  std::size_t i = 0;
  const auto digits = [&] {
    const std::size_t from = i;
    while (i < s.size() && is_digit(s[i])) ++i;
    return i > from;
  };
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  const bool whole = digits();
  bool fraction = false;
  if (i < s.size() && s[i] == '.') {
    ++i;
    fraction = digits();
  }
  if (!whole && !fraction) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == s.size();
}

}  // namespace

std::optional<double> parse_retry_after(std::string_view value) {
  while (!value.empty() && is_space(value.front())) value.remove_prefix(1);
  while (!value.empty() && is_space(value.back())) value.remove_suffix(1);
  if (value.empty() || !is_decimal_number(value)) return std::nullopt;

  bool negative = false;
  if (value.front() == '+' || value.front() == '-') {
    negative = value.front() == '-';
    value.remove_prefix(1);
  }
  double number = 0.0;
  const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (ec != std::errc() || end != value.data() + value.size() || !std::isfinite(number)) {
    return std::nullopt;
  }
  return negative ? -number : number;
}

}  // namespace corvane::core
