// The growable text buffer: contents survive growth past the inline bytes and repeated growth.
#include <gtest/gtest.h>

#include <string>

#include "core/json_text.hpp"
#include "core/text_buffer.hpp"

namespace {

using corvane::core::TextBuffer;

TEST(TextBuffer, KeepsEveryPieceAcrossGrowth) {
  TextBuffer out;
  std::string expected;
  for (int i = 0; i < 5000; ++i) {
    const std::string piece = std::to_string(i) + (i % 7 == 0 ? "\n" : ",");
    out.put(piece);
    expected += piece;
    if (i % 100 == 0) {
      out.put(static_cast<std::size_t>(i % 13), '0');
      expected.append(static_cast<std::size_t>(i % 13), '0');
    }
  }
  EXPECT_GT(out.size(), 1024u);
  EXPECT_EQ(out.view(), expected);
}

TEST(TextBuffer, PiecesOfEverySmallLength) {
  // Pieces of every length up to past two machine words come out whole and in order.
  TextBuffer out;
  std::string expected;
  for (std::size_t n = 0; n <= 40; ++n) {
    std::string piece;
    for (std::size_t i = 0; i < n; ++i) piece += static_cast<char>('A' + (n + i) % 26);
    out.put(piece);
    out.put('|');
    expected += piece + '|';
  }
  EXPECT_EQ(out.view(), expected);
}

TEST(TextBuffer, OneRequestLargerThanTwiceTheCapacity) {
  TextBuffer out;
  out.put("ab");
  const std::string big(10000, 'x');
  out.put(big);
  EXPECT_EQ(out.size(), 10002u);
  EXPECT_EQ(out.view().substr(0, 3), "abx");
  out.clear();
  EXPECT_TRUE(out.empty());
  out.put('z');
  EXPECT_EQ(out.view(), "z");
}

TEST(TextBuffer, EscapedLiteralThatOutgrowsTheInlineBytes) {
  // The worst case of an escaped literal is six bytes per character: the room asked for must
  // cover it even when only a few bytes are left inline.
  TextBuffer out;
  out.put(std::string(1020, 'a'));
  const std::string controls(300, '\x01');
  corvane::core::append_json_ascii(out, controls);
  EXPECT_EQ(out.size(), 1020u + 2 + 300 * 6);
  EXPECT_EQ(out.view().substr(1020, 8), "\"\\u0001\\");
}

}  // namespace
