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

}  // namespace corvane::core
