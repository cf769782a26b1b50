#pragma once
// A tiny GGUF model built at test time around a real vocabulary. Every token has the same
// embedding and every layer adds nothing, so the last hidden state is a constant and the
// output weights alone rank the tokens: greedy decoding is fully predictable.
#include <cstdint>
#include <filesystem>
#include <string>

namespace vkacta::prueba {

enum class Orden {
    // The quote ranks first: every string closes at once. An empty array token ranks right
    // after it, so arrays close at once too: the answer is a digest with nothing in it.
    cierra,
    // Every token without a quote ranks above every token with one: a string, once open,
    // never closes and the answer budget runs out.
    nuncaCierra,
    // Seeded random weights everywhere: the answer depends on every earlier token, which is
    // what a check of reused KV state needs. Its answers follow no schema.
    azar,
};

// Writes the model to `destino`. Returns an empty text on success, else what went wrong.
// Without `conPlantilla` the chat template is left out (a base model, which the tool refuses);
// `contexto` is the trained context length the model declares.
std::string escribirModeloDePrueba(const std::filesystem::path& vocabulario,
                                   const std::filesystem::path& destino, Orden orden,
                                   bool conPlantilla = true, uint32_t contexto = 8192);

// The qwen2 vocabulary of the llama.cpp build the project links (it has chat control tokens).
std::filesystem::path vocabularioQwen2();

}  // namespace vkacta::prueba
