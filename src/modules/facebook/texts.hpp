// The texts corvane.facebook shows its callers and writes to its log, in one place (those it
// shares with corvane.instagram are in modules/graph_texts.hpp). The Uzbek texts are the
// library's own and stay word for word.
#pragma once

namespace corvane::facebook::texts {

// ---- arguments ----
inline constexpr const char* kSince = "an int (seconds since 1970) or None";
inline constexpr const char* kEmptyVersion = "Facebook: graph_version must not be empty";
inline constexpr const char* kCredentials = "Facebook uchun `app_id` va `app_secret` majburiy";
// A note on from_env's ConfigurationError, followed by the unset variables' names.
inline constexpr const char* kFromEnvNote =
    "from_env reads the app's credentials from the environment variables FACEBOOK_APP_ID and "
    "FACEBOOK_APP_SECRET; unset or empty: ";

// ---- answers ----
inline constexpr const char* kNoShortLivedToken = "Facebook qisqa muddatli token bermadi";
inline constexpr const char* kNoId = "Facebook javobida `id` yo'q";

// ---- log lines (%-forms of the logging module) ----
// A post without statistics: its id, the platform's refusal.
inline constexpr const char* kNoPostInsights = "Post %s uchun insight yo'q: %s";
// A lead's ad the platform would not describe: the ad id, the refusal.
inline constexpr const char* kNoAdContext = "Ad konteksti olinmadi (ad_id=%s): %s";

}  // namespace corvane::facebook::texts
