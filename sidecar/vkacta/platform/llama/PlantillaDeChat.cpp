#include "PlantillaDeChat.h"

#include <llama.h>

#include <vector>

namespace vkacta {
namespace {

// Markers no template adds or alters (no white space at their ends, which some templates trim).
constexpr std::string_view kMarcaInstrucciones = "\x02vkacta-instrucciones\x03";
constexpr std::string_view kMarcaPrompt = "\x02vkacta-prompt\x03";

}  // namespace

std::optional<MarcoDeChat> marcoDeChat(const std::string& plantilla) {
    const std::string instrucciones(kMarcaInstrucciones);
    const std::string prompt(kMarcaPrompt);
    const llama_chat_message mensajes[] = {{"system", instrucciones.c_str()}, {"user", prompt.c_str()}};
    std::vector<char> buf(1024);
    int32_t n = llama_chat_apply_template(plantilla.c_str(), mensajes, 2, true, buf.data(),
                                          static_cast<int32_t>(buf.size()));
    if (n < 0) return std::nullopt;
    if (static_cast<size_t>(n) > buf.size()) {
        buf.resize(static_cast<size_t>(n));
        n = llama_chat_apply_template(plantilla.c_str(), mensajes, 2, true, buf.data(),
                                      static_cast<int32_t>(buf.size()));
        if (n < 0) return std::nullopt;
    }
    const std::string texto(buf.data(), static_cast<size_t>(n));
    const size_t i = texto.find(kMarcaInstrucciones);
    const size_t p = texto.find(kMarcaPrompt);
    if (i == std::string::npos || p == std::string::npos || p < i + kMarcaInstrucciones.size())
        return std::nullopt;
    if (texto.find(kMarcaInstrucciones, i + 1) != std::string::npos) return std::nullopt;
    if (texto.find(kMarcaPrompt, p + 1) != std::string::npos) return std::nullopt;
    MarcoDeChat m;
    m.antesDeInstrucciones = texto.substr(0, i);
    m.entreInstruccionesYPrompt =
        texto.substr(i + kMarcaInstrucciones.size(), p - i - kMarcaInstrucciones.size());
    m.despuesDelPrompt = texto.substr(p + kMarcaPrompt.size());
    return m;
}

}  // namespace vkacta
