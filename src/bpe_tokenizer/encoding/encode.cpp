#include "bpe_tokenizer/encoding/encode.hpp"

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "bpe_tokenizer/core/byte_tokens.hpp"
#include "bpe_tokenizer/encoding/encoding_cache.hpp"
#include "bpe_tokenizer/encoding/word_ending_tokens.hpp"
#include "bpe_tokenizer/encoding/word_merger.hpp"
#include "bpe_tokenizer/encoding/word_tokens.hpp"
#include "bpe_tokenizer/text/utf8.hpp"
#include "bpe_tokenizer/text/word_scan.hpp"

namespace wrenmark {

namespace {

// The buffers of one thread's encodings, kept from text to text so that a call allocates
// nothing once they have grown. They are dropped before the next call after a text of more than
// kKeepAfterBytes, so that one huge text does not hold its memory for the life of the thread.
struct EncodeBuffers {
  static constexpr std::size_t kKeepAfterBytes = std::size_t{1} << 20;

  EncodingBuilder encoding;
  std::size_t text_size = 0;
  std::vector<TokenId> symbols;
  WordMerger merger;
  DropoutMerger dropout_merger;
  WordTokensBuilder word_tokens;
  WordEndingTokens word_endings;
};

class TextEncoder {
 public:
  TextEncoder(const EncodingTables& tables, WordCache& word_cache, TokenId end_of_word_id, std::string_view text,
              const EncodeOptions& options, EncodeBuffers& buffers)
      : tables_(tables),
        word_cache_(word_cache),
        end_of_word_id_(end_of_word_id),
        text_(text),
        unknown_id_(options.unknown_id),
        byte_fallback_(options.byte_fallback),
        dropout_(options.dropout),
        encoding_(buffers.encoding),
        symbols_(buffers.symbols),
        merger_(buffers.merger),
        dropout_merger_(buffers.dropout_merger),
        word_tokens_(buffers.word_tokens),
        word_endings_(buffers.word_endings) {
    word_endings_.start(tables.stem_count(), text.size());
  }

  Status encode_segment(std::string_view segment) {
    std::optional<TokenizerError> failure;
    if (dropout_.probability > 0) {
      scan_words(segment, tables_.pre_tokenization(), [&](std::string_view word) {
        if (failure) return;
        Status status = encode_word_in_runs(word);
        if (!status) failure = status.error();
      });
    } else {
      scan_words(segment, tables_.pre_tokenization(), [&](std::string_view word) {
        if (failure) return;
        const std::uint64_t hash = word_cache_.hash(word);
        word_cache_.prefetch_slots(hash);
        pending_[pending_count_++] = PendingWord{word.data(), word.size(), hash};
        // The previous word's slots had the time of this word's scan to arrive.
        if (pending_count_ >= 2) word_cache_.prefetch_record(pending_[pending_count_ - 2].hash);
        if (pending_count_ == kLookahead) {
          Status status = encode_pending_words();
          if (!status) failure = status.error();
        }
      });
      if (!failure) {
        Status status = encode_pending_words();
        if (!status) failure = status.error();
      }
    }
    if (failure) return *failure;
    return {};
  }

  // A special token without an id is dropped together with its text.
  void encode_special_token(std::string_view token) {
    if (auto id = tables_.id_of_token(token)) append_token(*id, kNoStem);
  }

  void finish() { word_endings_.resolve(encoding_); }

 private:
  // Words are looked up a few at a time: while the text is scanned, the table slots of each word
  // are fetched, and the record that the previous word's slots point at; only then is each word
  // looked up and appended, so that the cache misses of neighbouring words overlap instead of following
  // one another. The prefetches are hints; every lookup is made in full, in text order, after
  // the words before it were inserted.
  static constexpr std::size_t kLookahead = 16;
  // Trivial, so that the array costs nothing to set up per call.
  struct PendingWord {
    const char* data;
    std::size_t size;
    std::uint64_t hash;
    std::string_view word() const { return {data, size}; }
  };

  Status encode_pending_words() {
    const std::size_t count = std::exchange(pending_count_, 0);
    if (count > 1) word_cache_.prefetch_record(pending_[count - 1].hash);
    for (std::size_t index = 0; index < count; ++index) {
      Status status = encode_word(pending_[index].word(), pending_[index].hash);
      if (!status) return status;
    }
    return {};
  }

