#include <algorithm>
#include <tuple>
#include <vector>

#include "python_wrapper/conversions.hpp"
#include "python_wrapper/py_ref.hpp"
#include "python_wrapper/tokenizer_object.hpp"

namespace wrenmark::python {

namespace {

PyObject* vocabulary_list(const TokenTable& table) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(table.size())));
  if (!list) return nullptr;
  for (std::size_t id = 0; id < table.size(); ++id) {
    PyObject* text = to_python_text(*table.token_by_id(id));
    if (text == nullptr) return nullptr;
    set_new_list_item(list.get(), static_cast<Py_ssize_t>(id), text);
  }
  return list.release();
}

// The merges as encoding applies them: every ranked pair that has a merged token, by rank. A
// pair learnt twice thus appears once, at its last place in merge_rules.
PyObject* ranked_merges(const Model& model) {
  std::vector<std::tuple<std::uint64_t, PairKey, TokenId>> merges;
  merges.reserve(model.ranks.size());
  for (const auto& [key, rank] : model.ranks) {
    const auto merged = model.pairs_to_merge.find(key);
    if (merged != model.pairs_to_merge.end()) merges.emplace_back(rank, key, merged->second);
  }
  std::sort(merges.begin(), merges.end());
  PyRef list(PyList_New(static_cast<Py_ssize_t>(merges.size())));
  if (!list) return nullptr;
  for (std::size_t index = 0; index < merges.size(); ++index) {
    const auto& [rank, key, merged] = merges[index];
    const Pair pair = pair_from_key(key);
    PyObject* entry = Py_BuildValue("(III)", pair.first, pair.second, merged);
    if (entry == nullptr) return nullptr;
    set_new_list_item(list.get(), static_cast<Py_ssize_t>(index), entry);
  }
  return list.release();
}

}  // namespace

PyObject* tokenizer_export_model(PyObject* self, PyObject*) {
  return with_shared_tokenizer(self, [](const BpeTokenizer& tokenizer) -> PyObject* {
    if (!tokenizer.trained()) Py_RETURN_NONE;
    PyRef vocabulary(vocabulary_list(tokenizer.model->token_table));
    if (!vocabulary) return nullptr;
    PyRef merges(ranked_merges(*tokenizer.model));
    if (!merges) return nullptr;
    PyRef special_tokens(to_python_text_list(tokenizer.settings.special_tokens));
    if (!special_tokens) return nullptr;
    PyRef pre_tokenization(to_python_text(variant_name(tokenizer.settings.pre_tokenization)));
    if (!pre_tokenization) return nullptr;
    return PyTuple_Pack(4, vocabulary.get(), merges.get(), special_tokens.get(), pre_tokenization.get());
  });
}

}  // namespace wrenmark::python
