#include "python_wrapper/training_settings.hpp"

#include "python_wrapper/conversions.hpp"
#include "python_wrapper/py_ref.hpp"
#include "python_wrapper/tokenizer_object.hpp"

namespace wrenmark::python {
namespace {

PyObject* optional_text(const std::optional<std::string>& text) {
  if (!text) return Py_NewRef(Py_None);
  return to_python_text(*text);
}

}  // namespace

PyObject* training_settings(PyObject*, PyObject* tokenizer) {
  return with_shared_tokenizer(tokenizer, [](const BpeTokenizer& native) -> PyObject* {
    const TokenizerSettings& settings = native.settings;
    // "N" takes over the new references, also when building the dict fails.
    return Py_BuildValue("{s:N,s:K,s:i,s:N,s:i,s:O,s:N,s:O}", "input_path", to_python_text(settings.input_path),
                         "target_vocab_size", static_cast<unsigned long long>(settings.target_vocab_size),
                         "pretokenization_type", static_cast<int>(settings.pre_tokenization), "special_tokens",
                         to_python_text_list(settings.special_tokens), "special_token_removal_method",
                         static_cast<int>(settings.special_token_removal_method), "save_model",
                         settings.save_model ? Py_True : Py_False, "output_dir", optional_text(settings.output_dir),
                         "is_trained", native.trained() ? Py_True : Py_False);
  });
}

PyMethodDef training_settings_functions[] = {
    {"_training_settings", training_settings, METH_O,
     "_training_settings(tokenizer)\n--\n\nThe constructor's settings and whether a model is present."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace wrenmark::python
