#pragma once
// A tiny GGUF model built at test time around a real vocabulary. Every token has the same
// embedding and every layer adds nothing, so the last hidden state is a constant and the
// output weights alone rank the tokens: greedy decoding is fully predictable.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct gguf_context;

namespace vkacta::prueba {

enum class Orden {
    // The quote ranks first: every string closes at once. An empty array token ranks right
    // after it, so arrays close at once too: the answer is a digest with nothing in it.
    cierra,
    // Every token without a quote ranks above every token with one: a string, once open,
    // never closes and the answer budget runs out.
    nuncaCierra,
    // As `cierra`, but one word ranks above the quote: under plain greedy decoding the first
    // string repeats that word for ever, and only a sampler that punishes the loop closes it.
    bucle,
    // Seeded random weights everywhere: the answer depends on every earlier token, which is
    // what a check of reused KV state needs. Its answers follow no schema.
    azar,
    // As `cierra`, but ',' and '{' rank above ']': every list fills with the same empty entry
    // again and again (DRY cannot see it: punctuation breaks its runs), up to the list's bound.
    entradas,
};

// Writes the model to `destino`. Returns an empty text on success, else what went wrong.
// Without `conPlantilla` the chat template is left out (a base model, which the tool refuses);
// `contexto` is the trained context length the model declares; a non-empty `plantilla` replaces
// the vocabulary's chat template (or gives one to a vocabulary without).
std::string escribirModeloDePrueba(const std::filesystem::path& vocabulario,
                                   const std::filesystem::path& destino, Orden orden,
                                   bool conPlantilla = true, uint32_t contexto = 8192,
                                   const std::string& plantilla = {});

// Copies the tokenizer (and, with `conPlantilla`, its chat template) of a vocabulary file into a
// model being written; returns the vocabulary's size, or 0 when it cannot be read.
size_t copiarVocabulario(const std::filesystem::path& vocabulario, gguf_context* destino, bool conPlantilla,
                         std::vector<std::string>* piezas = nullptr);

// A vocabulary of the llama.cpp build the project links, by name ("qwen2", "gemma-4"...).
std::filesystem::path vocabulario(const std::string& nombre);
// The qwen2 one (it has chat control tokens).
std::filesystem::path vocabularioQwen2();
// A real chat template of that llama.cpp source, by file name without ".jinja".
std::string plantillaReal(const std::string& nombre);

}  // namespace vkacta::prueba
