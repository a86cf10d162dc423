// Pure URL building for the API builders.
#include "core/urls.hpp"

#include "core/percent.hpp"

namespace corvane::core {

std::string_view strip_leading_slashes(std::string_view path) {
  const auto first = path.find_first_not_of('/');
  return first == std::string_view::npos ? std::string_view{} : path.substr(first);
}

std::string versioned_url(std::string_view host, std::string_view version,
                          std::string_view path) {
  const std::string_view rest = strip_leading_slashes(path);
  std::string out;
  out.reserve(host.size() + version.size() + rest.size() + 2);
  out.append(host).append("/").append(version);
  if (!rest.empty()) out.append("/").append(rest);
  return out;
}

std::string fill_placeholder(std::string_view text, std::string_view placeholder,
                             std::string_view value) {
  if (placeholder.empty()) return std::string(text);
  std::string out;
  std::size_t from = 0;
  for (auto at = text.find(placeholder); at != std::string_view::npos;
       at = text.find(placeholder, from)) {
    out.append(text.substr(from, at - from)).append(value);
    from = at + placeholder.size();
  }
  out.append(text.substr(from));
  return out;
}

std::string encode_query(const QueryPairs& pairs) {
  std::string out;
  for (const auto& [name, value] : pairs) {
    if (!out.empty()) out.push_back('&');
    percent_encode_into(out, name);
    out.push_back('=');
    percent_encode_into(out, value);
  }
  return out;
}

std::string joined_path(std::string_view base, std::string_view path) {
  std::string out(base);
  out.push_back('/');
  out.append(strip_leading_slashes(path));
  return out;
}

}  // namespace corvane::core
