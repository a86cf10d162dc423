// A small strict JSON reader for the usage header: strict about syntax (a header cut short or
// mangled gives no figures at all, rather than half of them), lenient about content (unknown
// members, members of other types and nested values are passed over).
#include "core/usage.hpp"

#include <cctype>
#include <charconv>
#include <cmath>

namespace corvane::core {
namespace {

constexpr int kMaxDepth = 32;  // nesting passed over before the text counts as garbage

struct Reader {
  std::string_view text;
  std::size_t at = 0;

  void blanks() {
    while (at < text.size() &&
           (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r')) {
      ++at;
    }
  }
  bool take(char c) {
    blanks();
    if (at < text.size() && text[at] == c) {
      ++at;
      return true;
    }
    return false;
  }
  bool peek(char c) {
    blanks();
    return at < text.size() && text[at] == c;
  }

  // A string; escapes are kept as written except the common ones (ids and type names are
  // plain ASCII on the platform). False when it is not a well-formed string.
  bool string(std::string* out) {
    if (!take('"')) return false;
    for (;;) {
      if (at >= text.size()) return false;
      const char c = text[at++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        if (out) out->push_back(c);
        continue;
      }
      if (at >= text.size()) return false;
      const char e = text[at++];
      if (e == 'u') {
        if (at + 4 > text.size()) return false;
        for (int i = 0; i < 4; ++i) {
          if (!std::isxdigit(static_cast<unsigned char>(text[at + i]))) return false;
        }
        if (out) out->append(text.substr(at - 2, 6));
        at += 4;
        continue;
      }
      const std::string_view plain = "\"\\/bfnrt";
      const auto which = plain.find(e);
      if (which == std::string_view::npos) return false;
      if (out) out->push_back("\"\\/\b\f\n\r\t"[which]);
    }
  }

  // A number in JSON's grammar.
  bool number(double* out) {
    blanks();
    const std::size_t start = at;
    auto digits = [&] {
      const std::size_t from = at;
      while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
      return at > from;
    };
    if (at < text.size() && text[at] == '-') ++at;
    if (at < text.size() && text[at] == '0') {
      ++at;
    } else if (!digits()) {
      return false;
    }
    if (at < text.size() && text[at] == '.') {
      ++at;
      if (!digits()) return false;
    }
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
      ++at;
      if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
      if (!digits()) return false;
    }
    double value = 0;
    const auto result = std::from_chars(text.data() + start, text.data() + at, value);
    // Out of range: still a number in the grammar, no figure.
    if (result.ec == std::errc::result_out_of_range) value = HUGE_VAL;
    *out = value;
    return true;
  }

  bool literal(std::string_view word) {
    blanks();
    if (text.substr(at, word.size()) != word) return false;
    at += word.size();
    return true;
  }

  // Any value, passed over; `number` receives it when it is a number.
  bool value(int depth, std::optional<double>* number_out = nullptr) {
    if (depth > kMaxDepth) return false;
    if (peek('"')) return string(nullptr);
    if (take('{')) {
      if (take('}')) return true;
      do {
        if (!string(nullptr) || !take(':') || !value(depth + 1)) return false;
      } while (take(','));
      return take('}');
    }
    if (take('[')) {
      if (take(']')) return true;
      do {
        if (!value(depth + 1)) return false;
      } while (take(','));
      return take(']');
    }
    if (literal("true") || literal("false") || literal("null")) return true;
    double n = 0;
    if (!number(&n)) return false;
    if (number_out && std::isfinite(n) && n >= 0) *number_out = n;
    return true;
  }

  // A flat object: each member is handed to `member(name)`, which reads its value (returning
  // false for text that is not JSON) or returns nullopt to have it passed over.
  template <class Member>
  bool object(Member member) {
    if (!take('{')) return false;
    if (take('}')) return true;
    do {
      std::string name;
      if (!string(&name) || !take(':')) return false;
      const std::optional<bool> read = member(name);
      if (read ? !*read : !value(2)) return false;
    } while (take(','));
    return take('}');
  }

