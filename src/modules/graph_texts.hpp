// The texts the Graph clients (corvane.facebook, corvane.instagram) share, and those of the
// Graph pieces both link (graph_client.cpp, graph_batch.cpp), in one place. The Uzbek texts are
// the library's own and stay word for word; the <what> texts complete the one argument message
// form "<operation>: <parameter> must be <what>, not <type or repr>".
#pragma once

namespace corvane::graph::texts {

// ---- arguments: the <what> of binder::wrong_type / wrong_value ----
inline constexpr const char* kGraphId = "a Graph id (letters, digits, '_', '-', '.')";
inline constexpr const char* kSignedToken = "_signed: token must be a str or None, not ";

// ---- the requests of a batch ----
inline constexpr const char* kListOfDicts = "a list of dicts";
inline constexpr const char* kDict = "a dict";
inline constexpr const char* kDictOrNone = "a dict or None";
inline constexpr const char* kText = "a str";
inline constexpr const char* kNonEmptyTextOrNone = "a non-empty str or None";
inline constexpr const char* kBool = "a bool";
inline constexpr const char* kMethods = "'GET', 'POST' or 'DELETE'";
inline constexpr const char* kRelativePath = "a relative Graph path such as 'me/accounts'";
// ValueError forms: the operation, the request's place ("requests[3]['body']"), ...
inline constexpr const char* kUnknownKey = "{}: {} has an unknown key {!r}";
inline constexpr const char* kBodyWithoutPost = "{}: {} is sent only with a POST";
// ... the name referred to, and twice the limit of operations in one call.
inline constexpr const char* kUnknownReference =
    "{}: {} refers to '{}', which no earlier request is named";
inline constexpr const char* kSplitReference =
    "{}: {} refers to '{}' across a split into calls of at most {}; group dependent requests "
    "within one call of at most {}";

// ---- answers and failures ----
inline constexpr const char* kNoInsightName = "Insight javobida `name` yo'q";
// An operation not run: the name of the one it refers to, which failed.
inline constexpr const char* kNotRunAfter =
    "Batch amali bajarilmadi: u bog'liq bo'lgan '{}' amali muvaffaqiyatsiz tugadi";
inline constexpr const char* kNotRun =
    "Batch amali bajarilmadi: platforma javob bermadi (batch vaqti tugagan bo'lishi mumkin)";
inline constexpr const char* kBatchAnswerShape =
    "Batch javobi har bir amal uchun bitta javobli ro'yxat emas";
inline constexpr const char* kNoBatch =
    "Batch so'rovlari faqat graph.facebook.com da bor: Instagram login oqimida ular yo'q";

}  // namespace corvane::graph::texts
