#pragma once
// The model's own chat template cut around the two texts a request carries (the system
// instructions and the user prompt), so each piece can be tokenized on its own: the frame
// with control tokens recognised, the texts with control tokens treated as plain words.
#include <optional>
#include <string>

namespace vkacta {

struct MarcoDeChat {
    std::string antesDeInstrucciones;  // opens the conversation (and the system turn)
    std::string entreInstruccionesYPrompt;
    std::string despuesDelPrompt;  // closes the user turn and opens the assistant's
};

// Empty when llama.cpp does not know the template or it drops one of the two texts.
std::optional<MarcoDeChat> marcoDeChat(const std::string& plantilla);

}  // namespace vkacta
