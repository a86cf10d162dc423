// Pure URL building for the API builders: versioned Graph paths, version templates, query
// strings and LinkedIn REST paths. Paths and ids go in as they are; only query names and
// values are percent-encoded (with the library's one encoder).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane::core {

// `path` without any of its leading "/" characters.
std::string_view strip_leading_slashes(std::string_view path);

// host "/" version, then "/" path when the path (leading slashes removed) is not empty:
// ("H", "v23.0", "///me") -> "H/v23.0/me"; ("H", "v23.0", "") -> "H/v23.0".
std::string versioned_url(std::string_view host, std::string_view version, std::string_view path);

// `text` with every occurrence of `placeholder` replaced by `value`.
std::string fill_placeholder(std::string_view text, std::string_view placeholder,
                             std::string_view value);

using QueryPairs = std::vector<std::pair<std::string_view, std::string_view>>;

// name=value pairs, both percent-encoded, joined with "&", in the given order.
std::string encode_query(const QueryPairs& pairs);

// base "/" path, with the path's leading "/" characters removed (an empty path keeps the
// trailing "/").
std::string joined_path(std::string_view base, std::string_view path);

}  // namespace corvane::core
