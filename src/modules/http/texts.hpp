// The texts corvane.http shows its callers and writes to its log, in one place. The Uzbek
// texts are the library's own and stay word for word; the <what> texts complete the one
// argument message form "<operation>: <parameter> must be <what>, not <type or repr>".
#pragma once

namespace corvane::http::texts {

// ---- arguments: the <what> of binder::wrong_type / wrong_value ----
inline constexpr const char* kSeconds = "a number of seconds";
inline constexpr const char* kNonNegativeSeconds = "a non-negative number of seconds";
inline constexpr const char* kFiniteSeconds = "a finite, non-negative number of seconds";
inline constexpr const char* kPositiveSeconds = "a positive number of seconds";
inline constexpr const char* kPercentage = "a percentage above 0 and at most 100";
inline constexpr const char* kAttempts = "an int below 2**63";
inline constexpr const char* kRetryPolicy = "a RetryPolicy or None";
inline constexpr const char* kThrottle = "a Throttle or None";
inline constexpr const char* kOneBody = "request: give at most one of json and data";

// ---- hooks that answered something else than they should ----
inline constexpr const char* kSignedUrl = "_sign_url: the answer must be a str, not ";
inline constexpr const char* kErrorKind =
    "_error_kind must return the name of a corvane.errors class, not ";

// ---- answers and failures ----
inline constexpr const char* kNotJson = "The answer is not JSON";
inline constexpr const char* kNotJsonStatus = "The answer is not JSON (HTTP {})";
inline constexpr const char* kUnknownError = "Noma'lum xato";
// Logged before a retry: method, masked URL, status, delay, attempt, attempts.
inline constexpr const char* kRetrying = "%s %s -> %s; %.1fs dan keyin qayta urinish (%s/%s)";
// The throttle kept a request back: business object id, its type, seconds.
inline constexpr const char* kHeldBack =
    "So'rov yuborilmadi: {} ({}) limitda; {:.0f}s dan keyin qayta urinib ko'ring";
// A client of a stopped sandbox (its class name).
inline constexpr const char* kSandboxStopped =
    "{}: sandbox to'xtagan, uning sessiyasi yopiq; so'rov platformaning haqiqiy xostlariga "
    "yuborilmaydi";
// Logged when a host's session was closed and the client goes on with its own.
inline constexpr const char* kSessionReplaced =
    "%s: xost bergan sessiya yopilgan; endi so'rovlar mijozning o'z sessiyasi orqali "
    "platformaning haqiqiy xostlariga boradi";

}  // namespace corvane::http::texts
