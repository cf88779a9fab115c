#include "bpe_tokenizer/encoding/shared_encoding_block.hpp"

#include <new>

#include "bpe_tokenizer/system/huge_page_allocator.hpp"

namespace wrenmark {

namespace {

// The bytes follow the block's own fields, at the alignment that packed encodings need.
constexpr std::size_t kBytesOffset =
    (sizeof(SharedEncodingBlock) + kPackedAlignment - 1) / kPackedAlignment * kPackedAlignment;

// The encoding of a long text is megabytes written once from end to end: on huge pages it
// faults once per 2 MiB instead of once per 4 KiB. Small blocks stay plain memory.
using BlockAllocator = EncodingArrayAllocator<std::byte>;

}  // namespace

SharedEncodingBlock* SharedEncodingBlock::create(std::size_t capacity) {
  void* memory = BlockAllocator().allocate(kBytesOffset + capacity);
  return new (memory) SharedEncodingBlock(capacity);
}

void SharedEncodingBlock::release(SharedEncodingBlock* block) {
  if (--block->users_ != 0) return;
  const std::size_t bytes = kBytesOffset + block->capacity_;
  block->~SharedEncodingBlock();
  BlockAllocator().deallocate(reinterpret_cast<std::byte*>(block), bytes);
}

std::byte* SharedEncodingBlock::bytes() { return reinterpret_cast<std::byte*>(this) + kBytesOffset; }

const std::byte* SharedEncodingBlock::append(const EncodingBuilder& encoding) {
  std::byte* destination = bytes() + size_;
  size_ += encoding.pack(destination);
  return destination;
}

}  // namespace wrenmark
