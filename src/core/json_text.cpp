// Text written as UTF-8 from code-point buffers, plain or as a JSON string literal.
#include "core/json_text.hpp"

namespace corvane::core {

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

template <class Unit>
void append_utf8(std::string& out, const Unit* data, std::size_t size) {
  std::size_t i = 0;
  while (i < size) {
    // ASCII runs are copied in one go; they are most of what Meta sends.
    std::size_t run = i;
    while (run < size && data[run] < 0x80) ++run;
    if (run > i) {
      if constexpr (sizeof(Unit) == 1) {
        out.append(reinterpret_cast<const char*>(data + i), run - i);
      } else {
        for (std::size_t k = i; k < run; ++k) out += static_cast<char>(data[k]);
      }
      i = run;
      continue;
    }
    append_utf8(out, static_cast<std::uint32_t>(data[i]));
    ++i;
  }
}

namespace {

// True for the code points a JSON string cannot hold as they are.
template <class Unit>
constexpr bool needs_escape(Unit c) {
  return c < 0x20 || c == '"' || c == '\\';
}

void append_escape(std::string& out, std::uint32_t c) {
  switch (c) {
    case '"': out += "\\\""; return;
    case '\\': out += "\\\\"; return;
    case '\b': out += "\\b"; return;
    case '\f': out += "\\f"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    default: break;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\u00";
  out += kHex[(c >> 4) & 0x0F];
  out += kHex[c & 0x0F];
}

}  // namespace

template <class Unit>
void append_json_string(std::string& out, const Unit* data, std::size_t size) {
  out += '"';
  std::size_t start = 0;
  for (std::size_t i = 0; i < size; ++i) {
    if (!needs_escape(data[i])) continue;
    append_utf8(out, data + start, i - start);
    append_escape(out, static_cast<std::uint32_t>(data[i]));
    start = i + 1;
  }
  append_utf8(out, data + start, size - start);
  out += '"';
}

template void append_utf8(std::string&, const std::uint8_t*, std::size_t);
template void append_utf8(std::string&, const std::uint16_t*, std::size_t);
template void append_utf8(std::string&, const std::uint32_t*, std::size_t);
template void append_json_string(std::string&, const std::uint8_t*, std::size_t);
template void append_json_string(std::string&, const std::uint16_t*, std::size_t);
template void append_json_string(std::string&, const std::uint32_t*, std::size_t);

}  // namespace corvane::core
