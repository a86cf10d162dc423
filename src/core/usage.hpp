// The Graph API's usage headers, read leniently. A header is advice, never a reason to fail a
// request: text that is not of the header's shape gives no figures, never an error.
//  - X-Business-Use-Case-Usage: business object id -> list of {type, call_count,
//    total_cputime, total_time, estimated_time_to_regain_access (minutes)};
//  - X-App-Usage and the older X-Page-Usage: {call_count, total_time, total_cputime};
//  - X-Ad-Account-Usage: {acc_id_util_pct, reset_time_duration (seconds), ads_api_access_tier}.
// Percentages are of the budget over a rolling hour; any of them at 100 means throttled.
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

// X-App-Usage / X-Page-Usage. nullopt unless the text is a JSON object; a figure left out or
// not a finite number at least 0 is nullopt.
struct AppUsage {
  std::optional<double> call_count;
  std::optional<double> total_time;
  std::optional<double> total_cputime;
};
std::optional<AppUsage> parse_app_usage(std::string_view header);

// X-Ad-Account-Usage, with the same rules.
struct AdAccountUsage {
  std::optional<double> util_pct;       // acc_id_util_pct
  std::optional<double> reset_seconds;  // reset_time_duration
  std::string access_tier;              // ads_api_access_tier ("" when missing)
};
std::optional<AdAccountUsage> parse_ad_account_usage(std::string_view header);

}  // namespace corvane::core
