#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "bpe_tokenizer/core/cancellation.hpp"
#include "bpe_tokenizer/core/pair.hpp"
#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/tokenizer.hpp"
#include "bpe_tokenizer/encoding/batch.hpp"
#include "bpe_tokenizer/encoding/encoding_cache.hpp"

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

// Bytes left unset when made, since filling writes every one of them once.
struct ArrayBytes {
  std::unique_ptr<std::byte[]> bytes;
  std::size_t size = 0;

  void allocate(std::size_t byte_count) {
    bytes = std::make_unique_for_overwrite<std::byte[]>(byte_count);
    size = byte_count;
  }
  const std::byte* data() const { return bytes.get(); }
  std::byte* data() { return bytes.get(); }
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

// The same layout of encodings already made.
PaddedIds pad_encodings(const EncodedBatch& batch, const PaddingOptions& options);

}  // namespace wrenmark
