// Result references, the split of operations into calls, and relative URLs of a Graph batch.
#include "core/batch.hpp"

#include <algorithm>
#include <map>

#include "core/percent.hpp"

namespace corvane::core {
namespace {

constexpr std::string_view kOpen = "{result=";

// The end (one past "}") of the reference starting at `at`, and its name; npos when the text
// there is not a whole reference.
std::size_t reference_at(std::string_view text, std::size_t at, std::string* name) {
  if (text.substr(at, kOpen.size()) != kOpen) return std::string_view::npos;
  const std::size_t start = at + kOpen.size();
  const std::size_t colon = text.find(':', start);
  const std::size_t close = text.find('}', start);
  if (colon == std::string_view::npos || close == std::string_view::npos || colon > close ||
      colon == start) {
    return std::string_view::npos;
  }
  if (name != nullptr) name->assign(text.substr(start, colon - start));
  return close + 1;
}

}  // namespace

std::vector<std::string> result_references(std::string_view text) {
  std::vector<std::string> names;
  for (std::size_t at = text.find(kOpen); at != std::string_view::npos; at = text.find(kOpen, at + 1)) {
    std::string name;
    if (reference_at(text, at, &name) != std::string_view::npos) names.push_back(std::move(name));
  }
  return names;
}

BatchSplit split_batch(const std::vector<BatchOp>& ops, std::size_t limit) {
  BatchSplit out;
  const std::size_t n = ops.size();
  // earliest[i]: the lowest index operation i refers to (i itself when none).
  std::vector<std::size_t> earliest(n);
  std::vector<const std::string*> earliest_name(n, nullptr);
  std::map<std::string, std::size_t, std::less<>> last_named;  // the latest earlier holder
  for (std::size_t i = 0; i < n; ++i) {
    earliest[i] = i;
    for (const std::string& name : ops[i].refers_to) {
      const auto found = last_named.find(name);
      if (found == last_named.end()) {
        out.refused = true;
        out.index = i;
        out.name = name;
        out.unknown = true;
        return out;
      }
      if (found->second < earliest[i]) {
        earliest[i] = found->second;
        earliest_name[i] = &name;
      }
    }
    if (!ops[i].name.empty()) last_named[ops[i].name] = i;
  }
  // reach[c]: the lowest index referred to by any operation at c or later; a cut before c is
  // allowed when nothing from c on refers before c.
  std::vector<std::size_t> reach(n + 1, n);
  for (std::size_t i = n; i-- > 0;) reach[i] = std::min(reach[i + 1], earliest[i]);
  std::size_t begin = 0;
  while (begin < n) {
    std::size_t end = std::min(n, begin + limit);
    while (end < n && end > begin && reach[end] < end) --end;
    if (end == begin) {
      // No cut within reach: the first operation past the limit that refers back too far.
      for (std::size_t i = begin + limit; i < n; ++i) {
        if (earliest[i] < begin + limit) {
          out.refused = true;
          out.index = i;
          out.name = *earliest_name[i];
          return out;
        }
      }
      out.refused = true;  // not reached: a cut is refused only for such an operation
      out.index = begin;
      return out;
    }
    out.sizes.push_back(end - begin);
    begin = end;
  }
  return out;
}

void encode_keeping_references(std::string& out, std::string_view text) {
  std::size_t done = 0;
  for (std::size_t at = text.find(kOpen); at != std::string_view::npos;
       at = text.find(kOpen, at + 1)) {
    const std::size_t end = reference_at(text, at, nullptr);
    if (end == std::string_view::npos) continue;
    percent_encode_into(out, text.substr(done, at - done));
    out.append(text.substr(at, end - at));
    done = end;
    at = end - 1;
  }
  percent_encode_into(out, text.substr(done));
}

std::string relative_url(std::string_view path, std::string_view query) {
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  std::string out(path);
  if (query.empty()) return out;
  if (out.find('?') == std::string::npos) {
    out.push_back('?');
  } else if (out.back() != '?' && out.back() != '&') {
    out.push_back('&');
  }
  out.append(query);
  return out;
}

}  // namespace corvane::core
