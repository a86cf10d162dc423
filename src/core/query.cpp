// Reading and replacing one query member of a URL.
#include "core/query.hpp"

#include <cctype>
#include <vector>

#include "core/hmac.hpp"
#include "core/percent.hpp"

namespace corvane::core {
namespace {

// A URL cut where its query starts and ends: head (through "?", or the whole URL before the
// fragment when there is no query), query, and the fragment with its "#".
struct Parts {
  std::string_view head;
  std::string_view query;
  std::string_view fragment;
  bool has_query;
};

Parts split(std::string_view url) {
  const auto hash = url.find('#');
  const std::string_view before = url.substr(0, hash);
  const std::string_view fragment = hash == std::string_view::npos ? "" : url.substr(hash);
  const auto mark = before.find('?');
  if (mark == std::string_view::npos) return {before, "", fragment, false};
  return {before.substr(0, mark + 1), before.substr(mark + 1), fragment, true};
}

// The members of a query between "&" separators, empty ones included.
std::vector<std::string_view> members(std::string_view query) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  for (;;) {
    const auto end = query.find('&', start);
    out.push_back(query.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return out;
    start = end + 1;
  }
}

bool named(std::string_view member, std::string_view name) {
  return form_decode(member.substr(0, member.find('='))) == name;
}

}  // namespace

std::optional<std::string> query_value(std::string_view url, std::string_view name) {
  const Parts parts = split(url);
  if (!parts.has_query) return std::nullopt;
  for (std::string_view member : members(parts.query)) {
    if (!named(member, name)) continue;
    const auto eq = member.find('=');
    return eq == std::string_view::npos ? std::string() : form_decode(member.substr(eq + 1));
  }
  return std::nullopt;
}

std::string with_query_value(std::string_view url, std::string_view name, std::string_view value) {
  const Parts parts = split(url);
  std::string replacement = percent_encode(name);
  replacement.push_back('=');
  percent_encode_into(replacement, value);

  std::string out(parts.head);
  if (!parts.has_query) out.push_back('?');
  bool placed = false;
  bool first = true;
  bool last_empty = false;  // the last member written was empty: its separator is there
  if (parts.has_query) {
    for (std::string_view member : members(parts.query)) {
      const bool ours = named(member, name);
      if (ours && placed) continue;  // a second member of the name: dropped
      if (!first) out.push_back('&');
      first = false;
      last_empty = member.empty();
      if (ours) {
        // The name as the link wrote it, the new value.
        out.append(member.substr(0, member.find('=')));
        out.push_back('=');
        percent_encode_into(out, value);
        placed = true;
      } else {
        out.append(member);
      }
    }
  }
  if (!placed) {
    if (!first && !last_empty) out.push_back('&');
    out += replacement;
  }
  out.append(parts.fragment);
  return out;
}

std::string url_origin(std::string_view url) {
  const auto scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos || scheme_end == 0) return {};
  for (char c : url.substr(0, scheme_end)) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return {};
  }
  const auto authority_start = scheme_end + 3;
  auto authority_end = url.find_first_of("/?#", authority_start);
  if (authority_end == std::string_view::npos) authority_end = url.size();
  std::string out(url.substr(0, authority_end));
  // Only scheme and host are case-insensitive; user information (before "@") is not.
  const auto at = out.rfind('@');
  const std::size_t host_start = at == std::string::npos || at < authority_start ? authority_start
                                                                                 : at + 1;
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (i < scheme_end || i >= host_start) {
      out[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(out[i])));
    }
  }
  return out;
}

std::string with_appsecret_proof(std::string_view url, std::string_view app_secret,
                                 std::string_view fallback_token) {
  if (app_secret.empty()) return std::string(url);
  std::optional<std::string> token = query_value(url, "access_token");
  std::string signed_url;
  if (!token || token->empty()) {
    if (fallback_token.empty()) return std::string(url);
    token = std::string(fallback_token);
    signed_url = with_query_value(url, "access_token", *token);
    url = signed_url;
  }
  return with_query_value(url, "appsecret_proof", hmac_sha256_hex(app_secret, *token));
}

}  // namespace corvane::core
