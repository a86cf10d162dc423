// The texts corvane.linkedin shows its callers and writes to its log, in one place. The Uzbek
// texts are the library's own and stay word for word; an answer of the wrong shape reads
// "<operation>: <what> must be <wanted>, not <type name>" (bad_answer).
#pragma once

namespace corvane::linkedin::texts {

// ---- setup ----
inline constexpr const char* kClientIdRequired = "LinkedIn uchun `client_id` majburiy";
// The note beside kClientIdRequired: where the id comes from.
inline constexpr const char* kClientIdNote =
    "pass client_id= to LinkedIn(), or set the environment variable LINKEDIN_CLIENT_ID (and "
    "LINKEDIN_CLIENT_SECRET) for LinkedIn.from_env()";
inline constexpr const char* kVisibility = "`visibility` PUBLIC yoki CONNECTIONS bo'lishi kerak";

// ---- answers ----
// The message of an error answer that carries none of its own: the status.
inline constexpr const char* kStatusOnly = "HTTP {}";
inline constexpr const char* kNoToken = "LinkedIn token bermadi";
inline constexpr const char* kNotRefreshed = "Token yangilanmadi";
inline constexpr const char* kNoCommunityManagement =
    "LinkedIn postlarni o'qishga ruxsat bermadi. `q=author` so'rovi 'Community Management "
    "API' ruxsatini talab qiladi \xE2\x80\x94 LinkedIn Developer portalida Products "
    "bo'limidan so'rang.";
// A note on kNoCommunityManagement when the posts asked for were an organization's.
inline constexpr const char* kOrganizationNote =
    "an organization's posts need the r_organization_social scope and an ADMINISTRATOR, "
    "CONTENT_ADMIN or DIRECT_SPONSORED_CONTENT_POSTER role of the member on that page "
    "(LinkedIn.organizations() lists the pages the member administers)";

// ---- answers of the wrong shape: the operation, <what>, <wanted>, the value's type name ----
inline constexpr const char* kBadAnswer = "{}: {} must be {}, not {}";
inline constexpr const char* kAnswer = "LinkedIn's answer";
inline constexpr const char* kUserinfo = "LinkedIn's userinfo answer";
inline constexpr const char* kUserinfoSub = "the userinfo answer's member id \"sub\"";
// A text member of the userinfo answer, by its name.
inline constexpr const char* kUserinfoMember = "the userinfo answer's \"{}\"";
inline constexpr const char* kUserinfoLocale = "the userinfo answer's \"locale\"";
inline constexpr const char* kOrganization = "an element's organization";
inline constexpr const char* kObject = "an object";
inline constexpr const char* kText = "a str";
inline constexpr const char* kNonEmptyText = "a non-empty str";
inline constexpr const char* kLocale = "a str or {\"language\": str}";

// ---- log lines (%-forms of the logging module) ----
// A 426: the LinkedIn-Version sent (repr), LinkedIn's message.
inline constexpr const char* kRetiredVersion =
    "LinkedIn refused LinkedIn-Version %r (%s): pass api_version= to LinkedIn() or set "
    "LINKEDIN_API_VERSION to a version LinkedIn still serves (YYYYMM, about the last 12 "
    "months)";

}  // namespace corvane::linkedin::texts
