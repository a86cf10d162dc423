// Masking of secrets in URLs.
#include "core/percent.hpp"
#include "core/mask.hpp"

#include <string>
#include <vector>

namespace corvane::core {
namespace {

// Where a quoted query value ends in a free text.
bool ends_value(char c) {
  switch (c) {
    case '&': case '#': case ';': case '\'': case '"': case '<': case '>': case '(': case ')':
    case '[': case ']': case '{': case '}': case '\\': case ' ': case '\t': case '\n':
    case '\r': case '\f': case '\v':
      return true;
    default:
      return false;
  }
}

// Replaces `what` (4 bytes or more) by "***" until none is left, and tells whether it replaced
// any. A value holding "*" can be formed anew by a replacement and the text around it, so the
// search goes on from the earliest start that overlaps the "***" just written. Every
// replacement shortens the text, so this ends.
bool replace_all(std::string& text, const std::string& what) {
  bool replaced = false;
  for (auto at = text.find(what); at != std::string::npos;
       at = text.find(what, at < what.size() ? 0 : at - what.size() + 1)) {
    text.replace(at, what.size(), "***");
    replaced = true;
  }
  return replaced;
}

}  // namespace

bool is_secret_param(std::string_view name) {
  for (auto secret : kSecretNames) {
    if (name == secret) return true;
  }
  return false;
}

std::string mask_secrets(std::string_view url) {
  const auto qpos = url.find('?');
  if (qpos == std::string_view::npos) return std::string(url);
  auto fpos = url.find('#', qpos);
  if (fpos == std::string_view::npos) fpos = url.size();

  std::string out(url.substr(0, qpos + 1));
  out.reserve(url.size());
  const std::string_view query = url.substr(qpos + 1, fpos - qpos - 1);
  std::size_t start = 0;
  while (true) {
    const auto amp = query.find('&', start);
    const auto end = amp == std::string_view::npos ? query.size() : amp;
    const std::string_view pair = query.substr(start, end - start);
    const auto eq = pair.find('=');
    if (eq != std::string_view::npos && is_secret_param(form_decode(pair.substr(0, eq)))) {
      out.append(pair.substr(0, eq + 1));
      out.append("***");
    } else {
      out.append(pair);
    }
    if (amp == std::string_view::npos) break;
    out.push_back('&');
    start = amp + 1;
  }
  out.append(url.substr(fpos));
  return out;
}

std::vector<std::string> secret_values(std::string_view url) {
  std::vector<std::string> out;
  const auto qpos = url.find('?');
  if (qpos == std::string_view::npos) return out;
  auto fpos = url.find('#', qpos);
  if (fpos == std::string_view::npos) fpos = url.size();
  const std::string_view query = url.substr(qpos + 1, fpos - qpos - 1);
  std::size_t start = 0;
  while (start <= query.size()) {
    auto end = query.find('&', start);
    if (end == std::string_view::npos) end = query.size();
    const std::string_view pair = query.substr(start, end - start);
    const auto eq = pair.find('=');
    if (eq != std::string_view::npos && is_secret_param(form_decode(pair.substr(0, eq)))) {
      const std::string_view raw = pair.substr(eq + 1);
      if (!raw.empty()) {
        out.emplace_back(raw);
        std::string decoded = form_decode(raw);
        if (decoded != raw) out.push_back(std::move(decoded));
      }
    }
    start = end + 1;
  }
  return out;
}

std::string mask_secrets_in_text(std::string_view text, const std::vector<std::string>& known) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    out.push_back(c);
    ++i;
    if (c != '?' && c != '&' && c != ';') continue;
    // A candidate name: up to "=", unless a delimiter comes first.
    std::size_t j = i;
    while (j < text.size() && text[j] != '=' && !ends_value(text[j])) ++j;
    if (j >= text.size() || text[j] != '=' || !is_secret_param(form_decode(text.substr(i, j - i)))) {
      continue;
    }
    out.append(text.substr(i, j + 1 - i));
    out.append("***");
    i = j + 1;
    while (i < text.size() && !ends_value(text[i])) ++i;
  }
  // Masking one value can form another that holds "*": repeat until a pass masks nothing.
  for (bool again = true; again;) {
    again = false;
    for (const std::string& value : known) {
      if (value.size() >= 4 && replace_all(out, value)) again = true;
    }
  }
  return out;
}

}  // namespace corvane::core
