#pragma once

#include <cstddef>
#include <memory>

#include "bpe_tokenizer/encoding/packed_encoding.hpp"

namespace wrenmark {

// Packed encodings in one allocation, shared by whatever reads them and freed by the last user.
// A batch packs thousands of encodings into blocks of kBatchBytes, so making and freeing the
// objects that hold them costs no allocation each; an object kept alive keeps its block (at
// most kBatchBytes, or its own encoding's size) and nothing else.
// Users are counted without atomics: after the block is filled, one thread at a time counts
// (the binding counts under the interpreter lock).
class SharedEncodingBlock {
 public:
  static constexpr std::size_t kBatchBytes = 64 * 1024;

  // A block with room for `capacity` bytes and one user, the caller.
  static SharedEncodingBlock* create(std::size_t capacity);
  // Drops one user; the last one frees the block.
  static void release(SharedEncodingBlock* block);

  void add_user() { ++users_; }
  std::size_t room() const { return capacity_ - size_; }
  // Appends `encoding` packed and returns where it starts; it must fit in room().
  const std::byte* append(const EncodingBuilder& encoding);

 private:
  SharedEncodingBlock(std::size_t capacity) : capacity_(capacity) {}
  std::byte* bytes();

  std::size_t users_ = 1;
  std::size_t size_ = 0;
  std::size_t capacity_;
};

struct ReleaseEncodingBlock {
  void operator()(SharedEncodingBlock* block) const { SharedEncodingBlock::release(block); }
};
// One user's share of a block.
using EncodingBlockHandle = std::unique_ptr<SharedEncodingBlock, ReleaseEncodingBlock>;

}  // namespace wrenmark
