#include "bpe_tokenizer/io/duration_format.hpp"

namespace wrenmark {

namespace {

// `whole` units plus `fraction` of a unit expressed in `fraction_digits` decimal digits.
std::string with_fraction(std::uint64_t whole, std::uint64_t fraction, int fraction_digits, const char* unit) {
  std::string text = std::to_string(whole);
  if (fraction != 0) {
    std::string digits = std::to_string(fraction);
    digits.insert(0, static_cast<std::size_t>(fraction_digits) - digits.size(), '0');
    while (digits.back() == '0') digits.pop_back();
    text.push_back('.');
    text.append(digits);
  }
  text.append(unit);
  return text;
}

}  // namespace

std::string format_duration(std::uint64_t nanoseconds) {
  if (nanoseconds >= 1'000'000'000)
    return with_fraction(nanoseconds / 1'000'000'000, nanoseconds % 1'000'000'000, 9, "s");
  if (nanoseconds >= 1'000'000) return with_fraction(nanoseconds / 1'000'000, nanoseconds % 1'000'000, 6, "ms");
  if (nanoseconds >= 1'000) return with_fraction(nanoseconds / 1'000, nanoseconds % 1'000, 3, "\u00b5s");
  return std::to_string(nanoseconds) + "ns";
}

}  // namespace wrenmark