  Status encode_word(std::string_view word, std::uint64_t hash) {
    if (auto cached = word_cache_.find(word, hash)) {
      append_word(*cached);
      return {};
    }
    symbols_.clear();
    std::size_t position = 0;
    while (position < word.size()) {
      const std::size_t length = utf8::sequence_length(static_cast<unsigned char>(word[position]));
      const std::string_view character = word.substr(position, length);
      const TokenId id = tables_.character_id(character);
      if (id == CharacterIds::kMissing) {
        if (!unknown_id_ && !byte_fallback_) return TokenizerError::no_id_for_token(character);
        return encode_word_in_runs(word);
      }
      symbols_.push_back(id);
      position += length;
    }
    symbols_.push_back(end_of_word_id_);
    // What settling reads of a word seen for the first time arrives during its merging.
    tables_.prefetch_stem_of_word(word);
    merger_.apply(symbols_, tables_.merge_index());
    for (const TokenId id : symbols_) tables_.prefetch_token_info(id);
    const WordTokens tokens = word_tokens_.settle(tables_, symbols_, tables_.stem_of_word(word));
    word_cache_.insert(word, hash, tokens);
    append_word(tokens);
    return {};
  }

  void append_word(const WordTokens& tokens) {
    word_endings_.note_word(tokens.stem);
    const std::size_t first_token = encoding_.token_count();
    for (const UndecidedToken& token : tokens.undecided) {
      word_endings_.add_undecided(first_token + token.token, token.stem);
    }
    encoding_.append_tokens(tokens.ids, tokens.text, tokens.token_sizes, tokens.token_types);
  }

  // Every unknown character becomes the unknown token or the byte tokens of its UTF-8 bytes,
  // symbols of their own: the known runs between them are merged apart, so no merge reaches
  // across them. With dropout every word comes here. Such words are not cached, since the
  // settings that decide them may change between calls.
  Status encode_word_in_runs(std::string_view word) {
    const StemIndex stem = tables_.stem_of_word(word);
    word_endings_.note_word(stem);
    symbols_.clear();
    const auto word_offset = static_cast<std::uint64_t>(word.data() - text_.data());
    std::size_t run_start = 0;
    const auto flush_run = [&] {
      merge_run(word_offset + run_start);
      for (const TokenId id : symbols_) append_token(id, stem);
      symbols_.clear();
    };
    std::size_t position = 0;
    while (position < word.size()) {
      const std::size_t length = utf8::sequence_length(static_cast<unsigned char>(word[position]));
      const std::string_view character = word.substr(position, length);
      const TokenId id = tables_.character_id(character);
      position += length;
      if (id != CharacterIds::kMissing) {
        symbols_.push_back(id);
        continue;
      }
      if (!unknown_id_ && !byte_fallback_) return TokenizerError::no_id_for_token(character);
      flush_run();
      run_start = position;
      if (unknown_id_) {
        append_token(*unknown_id_, kNoStem);
      } else if (Status spelled = append_byte_tokens(character); !spelled) {
        return spelled;
      }
    }
    symbols_.push_back(end_of_word_id_);
    flush_run();
    return {};
  }

  // `offset`: where the run's text starts in the text, which keys its dropout draws.
  void merge_run(std::uint64_t offset) {
    if (dropout_.probability > 0) {
      dropout_merger_.apply(symbols_, tables_.merges(), dropout_, offset);
    } else {
      merger_.apply(symbols_, tables_.merge_index());
    }
  }

  // Byte fallback's spelling of a character without a token: one byte token per UTF-8 byte, in
  // order. They are subwords, like any token that does not end with "</w>".
  Status append_byte_tokens(std::string_view character) {
    for (const char byte : character) {
      const auto value = static_cast<std::uint8_t>(byte);
      const TokenId id = tables_.byte_token_id(value);
      if (id == CharacterIds::kMissing) return TokenizerError::no_id_for_token(byte_token_text(value));
      append_token(id, kNoStem);
    }
    return {};
  }

  // Appends `id` and, when the vocabulary has it, its text and kind. `word_stem` is the stem
  // that the word the id came from equals: kNoStem for none, and for a special token.
  void append_token(TokenId id, StemIndex word_stem) {
    encoding_.append_id(id);
    const EncodingTables::TokenInfo* token = tables_.token_info(id);
    if (token == nullptr) return;
    switch (token->token_class) {
      case TokenClass::Plain: encoding_.append_token(token->text, TokenType::Subword); return;
      case TokenClass::Special: encoding_.append_token(token->text, TokenType::SpecialToken); return;
      case TokenClass::EndsWithMarker: {
        if (token->stem == word_stem) {
          encoding_.append_token(token->text, TokenType::Word);
        } else {
          word_endings_.add_undecided(encoding_.token_count(), token->stem);
          encoding_.append_token(token->text, TokenType::Subword);
        }
        return;
      }
    }
  }

