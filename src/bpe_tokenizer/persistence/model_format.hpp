#pragma once

#include <array>
#include <string>
#include <string_view>

#include "bpe_tokenizer/core/model.hpp"
#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/settings.hpp"

namespace wrenmark {

class JsonFileReader;

// What a model directory holds: the settings the model keeps and the model.
struct SavedModel {
  Config config;
  Model model;
};

// One file of a model directory, with both directions of its format.
struct ModelFile {
  std::string_view name;
  // The exact bytes of the file. The members of token_to_id come in id order and those of the
  // two pair maps in merge_rules order (each pair once), so equal models give identical files.
  std::string (*write)(const Config& config, const Model& model);
  // Reads the file's top-level value into its part of `saved`; false once a fault is met, which
  // `reader` keeps. Any JSON layout with the same shapes is read, not only the written one.
  bool (*read)(JsonFileReader& reader, SavedModel& saved);
};

// The five files in the order they are written and read.
extern const std::array<ModelFile, 5> kModelFiles;

// Reads the text of one file, wherever it came from, into its part of `saved`; the first fault
// is a JsonError naming the file, with line and column.
Status read_model_text(const ModelFile& file, std::string text, SavedModel& saved);

}  // namespace wrenmark
