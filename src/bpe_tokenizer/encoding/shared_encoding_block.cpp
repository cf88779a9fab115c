#include "bpe_tokenizer/encoding/shared_encoding_block.hpp"

#include <new>

namespace wrenmark {

namespace {

// The bytes follow the block's own fields, at the alignment that packed encodings need.
constexpr std::size_t kBytesOffset =
    (sizeof(SharedEncodingBlock) + kPackedAlignment - 1) / kPackedAlignment * kPackedAlignment;

}  // namespace

SharedEncodingBlock* SharedEncodingBlock::create(std::size_t capacity) {
  void* memory = ::operator new(kBytesOffset + capacity);
  return new (memory) SharedEncodingBlock(capacity);
}

void SharedEncodingBlock::release(SharedEncodingBlock* block) {
  if (--block->users_ != 0) return;
  block->~SharedEncodingBlock();
  ::operator delete(static_cast<void*>(block));
}

std::byte* SharedEncodingBlock::bytes() { return reinterpret_cast<std::byte*>(this) + kBytesOffset; }

const std::byte* SharedEncodingBlock::append(const EncodingBuilder& encoding) {
  std::byte* destination = bytes() + size_;
  size_ += encoding.pack(destination);
  return destination;
}

}  // namespace wrenmark