  const EncodingTables& tables_;
  WordCache& word_cache_;
  const TokenId end_of_word_id_;
  const std::string_view text_;
  const std::optional<TokenId> unknown_id_;
  const bool byte_fallback_;
  const DropoutDraws dropout_;
  EncodingBuilder& encoding_;
  std::vector<TokenId>& symbols_;
  WordMerger& merger_;
  DropoutMerger& dropout_merger_;
  WordTokensBuilder& word_tokens_;
  WordEndingTokens& word_endings_;
  PendingWord pending_[kLookahead];
  std::size_t pending_count_ = 0;
};

Status encode_with(EncodeBuffers& buffers, const EncodingTables& tables, WordCache& word_cache, std::string_view text,
                   TokenId end_of_word_id, const EncodeOptions& options) {
  buffers.encoding.start(text);
  TextEncoder encoder(tables, word_cache, end_of_word_id, text, options, buffers);
  const SpecialTokenSplitter& splitter = tables.splitter();
  if (splitter.empty()) {
    Status status = encoder.encode_segment(text);
    if (!status) return status.error();
  } else {
    std::optional<TokenizerError> failure;
    splitter.split(
        text,
        [&](std::string_view segment) {
          if (failure) return;
          Status status = encoder.encode_segment(segment);
          if (!status) failure = status.error();
        },
        [&](std::string_view token) {
          if (!failure) encoder.encode_special_token(token);
        });
    if (failure) return *failure;
  }
  encoder.finish();
  return {};
}

// The calling thread's buffers, ready for a text of `text_size` bytes. Fetched once per call:
// every access to a thread_local of a shared library costs a call, and one with a destructor
// three (its guard and the registration of the destructor). So a call reads only a plain
// pointer; the owner, which frees the buffers when the thread ends, is touched to make them.
[[gnu::noinline]] EncodeBuffers& thread_buffers(std::size_t text_size) {
  thread_local EncodeBuffers* kept = nullptr;
  EncodeBuffers* buffers = kept;
  if (buffers == nullptr || buffers->text_size > EncodeBuffers::kKeepAfterBytes) [[unlikely]] {
    thread_local std::unique_ptr<EncodeBuffers> owner;
    // Dropped before the new ones are made, so that the two never take memory at once.
    kept = nullptr;
    owner.reset();
    owner = std::make_unique<EncodeBuffers>();
    buffers = owner.get();
    kept = buffers;
  }
  buffers->text_size = text_size;
  return *buffers;
}

}  // namespace

std::optional<TokenId> unknown_token_id(const BpeTokenizer& tokenizer, const EncodingTables& tables) {
  if (!tokenizer.settings.unknown_token) return std::nullopt;
  return tables.id_of_token(*tokenizer.settings.unknown_token);
}

EncodeOptions encode_options(const BpeTokenizer& tokenizer, const EncodingTables& tables) {
  EncodeOptions options;
  options.unknown_id = unknown_token_id(tokenizer, tables);
  options.byte_fallback = tokenizer.settings.byte_fallback;
  options.dropout.probability = tokenizer.settings.dropout;
  if (options.dropout.probability > 0) {
    options.dropout.seed = tokenizer.settings.dropout_seed ? *tokenizer.settings.dropout_seed : fresh_dropout_seed();
  }
  return options;
}

Result<const EncodingBuilder*> encode(const EncodingTables& tables, WordCache& word_cache, std::string_view text,
                                      const EncodeOptions& options) {
  auto end_of_word_id = tables.end_of_word_id();
  if (!end_of_word_id) return TokenizerError::no_id_for_token(kEndOfWord);

  EncodeBuffers& buffers = thread_buffers(text.size());
  word_cache.reserve_for_text(text.size());
  Status status = encode_with(buffers, tables, word_cache, text, *end_of_word_id, options);
  if (!status) return status.error();
  return &buffers.encoding;
}

Result<const EncodingBuilder*> encode(const BpeTokenizer& tokenizer, EncodingCache& cache, std::string_view text,
                                      WordCacheUse word_cache) {
  if (!tokenizer.trained()) {
    return TokenizerError::invalid_state("Cannot encode text without training the tokenizer");
  }
  PreparedEncoding& prepared = cache.prepare(tokenizer);
  const EncodeOptions options = encode_options(tokenizer, prepared.tables());
  if (word_cache == WordCacheUse::LockHolders) {
    return encode(prepared.tables(), prepared.lock_holders_cache(), text, options);
  }
  const WordCacheLease lease = prepared.lease_word_cache();
  return encode(prepared.tables(), *lease, text, options);
}

}  // namespace wrenmark
