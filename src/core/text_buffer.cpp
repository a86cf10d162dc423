// Growth of TextBuffer: out of line, since it is rare (texts past the inline bytes).
#include "core/text_buffer.hpp"

#include <algorithm>
#include <memory>

namespace corvane::core {

void TextBuffer::grow(std::size_t n) {
  const std::size_t used = size();
  const std::size_t capacity = static_cast<std::size_t>(capacity_end_ - data_);
  const std::size_t wanted = std::max(capacity * 2, used + n);
  auto bigger = std::make_unique_for_overwrite<char[]>(wanted);
  std::memcpy(bigger.get(), data_, used);
  if (data_ != inline_) delete[] data_;
  data_ = bigger.release();
  end_ = data_ + used;
  capacity_end_ = data_ + wanted;
}

}  // namespace corvane::core
