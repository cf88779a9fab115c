#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

namespace wrenmark {

// Append-only storage for strings: each is copied into a block that never moves, so a view of
// it stays valid until clear() or the store's end, however much is added later. A string longer
// than a block gets a block of its own size.
class StringStore {
 public:
  static constexpr std::size_t kBlockBytes = 64 * 1024;

  StringStore() = default;
  StringStore(StringStore&&) noexcept = default;
  StringStore& operator=(StringStore&&) noexcept = default;
  StringStore(const StringStore&) = delete;
  StringStore& operator=(const StringStore&) = delete;

  // A view of a copy of `text`; the empty view for empty text.
  std::string_view store(std::string_view text);

  // Bytes handed out since the last clear(), the unused ends of blocks included.
  std::size_t bytes_used() const { return bytes_before_current_ + used_; }

  // Forgets every string; the blocks are kept for the strings stored next.
  void clear();

 private:
  struct Block {
    std::unique_ptr<char[]> bytes;
    std::size_t capacity;
  };

  // Moves on to the next kept block that can hold `size` bytes, adding one when none can.
  void start_block(std::size_t size);

  std::vector<Block> blocks_;
  std::size_t current_ = 0;  // the block being filled, when there is one
  std::size_t used_ = 0;     // bytes of it filled
  std::size_t bytes_before_current_ = 0;
};

}  // namespace wrenmark
