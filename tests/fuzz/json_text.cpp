// UTF-8 and JSON string literals from 1-, 2- and 4-byte code-point buffers: the bytes decode
// back to the code points, the literal parses back to them with only the escapes Python's
// json module writes, and the ASCII fast path writes what the general one does.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "core/json_text.hpp"

namespace {

using namespace corvane::core;

// Decodes one UTF-8 sequence at text[i], advancing i. Lone surrogates are accepted (their
// three-byte form is what the writer uses for them); overlong forms are not.
std::uint32_t next_code_point(std::string_view text, std::size_t& i) {
  const auto byte = [&](std::size_t k) {
    FUZZ_CHECK(k < text.size());
    return static_cast<unsigned char>(text[k]);
  };
  const unsigned char lead = byte(i);
  int extra = 0;
  std::uint32_t cp = 0;
  if (lead < 0x80) {
    cp = lead;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1, cp = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, cp = lead & 0x0F;
  } else {
    FUZZ_CHECK((lead & 0xF8) == 0xF0);
    extra = 3, cp = lead & 0x07;
  }
  for (int k = 1; k <= extra; ++k) {
    const unsigned char next = byte(i + k);
    FUZZ_CHECK((next & 0xC0) == 0x80);
    cp = (cp << 6) | (next & 0x3F);
  }
  static constexpr std::uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
  FUZZ_CHECK(cp >= kSmallest[extra] && cp <= 0x10FFFF);
  i += 1 + extra;
  return cp;
}

std::vector<std::uint32_t> decode_utf8(std::string_view text) {
  std::vector<std::uint32_t> out;
  for (std::size_t i = 0; i < text.size();) out.push_back(next_code_point(text, i));
  return out;
}

int lower_hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Parses a JSON string literal that must use exactly the escapes the writer promises.
std::vector<std::uint32_t> parse_literal(std::string_view literal) {
  FUZZ_CHECK(literal.size() >= 2 && literal.front() == '"' && literal.back() == '"');
  const std::string_view body = literal.substr(1, literal.size() - 2);
  std::vector<std::uint32_t> out;
  for (std::size_t i = 0; i < body.size();) {
    const auto c = static_cast<unsigned char>(body[i]);
    FUZZ_CHECK(c >= 0x20 && c != '"');
    if (c != '\\') {
      out.push_back(next_code_point(body, i));
      continue;
    }
    FUZZ_CHECK(i + 1 < body.size());
    const char e = body[i + 1];
    constexpr std::string_view shorts = "\"\\bfnrt";
    constexpr std::string_view plain = "\"\\\b\f\n\r\t";
    if (const auto hit = shorts.find(e); hit != std::string_view::npos) {
      out.push_back(static_cast<unsigned char>(plain[hit]));
      i += 2;
      continue;
    }
    FUZZ_CHECK(e == 'u' && i + 5 < body.size() && body.substr(i + 2, 2) == "00");
    const int hi = lower_hex_value(body[i + 4]);
    const int lo = lower_hex_value(body[i + 5]);
    FUZZ_CHECK(hi >= 0 && lo >= 0);
    const std::uint32_t cp = static_cast<std::uint32_t>(hi * 16 + lo);
    // \u00xx only for the controls that have no short escape.
    FUZZ_CHECK(cp < 0x20 && std::string_view("\b\f\n\r\t").find(static_cast<char>(cp)) ==
                                std::string_view::npos);
    out.push_back(cp);
    i += 6;
  }
  return out;
}

// Writes with `write` into a buffer that already holds `prefill` bytes (so that the write may
// start inline and end on the heap) and returns what the write added.
template <class Write>
std::string written(std::size_t prefill, Write write) {
  auto out = std::make_unique<TextBuffer>();  // on the heap: ASan sees writes past it
  out->put(prefill, 'p');
  write(*out);
  const std::string_view all = out->view();
  FUZZ_CHECK(all.size() >= prefill && all.find_first_not_of('p') >= prefill);
  return std::string(all.substr(prefill));
}

template <class Unit>
void check_units(const std::vector<Unit>& units, std::size_t prefill) {
  const std::vector<std::uint32_t> code_points(units.begin(), units.end());

  const std::string utf8 =
      written(prefill, [&](TextBuffer& out) { append_utf8(out, units.data(), units.size()); });
  FUZZ_CHECK(decode_utf8(utf8) == code_points);
  const std::string one_by_one = written(prefill, [&](TextBuffer& out) {
    for (std::uint32_t cp : code_points) append_utf8(out, cp);
  });
  FUZZ_CHECK(one_by_one == utf8);

  const std::string literal = written(
      prefill, [&](TextBuffer& out) { append_json_string(out, units.data(), units.size()); });
  FUZZ_CHECK(parse_literal(literal) == code_points);

  if constexpr (sizeof(Unit) == 1) {
    if (std::all_of(units.begin(), units.end(), [](Unit u) { return u < 0x80; })) {
      const std::string_view ascii(reinterpret_cast<const char*>(units.data()), units.size());
      FUZZ_CHECK(written(prefill, [&](TextBuffer& out) { append_json_ascii(out, ascii); }) ==
                 literal);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const int width = in.ConsumeIntegralInRange(0, 3);
  const std::size_t prefill = in.ConsumeIntegralInRange<std::size_t>(0, 1100);
  const std::vector<std::uint8_t> bytes = in.ConsumeRemainingBytes<std::uint8_t>();
  switch (width) {
    case 0:
      check_units(bytes, prefill);
      break;
    case 1: {
      // Mostly ASCII, so that the fast path's eight-byte scan meets escapes at every offset.
      std::vector<std::uint8_t> ascii(bytes);
      for (auto& b : ascii) b &= 0x7F;
      check_units(ascii, prefill);
      break;
    }
    case 2: {
      std::vector<std::uint16_t> units(bytes.size() / 2);
      if (!units.empty()) std::memcpy(units.data(), bytes.data(), units.size() * 2);
      check_units(units, prefill);
      break;
    }
    default: {
      // Python's code points end at U+10FFFF.
      std::vector<std::uint32_t> units(bytes.size() / 4);
      if (!units.empty()) std::memcpy(units.data(), bytes.data(), units.size() * 4);
      for (auto& u : units) u %= 0x110000;
      check_units(units, prefill);
      break;
    }
  }
  return 0;
}
