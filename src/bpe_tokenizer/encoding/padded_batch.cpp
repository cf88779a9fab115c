#include "bpe_tokenizer/encoding/padded_batch.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "bpe_tokenizer/system/worker_pool.hpp"

namespace wrenmark {

namespace {

// Rows per piece of the filling: copying is cheap, so pieces are large.
constexpr std::size_t kRowsPerPiece = 256;

// Where a row's part of the text's ids starts and how many it keeps.
struct RowSlice {
  std::size_t first;
  std::size_t count;
};

RowSlice slice_of(std::size_t id_count, const PaddingOptions& options) {
  if (!options.max_length) return {0, id_count};
  const std::size_t room = *options.max_length - options.prefix.size() - options.suffix.size();
  if (id_count <= room) return {0, id_count};
  return {options.truncate_left ? id_count - room : 0, room};
}

std::size_t row_width(const std::vector<RowSlice>& slices, const PaddingOptions& options) {
  std::size_t width = 0;
  if (options.pad_to_max_length) {
    width = *options.max_length;
  } else {
    for (const RowSlice& slice : slices) width = std::max(width, slice.count);
    if (!slices.empty()) width += options.prefix.size() + options.suffix.size();
  }
  return (width + options.multiple - 1) / options.multiple * options.multiple;
}

template <typename Element>
Element* fill_ids(Element* row, std::span<const TokenId> ids) {
  for (const TokenId id : ids) *row++ = static_cast<Element>(id);
  return row;
}

template <typename Element>
void fill(PaddedIds& padded, const BatchIds& batch, const std::vector<RowSlice>& slices,
          const PaddingOptions& options) {
  auto* ids = reinterpret_cast<Element*>(padded.ids.data());
  auto* mask = reinterpret_cast<Element*>(padded.attention_mask.data());
  auto* lengths = reinterpret_cast<Element*>(padded.lengths.data());
  const Element pad = static_cast<Element>(options.pad_id.value_or(0));
  const std::size_t width = padded.width;
  parallel_ranges(padded.rows, kRowsPerPiece, [&](std::size_t first_row, std::size_t end_row) {
    for (std::size_t row = first_row; row < end_row; ++row) {
      const RowSlice slice = slices[row];
      const std::size_t length = options.prefix.size() + slice.count + options.suffix.size();
      const std::size_t padding = width - length;
      Element* row_ids = ids + row * width;
      Element* row_mask = mask + row * width;
      // Every element is written once: the padding before or after, then the row's ids.
      const std::size_t start = options.pad_left ? padding : 0;
      const std::size_t pad_start = options.pad_left ? 0 : length;
      std::fill(row_ids + pad_start, row_ids + pad_start + padding, pad);
      std::fill(row_mask + pad_start, row_mask + pad_start + padding, Element{0});
      std::fill(row_mask + start, row_mask + start + length, Element{1});
      Element* position = fill_ids(row_ids + start, std::span<const TokenId>(options.prefix));
      position = fill_ids(position, batch[row].subspan(slice.first, slice.count));
      fill_ids(position, std::span<const TokenId>(options.suffix));
      lengths[row] = static_cast<Element>(length);
    }
  });
}

}  // namespace

std::size_t element_size(PaddedElement element) {
  switch (element) {
    case PaddedElement::Int64: return sizeof(std::int64_t);
    case PaddedElement::Int32: return sizeof(std::int32_t);
    case PaddedElement::UInt32: return sizeof(std::uint32_t);
  }
  return sizeof(std::int64_t);
}

PaddedIds pad_encodings(const BatchIds& batch, const PaddingOptions& options) {
  PaddedIds padded;
  padded.rows = batch.size();
  padded.element = options.element;
  std::vector<RowSlice> slices(batch.size());
  bool some_row_short = false;
  for (std::size_t row = 0; row < batch.size(); ++row) {
    slices[row] = slice_of(batch[row].size(), options);
  }
  padded.width = row_width(slices, options);
  for (const RowSlice& slice : slices) {
    some_row_short |= options.prefix.size() + slice.count + options.suffix.size() < padded.width;
  }
  if (some_row_short && !options.pad_id) {
    padded.needs_pad_id = true;
    return padded;
  }
  const std::size_t size = element_size(options.element);
  std::size_t matrix_bytes = 0;
  if (__builtin_mul_overflow(padded.rows, padded.width, &matrix_bytes) ||
      __builtin_mul_overflow(matrix_bytes, size, &matrix_bytes)) {
    throw std::length_error("padded batch larger than memory");
  }
  padded.ids.allocate(matrix_bytes);
  padded.attention_mask.allocate(matrix_bytes);
  padded.lengths.allocate(padded.rows * size);
  switch (options.element) {
    case PaddedElement::Int64: fill<std::int64_t>(padded, batch, slices, options); break;
    case PaddedElement::Int32: fill<std::int32_t>(padded, batch, slices, options); break;
    case PaddedElement::UInt32: fill<std::uint32_t>(padded, batch, slices, options); break;
  }
  return padded;
}

Result<PaddedIds> encode_batch_padded(const BpeTokenizer& tokenizer, EncodingCache& cache,
                                      std::span<const std::string_view> texts, const PaddingOptions& options,
                                      Cancellation& cancellation) {
  Result<BatchIds> batch = encode_batch_ids(tokenizer, cache, texts, cancellation);
  if (!batch) return batch.error();
  return pad_encodings(batch.value(), options);
}

}  // namespace wrenmark
