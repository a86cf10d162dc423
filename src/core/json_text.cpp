// Text written as UTF-8 from code-point buffers, plain or as a JSON string literal.
//
// Each call sizes the output once for the worst case (6 bytes per code point for \u00xx) and
// writes through a pointer: per-byte appends cost more than the encoding itself.
#include "core/json_text.hpp"

#include <array>
#include <cstring>

namespace corvane::core {

namespace {

char* put_utf8(char* p, std::uint32_t cp) {
  if (cp < 0x80) {
    *p++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *p++ = static_cast<char>(0xC0 | (cp >> 6));
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *p++ = static_cast<char>(0xE0 | (cp >> 12));
    *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *p++ = static_cast<char>(0xF0 | (cp >> 18));
    *p++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return p;
}

// The escape of a code point a JSON string cannot hold as it is, or 0 when it needs none.
constexpr char short_escape(std::uint32_t c) {
  switch (c) {
    case '"': return '"';
    case '\\': return '\\';
    case '\b': return 'b';
    case '\f': return 'f';
    case '\n': return 'n';
    case '\r': return 'r';
    case '\t': return 't';
    default: return 0;
  }
}

constexpr bool needs_escape(std::uint32_t c) { return c < 0x20 || c == '"' || c == '\\'; }

// needs_escape for every byte value, so that a scan costs one load per byte (text known to be
// ASCII has no byte above 0x7F).
constexpr auto kEscapedAscii = [] {
  std::array<bool, 256> table{};
  for (std::uint32_t c = 0; c < 128; ++c) table[c] = needs_escape(c);
  return table;
}();

char* put_escape(char* p, std::uint32_t c) {
  *p++ = '\\';
  if (const char e = short_escape(c)) {
    *p++ = e;
    return p;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  *p++ = 'u';
  *p++ = '0';
  *p++ = '0';
  *p++ = kHex[(c >> 4) & 0x0F];
  *p++ = kHex[c & 0x0F];
  return p;
}

// The length of the leading run of `ascii` that needs no escape. Eight bytes are tested at a
// time: with every byte below 0x80, (v - n) & ~v & 0x80.. is non-zero exactly when some byte of
// v is below n, and x ^ c turns the bytes equal to c into zeros.
std::size_t clean_prefix(std::string_view ascii) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  const auto below = [](std::uint64_t v, std::uint64_t n) { return (v - n * kOnes) & ~v & kHigh; };
  std::size_t i = 0;
  for (; i + 8 <= ascii.size(); i += 8) {
    std::uint64_t v;
    std::memcpy(&v, ascii.data() + i, 8);
    if (below(v, 0x20) | below(v ^ ('"' * kOnes), 1) | below(v ^ ('\\' * kOnes), 1)) break;
  }
  while (i < ascii.size() && !kEscapedAscii[static_cast<unsigned char>(ascii[i])]) ++i;
  return i;
}

}  // namespace

void append_utf8(TextBuffer& out, std::uint32_t code_point) {
  out.commit(put_utf8(out.room(4), code_point));
}

template <class Unit>
void append_utf8(TextBuffer& out, const Unit* data, std::size_t size) {
  if constexpr (sizeof(Unit) == 1) {
    // Latin-1 is ASCII most of the time.
    std::size_t i = 0;
    while (i < size && data[i] < 0x80) ++i;
    out.put(std::string_view(reinterpret_cast<const char*>(data), i));
    data += i;
    size -= i;
  }
  char* p = out.room(size * 4);
  for (std::size_t i = 0; i < size; ++i) p = put_utf8(p, data[i]);
  out.commit(p);
}

void append_json_ascii(TextBuffer& out, std::string_view ascii) {
  // Most keys and ids need no escape: then the literal is written with one append instead of
  // one per run and quote.
  std::size_t i = clean_prefix(ascii);
  char* p = out.room(i == ascii.size() ? ascii.size() + 2 : ascii.size() * 6 + 2);
  *p++ = '"';
  // An empty view may have no data at all, and memcpy from a null pointer is undefined even
  // for no bytes.
  if (i != 0) std::memcpy(p, ascii.data(), i);
  p += i;
  for (; i < ascii.size(); ++i) {
    const auto c = static_cast<unsigned char>(ascii[i]);
    p = kEscapedAscii[c] ? put_escape(p, c) : (*p = static_cast<char>(c), p + 1);
  }
  *p++ = '"';
  out.commit(p);
}

template <class Unit>
void append_json_string(TextBuffer& out, const Unit* data, std::size_t size) {
  char* p = out.room(size * 6 + 2);
  *p++ = '"';
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint32_t c = data[i];
    if (c >= 0x80) {
      p = put_utf8(p, c);
    } else if (needs_escape(c)) {
      p = put_escape(p, c);
    } else {
      *p++ = static_cast<char>(c);
    }
  }
  *p++ = '"';
  out.commit(p);
}

template void append_utf8(TextBuffer&, const std::uint8_t*, std::size_t);
template void append_utf8(TextBuffer&, const std::uint16_t*, std::size_t);
template void append_utf8(TextBuffer&, const std::uint32_t*, std::size_t);
template void append_json_string(TextBuffer&, const std::uint8_t*, std::size_t);
template void append_json_string(TextBuffer&, const std::uint16_t*, std::size_t);
template void append_json_string(TextBuffer&, const std::uint32_t*, std::size_t);

}  // namespace corvane::core
