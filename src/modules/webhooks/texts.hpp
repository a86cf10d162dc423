// The texts corvane.webhooks shows its callers, in one place: what a wrong argument should
// have been (the one message form "<function>: <parameter> must be <what>, not <type>"), and
// what a malformed delivery breaks.
#pragma once

namespace corvane::webhooks::texts {

// ---- arguments: the <what> of binder::wrong_type ----
inline constexpr const char* kMapping = "a mapping";
inline constexpr const char* kRawBytes = "the raw request bytes";
inline constexpr const char* kEvent = "a WebhookEvent";

// ---- deliveries (PyErr_Format forms) ----
inline constexpr const char* kNotADict = "parse_events: %s must be a dict, not %s";
inline constexpr const char* kNotAList = "parse_events: \"%U\" must be a list, not %s";
inline constexpr const char* kPayload = "the payload";
inline constexpr const char* kEntry = "an entry";
inline constexpr const char* kChange = "a change";
inline constexpr const char* kMessagingItem = "a \"messaging\" item";
inline constexpr const char* kStandbyItem = "a \"standby\" item";
inline constexpr const char* kRunning = "parse_events iterator already executing";
inline constexpr const char* kTooDeep =
    "maximum recursion depth exceeded while serialising a webhook value";

}  // namespace corvane::webhooks::texts
