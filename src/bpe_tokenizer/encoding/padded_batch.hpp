#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "bpe_tokenizer/core/cancellation.hpp"
#include "bpe_tokenizer/core/pair.hpp"
#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/tokenizer.hpp"
#include "bpe_tokenizer/encoding/batch.hpp"
#include "bpe_tokenizer/encoding/encoding_cache.hpp"
#include "bpe_tokenizer/system/huge_page_allocator.hpp"

namespace wrenmark {

enum class PaddedElement : std::uint8_t { Int64, Int32, UInt32 };

std::size_t element_size(PaddedElement element);

// How the ids of a batch become the rows of one matrix. Every row is the prefix, the text's ids
// (cut to fit `max_length` with the prefix and suffix, keeping the start or the end) and the
// suffix, then padded to the width: the longest row, or `max_length`, rounded up to a multiple
// of `multiple`.
struct PaddingOptions {
  std::optional<std::size_t> max_length;
  bool pad_to_max_length = false;
  std::size_t multiple = 1;
  std::optional<TokenId> pad_id;
  bool pad_left = false;
  bool truncate_left = false;
  std::vector<TokenId> prefix;
  std::vector<TokenId> suffix;
  PaddedElement element = PaddedElement::Int64;
};

// Bytes left unset when made, since filling writes every one of them once. A batch's matrices
// are often tens of megabytes of fresh memory, written once: huge pages (where the kernel gives
// them) take a fraction of the page faults.
class ArrayBytes {
 public:
  ArrayBytes() = default;
  ArrayBytes(ArrayBytes&& other) noexcept
      : bytes_(std::exchange(other.bytes_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  ArrayBytes& operator=(ArrayBytes&& other) noexcept {
    std::swap(bytes_, other.bytes_);
    std::swap(size_, other.size_);
    return *this;
  }
  ~ArrayBytes() {
    if (bytes_ != nullptr) HugePageAllocator<std::byte>().deallocate(bytes_, size_);
  }

  void allocate(std::size_t byte_count) {
    // At least one byte, so that an empty array still has an address of its own.
    ArrayBytes made;
    made.bytes_ = HugePageAllocator<std::byte>().allocate(std::max<std::size_t>(byte_count, 1));
    made.size_ = std::max<std::size_t>(byte_count, 1);
    *this = std::move(made);
  }
  const std::byte* data() const { return bytes_; }
  std::byte* data() { return bytes_; }

 private:
  std::byte* bytes_ = nullptr;
  std::size_t size_ = 0;
};

// The rows x width matrices of ids and attention mask (1 for a token, 0 for padding) and the
// length of every row, C-contiguous, all of `element`.
struct PaddedIds {
  std::size_t rows = 0;
  std::size_t width = 0;
  PaddedElement element = PaddedElement::Int64;
  ArrayBytes ids;
  ArrayBytes attention_mask;
  ArrayBytes lengths;
  // Some row is shorter than the width and no pad id was given: nothing is filled.
  bool needs_pad_id = false;
};

// Encodes `texts` as encode_batch does and lays their ids out by `options`, both on the worker
// pool. The options are already checked (padding to max_length has one; prefix and suffix fit).
Result<PaddedIds> encode_batch_padded(const BpeTokenizer& tokenizer, EncodingCache& cache,
                                      std::span<const std::string_view> texts, const PaddingOptions& options,
                                      Cancellation& cancellation);

// The same layout of ids already made.
PaddedIds pad_encodings(const BatchIds& batch, const PaddingOptions& options);

}  // namespace wrenmark
