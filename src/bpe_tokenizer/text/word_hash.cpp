#include "bpe_tokenizer/text/word_hash.hpp"

#include <random>

namespace wrenmark {

namespace {
std::uint64_t process_seed() {
  static const std::uint64_t seed = [] {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
  }();
  return seed;
}
}  // namespace

WordHasher::WordHasher() : seed_(process_seed()) {}

}  // namespace wrenmark
