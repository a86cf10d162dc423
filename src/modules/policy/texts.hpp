// The texts corvane.policy shows its callers, in one place: what a wrong argument should have
// been, and what is wrong with a member of a policy document ("policy member <path>: <problem>").
#pragma once

namespace corvane::policy::texts {

// ---- arguments ----
inline constexpr const char* kPolicyOrDict = "a Policy or a dict";
// The path given to load(), as its repr.
inline constexpr const char* kNotAnObject = "load: the policy file {!r} does not hold a JSON object";
// The counts of field sets, metric lists, lead names and heuristics.
inline constexpr const char* kRepr =
    "<corvane.policy.Policy: %zd field sets, %zd metric lists, %zd lead names, %zd heuristics>";

// ---- members of a document: "policy member <path>: <problem>" ----
inline constexpr const char* kMember = "policy member ";
inline constexpr const char* kUnknownMember =
    "unknown member (expected 'fields', 'metrics', 'lead_map' or 'lead_heuristics')";
inline constexpr const char* kLoneSurrogate = "text that is not valid Unicode (a lone surrogate)";
// The problems ending in "not " are followed by the type name of the value.
inline constexpr const char* kCanonicalOrNone = "must be a canonical lead key or None, not ";
inline constexpr const char* kDict = "must be a dict, not ";
inline constexpr const char* kText = "must be a str, not ";
inline constexpr const char* kList = "must be a list, not ";
// After the key's repr.
inline constexpr const char* kNotCanonical = " is not a canonical lead key";
inline constexpr const char* kNamesText = "names must be str";
inline constexpr const char* kNamesForm = "names must be non-empty and must not start with '_'";
// The kind of list: "field" or "metric".
inline constexpr const char* kEmptyList = "the {} list is empty";
inline constexpr const char* kUnbalanced = "unbalanced braces or parentheses";
inline constexpr const char* kFieldNamesText = "field names must be str";
inline constexpr const char* kFieldNamesForm =
    "field names must be non-empty, trimmed and lower case";
inline constexpr const char* kPair = "must be a pair [keywords, canonical key or None]";
inline constexpr const char* kKeywords = "must be a non-empty list of keywords";
inline constexpr const char* kKeywordsText = "keywords must be str";
inline constexpr const char* kKeywordsForm = "keywords must be non-empty and lower case";

}  // namespace corvane::policy::texts
