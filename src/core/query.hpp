// One member of a URL's query, read or replaced without touching the others: a paging link the
// platform wrote goes back to it byte for byte but for the member replaced (order, escapes and
// blank members such as "a=", "a" or "&&" included).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace corvane::core {

// The form-decoded value ("%XX" escapes, "+" as space) of the first query member called
// `name`, or nullopt when there is none. Names compare after decoding, so an escaped name
// ("access%5Ftoken") is the same member. A member without "=" has the empty value.
std::optional<std::string> query_value(std::string_view url, std::string_view name);

// `url` with the first member called `name` given `value` (percent-encoded) in its place,
// every later member of that name removed, and the member appended at the end of the query
// (before any fragment) when there was none.
std::string with_query_value(std::string_view url, std::string_view name, std::string_view value);

// "scheme://host[:port]" of an absolute URL, scheme and host in lower case; empty when the URL
// does not start with "scheme://". Tells whether two URLs reach the same server.
std::string url_origin(std::string_view url);

// The Graph API's rule for a request to one of its hosts: `url` with appsecret_proof set to
// the proof (HMAC-SHA256 keyed with `app_secret`, in hex) of the access_token it carries. A URL
// without access_token gets `fallback_token` and its proof; with neither (or no secret) the URL
// is returned unchanged.
std::string with_appsecret_proof(std::string_view url, std::string_view app_secret,
                                 std::string_view fallback_token = {});

}  // namespace corvane::core
