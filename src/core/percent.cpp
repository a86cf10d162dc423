// Percent-encoding of UTF-8 text.
#include "core/percent.hpp"

namespace corvane::core {
namespace {

constexpr bool is_unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '_' || c == '.' || c == '-' || c == '~';
}

}  // namespace

void percent_encode_into(std::string& out, std::string_view text) {
  static constexpr char hex[] = "0123456789ABCDEF";
  out.reserve(out.size() + text.size());
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (is_unreserved(c)) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 0x0F]);
    }
  }
}

std::string percent_encode(std::string_view text) {
  std::string out;
  percent_encode_into(out, text);
  return out;
}

std::string form_decode(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '%' && i + 2 < raw.size()) {
      const int hi = hex_value(raw[i + 1]);
      const int lo = hex_value(raw[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(raw[i] == '+' ? ' ' : raw[i]);
  }
  return out;
}

}  // namespace corvane::core
