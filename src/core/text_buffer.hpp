// A growable byte buffer for text built piece by piece on hot paths (JSON literals, keys).
//
// The first kInline bytes live inside the object, so short texts cost no allocation; writers
// ask for room once per piece and write through a pointer, which std::string does not allow
// without zero-filling (resize) or an out-of-line call per append.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace corvane::core {

class TextBuffer {
 public:
  TextBuffer() = default;
  ~TextBuffer() {
    if (data_ != inline_) delete[] data_;
  }
  // The pointers point into the object itself: it stays where it was made.
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;

  // Where at least `n` more bytes can be written; commit() the end of what was written.
  char* room(std::size_t n) {
    if (static_cast<std::size_t>(capacity_end_ - end_) < n) grow(n);
    return end_;
  }
  void commit(char* end) { end_ = end; }

  void put(char c) { *room(1) = c, ++end_; }
  void put(std::string_view text) {
    char* p = room(text.size());
    if (!text.empty()) std::memcpy(p, text.data(), text.size());
    end_ = p + text.size();
  }
  // `count` copies of `c`.
  void put(std::size_t count, char c) {
    char* p = room(count);
    std::memset(p, c, count);
    end_ = p + count;
  }

  std::string_view view() const { return {data_, size()}; }
  std::string str() const { return std::string(view()); }
  std::size_t size() const { return static_cast<std::size_t>(end_ - data_); }
  bool empty() const { return end_ == data_; }
  void clear() { end_ = data_; }

 private:
  void grow(std::size_t n);

  static constexpr std::size_t kInline = 1024;
  char* data_ = inline_;
  char* end_ = inline_;
  char* capacity_end_ = inline_ + kInline;
  char inline_[kInline];  // left uninitialised: only written bytes are ever read
};

}  // namespace corvane::core
