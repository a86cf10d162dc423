// The texts corvane.instagram shows its callers and writes to its log, in one place (those it
// shares with corvane.facebook are in modules/graph_texts.hpp). The Uzbek texts are the
// library's own and stay word for word.
#pragma once

namespace corvane::instagram::texts {

// ---- arguments and setup ----
inline constexpr const char* kDay = "a datetime.date or None";
inline constexpr const char* kAppIdRequired = "Instagram login uchun `app_id` majburiy";
// The note beside kAppIdRequired: where the id comes from.
inline constexpr const char* kAppIdNote =
    "pass app_id= to Instagram(), or set the environment variable INSTAGRAM_APP_ID for "
    "Instagram.from_env(); a client of Instagram.via_facebook() logs in through "
    "Facebook.login_url()";
inline constexpr const char* kPageIdRequired = "Facebook login oqimida `page_id` majburiy";
inline constexpr const char* kIgUserIdRequired =
    "Facebook login oqimida `ig_user_id` majburiy (`me` Page'ni bildiradi, Instagram akkauntni "
    "emas)";
inline constexpr const char* kImageOrVideo = "`image_url` yoki `video_url` dan biri kerak";

// ---- answers ----
inline constexpr const char* kNoShortLivedToken = "Instagram qisqa muddatli token bermadi";
inline constexpr const char* kNotRefreshed = "Token yangilanmadi";
inline constexpr const char* kNoId = "Instagram javobida `id` yo'q";
inline constexpr const char* kNoContainer = "Container yaratilmadi";
// Followed by the platform's status text of the container.
inline constexpr const char* kVideoFailed = "Video qayta ishlanmadi: ";
inline constexpr const char* kVideoTimeout = "Video qayta ishlash vaqti tugadi (60s)";
inline constexpr const char* kProfileNotObject = "Profil javobi obyekt emas";

// ---- log lines (%-forms of the logging module) ----
// A media without statistics: its id, the platform's refusal.
inline constexpr const char* kNoMediaInsights = "Media %s uchun insight yo'q: %s";
// A profile the platform would not open: the igsid, the reason.
inline constexpr const char* kNoProfile = "IG profil olinmadi (igsid=%s): %s";
inline constexpr const char* kEnrichFailed = "Profil boyitishda xato: %s";

}  // namespace corvane::instagram::texts