  bool end() {
    blanks();
    return at == text.size();
  }

  bool use_case(UseCaseUsage* out) {
    if (!take('{')) return value(2);  // not an object: passed over, no figures
    if (take('}')) return true;
    do {
      std::string name;
      if (!string(&name) || !take(':')) return false;
      bool ok = true;
      if (name == "type") {
        if (peek('"')) {
          out->type.clear();
          ok = string(&out->type);
        } else {
          ok = value(3);
        }
      } else if (name == "call_count") {
        ok = value(3, &out->call_count);
      } else if (name == "total_cputime") {
        ok = value(3, &out->total_cputime);
      } else if (name == "total_time") {
        ok = value(3, &out->total_time);
      } else if (name == "estimated_time_to_regain_access") {
        ok = value(3, &out->regain_minutes);
      } else {
        ok = value(3);
      }
      if (!ok) return false;
    } while (take(','));
    return take('}');
  }
};

// A header that is one flat object, its members read into a T by `member(in, out, name)` as
// Reader::object reads them; nullopt when the header is anything else.
template <class T, class Member>
std::optional<T> parse_flat(std::string_view header, Member member) {
  Reader in{header};
  T out;
  const bool ok = in.object([&](const std::string& name) { return member(in, out, name); });
  if (!ok || !in.end()) return std::nullopt;
  return out;
}

}  // namespace

std::vector<ObjectUsage> parse_business_usage(std::string_view header) {
  Reader in{header};
  std::vector<ObjectUsage> objects;
  if (!in.take('{')) return {};
  if (!in.take('}')) {
    do {
      ObjectUsage object;
      if (!in.string(&object.id) || !in.take(':')) return {};
      const bool kept = objects.size() < kMaxUsageObjects;
      if (in.take('[')) {
        if (!in.take(']')) {
          do {
            UseCaseUsage figures;
            if (!in.use_case(&figures)) return {};
            if (kept) object.use_cases.push_back(std::move(figures));
          } while (in.take(','));
          if (!in.take(']')) return {};
        }
      } else if (!in.value(1)) {  // not a list: no figures for this object
        return {};
      }
      if (kept) objects.push_back(std::move(object));
    } while (in.take(','));
    if (!in.take('}')) return {};
  }
  in.blanks();
  if (in.at != header.size()) return {};
  return objects;
}

std::optional<AppUsage> parse_app_usage(std::string_view header) {
  return parse_flat<AppUsage>(
      header, [](Reader& in, AppUsage& out, const std::string& name) -> std::optional<bool> {
        if (name == "call_count") return in.value(2, &out.call_count);
        if (name == "total_time") return in.value(2, &out.total_time);
        if (name == "total_cputime") return in.value(2, &out.total_cputime);
        return std::nullopt;
      });
}

std::optional<AdAccountUsage> parse_ad_account_usage(std::string_view header) {
  return parse_flat<AdAccountUsage>(
      header, [](Reader& in, AdAccountUsage& out, const std::string& name) -> std::optional<bool> {
        if (name == "acc_id_util_pct") return in.value(2, &out.util_pct);
        if (name == "reset_time_duration") return in.value(2, &out.reset_seconds);
        if (name == "ads_api_access_tier" && in.peek('"')) return in.string(&out.access_tier);
        return std::nullopt;
      });
}

std::optional<double> regain_access_seconds(std::string_view header) {
  std::optional<double> longest;
  for (const ObjectUsage& object : parse_business_usage(header)) {
    for (const UseCaseUsage& figures : object.use_cases) {
      if (figures.regain_minutes && (!longest || *figures.regain_minutes > *longest)) {
        longest = figures.regain_minutes;
      }
    }
  }
  if (!longest) return std::nullopt;
  const double seconds = *longest * 60.0;
  if (!std::isfinite(seconds)) return std::nullopt;
  return seconds;
}

}  // namespace corvane::core
