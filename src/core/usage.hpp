// The Graph API's business use case usage header (X-Business-Use-Case-Usage), read leniently:
// a JSON object of business object id -> list of {type, call_count, total_cputime, total_time,
// estimated_time_to_regain_access}. A header is advice, never a reason to fail a request: text
// that is not of that shape gives no figures, never an error.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::core {

// The figures of one use case type on one business object. A figure the header leaves out, or
// gives as something other than a finite number at least 0, is nullopt.
struct UseCaseUsage {
  std::string type;  // "pages", "instagram", "leadgen", "messenger", ... ("" when missing)
  std::optional<double> call_count;     // percent of the budget
  std::optional<double> total_cputime;  // percent
  std::optional<double> total_time;     // percent
  std::optional<double> regain_minutes;  // estimated_time_to_regain_access
};

struct ObjectUsage {
  std::string id;  // the Page, Instagram account or ad account the figures are for
  std::vector<UseCaseUsage> use_cases;
};

// Every object of the header, in its order (a repeated id appears again), at most
// kMaxUsageObjects of them (the rest are ignored); empty for anything that is not a JSON object
// of that shape.
constexpr std::size_t kMaxUsageObjects = 32;
std::vector<ObjectUsage> parse_business_usage(std::string_view header);

// The longest estimated_time_to_regain_access of the header, in seconds; nullopt when it names
// none.
std::optional<double> regain_access_seconds(std::string_view header);

}  // namespace corvane::core
