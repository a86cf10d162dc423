// TextBuffer against std::string as the model, across the inline bytes and every growth.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <memory>
#include <string>

#include "check.hpp"
#include "core/text_buffer.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using corvane::core::TextBuffer;
  FuzzedDataProvider in(data, size);
  // On the heap, so that AddressSanitizer sees a write past the inline bytes.
  auto buffer = std::make_unique<TextBuffer>();
  std::string model;
  while (in.remaining_bytes() > 0) {
    switch (in.ConsumeIntegralInRange(0, 4)) {
      case 0: {
        const char c = in.ConsumeIntegral<char>();
        buffer->put(c);
        model += c;
        break;
      }
      case 1: {
        const std::string piece = in.ConsumeRandomLengthString(3000);
        buffer->put(piece);
        model += piece;
        break;
      }
      case 2: {
        const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 5000);
        const char c = in.ConsumeIntegral<char>();
        buffer->put(count, c);
        model.append(count, c);
        break;
      }
      case 3: {
        // Room asked for, part of it written.
        const std::size_t room = in.ConsumeIntegralInRange<std::size_t>(0, 5000);
        const std::size_t used = in.ConsumeIntegralInRange<std::size_t>(0, room);
        char* p = buffer->room(room);
        for (std::size_t i = 0; i < room; ++i) p[i] = '?';  // all of the room is writable
        for (std::size_t i = 0; i < used; ++i) p[i] = static_cast<char>('a' + i % 26);
        buffer->commit(p + used);
        for (std::size_t i = 0; i < used; ++i) model += static_cast<char>('a' + i % 26);
        break;
      }
      default:
        buffer->clear();
        model.clear();
        break;
    }
    FUZZ_CHECK(buffer->size() == model.size() && buffer->empty() == model.empty());
    FUZZ_CHECK(buffer->view() == model);
  }
  FUZZ_CHECK(buffer->str() == model);
  return 0;
}
