// UTF-8 and JSON string literals from code-point buffers.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/json_text.hpp"

namespace {

using corvane::core::append_json_string;
using corvane::core::append_utf8;

template <class Unit>
std::string quoted(const std::vector<Unit>& units) {
  corvane::core::TextBuffer out;
  append_json_string(out, units.data(), units.size());
  return out.str();
}

TEST(JsonString, EscapesLikePythonJsonWithoutEnsureAscii) {
  const std::vector<std::uint8_t> text = {'a', '"', '\\', '\b', '\f', '\n', '\r', '\t',
                                          0x00, 0x1f, 0x7f, '/', 0xe9};
  EXPECT_EQ(quoted(text), "\"a\\\"\\\\\\b\\f\\n\\r\\t\\u0000\\u001f\x7f/\xc3\xa9\"");
}

TEST(JsonString, AsciiFastPathFindsEveryEscapeAtEveryPosition) {
  // The ASCII writer tests eight bytes at a time: an escape in any lane, in the tail, or next
  // to the byte values closest to the ones that need it must come out as the general writer
  // writes it.
  for (const char special : {'"', '\\', '\x00', '\x1f', '\n'}) {
    for (std::size_t length = 1; length <= 20; ++length) {
      for (std::size_t at = 0; at < length; ++at) {
        std::string text(length, 'a');
        for (std::size_t i = 0; i < length; ++i) text[i] = "! #[]~\x7f"[i % 7];
        text[at] = special;
        corvane::core::TextBuffer fast;
        corvane::core::append_json_ascii(fast, text);
        const std::vector<std::uint8_t> units(text.begin(), text.end());
        EXPECT_EQ(fast.view(), quoted(units)) << "length " << length << " at " << at;
      }
    }
  }
}

TEST(JsonString, EmptyText) {
  EXPECT_EQ(quoted(std::vector<std::uint8_t>{}), "\"\"");
  // A default view has no data pointer: the ASCII writer must not copy from it (UBSan flags
  // memcpy from null even for no bytes).
  corvane::core::TextBuffer out;
  corvane::core::append_json_ascii(out, std::string_view{});
  EXPECT_EQ(out.view(), "\"\"");
}

TEST(JsonString, WideUnitsBecomeUtf8) {
  // "Ism: Ғулом" with a tab, then U+1F600 and a lone surrogate.
  const std::vector<std::uint16_t> uzbek = {'I', 's', 'm', ':', '\t', 0x0492, 0x0443};
  EXPECT_EQ(quoted(uzbek), "\"Ism:\\t\xd2\x92\xd1\x83\"");
  const std::vector<std::uint32_t> astral = {0x1F600, 0xD800, '"'};
  EXPECT_EQ(quoted(astral), "\"\xf0\x9f\x98\x80\xed\xa0\x80\\\"\"");
}

TEST(Utf8, EncodesEveryLength) {
  corvane::core::TextBuffer out;
  for (std::uint32_t cp : {0x24u, 0xA2u, 0x20ACu, 0x10348u, 0x10FFFFu}) append_utf8(out, cp);
  EXPECT_EQ(out.view(), "$\xc2\xa2\xe2\x82\xac\xf0\x90\x8d\x88\xf4\x8f\xbf\xbf");
}

TEST(Utf8, SurrogatesKeepCodePointOrder) {
  // Byte order of the encodings follows code-point order, surrogates included, so sorting
  // encoded keys sorts them by code point.
  corvane::core::TextBuffer below, surrogate, above;
  append_utf8(below, 0xD7FFu);
  append_utf8(surrogate, 0xDC00u);
  append_utf8(above, 0xE000u);
  EXPECT_LT(below.view(), surrogate.view());
  EXPECT_LT(surrogate.view(), above.view());
}

}  // namespace
