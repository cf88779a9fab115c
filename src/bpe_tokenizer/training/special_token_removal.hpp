#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/settings.hpp"

namespace wrenmark {

// Deletes every occurrence of the special tokens from `text`, by `method`:
// Simple runs one left-to-right, non-overlapping find-and-delete pass per token, each over the
// previous pass's output; AhoCorasick takes all tokens in one pass over the original text, taking
// at each point the occurrence that ends first (the longest of those ending together).
// Fails only when the multi-pattern matcher cannot be built.
Result<std::string> remove_special_tokens(std::string text, const std::vector<std::string>& special_tokens,
                                          SpecialTokenRemovalMethod method);

// The Simple method's pass for one token (simple_removal.cpp).
std::string remove_one_token_everywhere(std::string_view text, std::string_view token);
// The AhoCorasick method (aho_corasick_removal.cpp).
Result<std::string> remove_tokens_aho_corasick(std::string_view text, const std::vector<std::string>& tokens);

}  // namespace wrenmark
