// Text written as UTF-8 from code-point buffers (1, 2 or 4 bytes per code point), plain or as
// a JSON string literal with the escapes Python's json module uses when ensure_ascii is off.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/text_buffer.hpp"

namespace corvane::core {

// Appends one code point as UTF-8. Lone surrogates (U+D800..U+DFFF) get their three-byte
// form, so that every text has a byte form and one that keeps the code-point order.
void append_utf8(TextBuffer& out, std::uint32_t code_point);

// Appends the code points data[0..size) as UTF-8. Unit is std::uint8_t (Latin-1),
// std::uint16_t or std::uint32_t.
template <class Unit>
void append_utf8(TextBuffer& out, const Unit* data, std::size_t size);

// Appends data[0..size) as a JSON string literal: in double quotes; quotation mark and
// backslash escaped with a backslash; \b \f \n \r \t; every other code point below U+0020 as
// \u00xx (lowercase hex); everything else, non-ASCII included, as its UTF-8 bytes.
template <class Unit>
void append_json_string(TextBuffer& out, const Unit* data, std::size_t size);

// append_json_string for text known to be ASCII only: one pass, runs copied whole.
void append_json_ascii(TextBuffer& out, std::string_view ascii);

extern template void append_utf8(TextBuffer&, const std::uint8_t*, std::size_t);
extern template void append_utf8(TextBuffer&, const std::uint16_t*, std::size_t);
extern template void append_utf8(TextBuffer&, const std::uint32_t*, std::size_t);
extern template void append_json_string(TextBuffer&, const std::uint8_t*, std::size_t);
extern template void append_json_string(TextBuffer&, const std::uint16_t*, std::size_t);
extern template void append_json_string(TextBuffer&, const std::uint32_t*, std::size_t);

}  // namespace corvane::core
