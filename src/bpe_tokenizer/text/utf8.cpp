#include "bpe_tokenizer/text/utf8.hpp"

#include "simdjson.h"

namespace wrenmark::utf8 {

bool is_valid(std::string_view text) { return simdjson::validate_utf8(text.data(), text.size()); }

}  // namespace wrenmark::utf8
