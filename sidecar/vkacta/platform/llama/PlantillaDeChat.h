#pragma once
// The model's own chat template, rendered by llama.cpp's template engine, cut around the two
// texts a request carries (the system instructions and the user prompt), so each piece can be
// tokenized on its own: the frame with control tokens recognised, the texts with control tokens
// treated as plain words.
#include <optional>
#include <string>

struct llama_model;

namespace vkacta {

struct MarcoDeChat {
    std::string antesDeInstrucciones;  // opens the conversation (and the system turn)
    std::string entreInstruccionesYPrompt;
    std::string despuesDelPrompt;  // closes the user turn and opens the assistant's
};

// The frame of `plantilla` (the model's template source) for `modelo` (its BOS and EOS texts),
// thinking off for models that think before they answer. Empty when the engine cannot parse or
// render it, or the rendering drops or repeats one of the two texts; `porque` then says why.
std::optional<MarcoDeChat> marcoDeChat(const llama_model* modelo, const std::string& plantilla,
                                       std::string& porque);

}  // namespace vkacta
