// The attributes of BpeTokenizer: one line each, made by the helper of the field's kind
// (setting_attributes.hpp).
#include <algorithm>
#include <string_view>

#include "python_wrapper/setting_attributes.hpp"

namespace wrenmark::python {

namespace {

bool refuse_both_fallbacks() {
  PyErr_SetString(PyExc_ValueError, "byte_fallback and unknown_token exclude each other");
  return false;
}

// Encoding looks the unknown token up among the special tokens, the only tokens that stand for
// no text of their own.
bool is_special_token(const TokenizerSettings& settings, PyObject* value, std::string_view token) {
  if (settings.byte_fallback) return refuse_both_fallbacks();
  if (std::ranges::find(settings.special_tokens, token) != settings.special_tokens.end()) return true;
  PyErr_Format(PyExc_ValueError, "the unknown token %R is not one of the special tokens", value);
  return false;
}

bool allows_byte_fallback(const TokenizerSettings& settings, bool byte_fallback) {
  return !byte_fallback || !settings.unknown_token || refuse_both_fallbacks();
}

}  // namespace

PyGetSetDef tokenizer_attributes[] = {
    optional_text_attribute<&TokenizerSettings::unknown_token, is_special_token>(
        "unknown_token",
        "The special token that stands for characters the vocabulary lacks, or None (such characters fail)."),
    flag_attribute<&TokenizerSettings::show_progress>("show_progress",
                                                      "Whether train() shows its progress on standard error."),
    flag_attribute<&TokenizerSettings::merge_all_occurrences>(
        "merge_all_occurrences",
        "Whether train() merges every occurrence of the selected pair, as classic BPE does (default False)."),
    checked_flag_attribute<&TokenizerSettings::byte_fallback, allows_byte_fallback>(
        "byte_fallback",
        "Whether the vocabulary holds the 256 byte tokens \"<0x00>\" ... \"<0xFF>\" (read by train()), and "
        "characters without a token encode as the byte tokens of their UTF-8 bytes (default False)."),
    probability_attribute<&TokenizerSettings::dropout>(
        "dropout", "The probability in [0, 1) with which encoding skips each merge that could apply (default 0)."),
    optional_count_attribute<&TokenizerSettings::dropout_seed, 0>(
        "dropout_seed", "The seed of dropout's draws, or None for fresh draws on every call (default None)."),
    count_attribute<&TokenizerSettings::min_frequency, 0>(
        "min_frequency", "Training stops merging once the best pair occurs fewer times than this (default 0)."),
    optional_count_attribute<&TokenizerSettings::max_token_length, 1>(
        "max_token_length",
        "Training merges no pair whose token would have more characters than this, \"</w>\" not counted, or "
        "None."),
    read_only_attribute<&TokenizerSettings::target_vocab_size>("target_vocab_size",
                                                               "The vocabulary size at which training stops merging."),
    read_only_attribute<&TokenizerSettings::pre_tokenization>(
        "pretokenization_type", "How text is split into words (a new object on every read)."),
    read_only_attribute<&TokenizerSettings::special_tokens>(
        "special_tokens", "The special tokens, in the order given (a new list on every read)."),
    read_only_attribute<&TokenizerSettings::special_token_removal_method>(
        "special_token_removal_method",
        "How training cuts the special tokens out of the corpus (a new object on every read)."),
    size_attribute<&BpeTokenizer::vocab_size>("vocab_size",
                                              "The number of tokens in the vocabulary (0 before training)."),
    size_attribute<&BpeTokenizer::merge_count>("merge_count", "The number of merge rules (0 before training)."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace wrenmark::python
