#include "PlantillaDeChat.h"

#include <chat.h>
#include <log.h>

#include <exception>
#include <string_view>

namespace vkacta {
namespace {

// Markers no template adds or alters (no white space at their ends, which some templates trim).
constexpr std::string_view kMarcaInstrucciones = "\x02vkacta-instrucciones\x03";
constexpr std::string_view kMarcaPrompt = "\x02vkacta-prompt\x03";

// The common library logs through its own worker to standard error, which is for the tool's
// notes; a paused log drops what it is given.
void sinRegistroDeCommon() {
    static const bool hecho = [] {
        common_log_pause(common_log_main());
        return true;
    }();
    (void)hecho;
}

std::optional<MarcoDeChat> cortar(const std::string& texto, std::string& porque) {
    const size_t i = texto.find(kMarcaInstrucciones);
    const size_t p = texto.find(kMarcaPrompt);
    const bool unaVezCadaUno = i != std::string::npos && p != std::string::npos &&
                               texto.find(kMarcaInstrucciones, i + 1) == std::string::npos &&
                               texto.find(kMarcaPrompt, p + 1) == std::string::npos;
    if (!unaVezCadaUno || p < i + kMarcaInstrucciones.size()) {
        porque = "no deja las instrucciones y el pedido, una vez cada uno y en orden";
        return std::nullopt;
    }
    MarcoDeChat m;
    m.antesDeInstrucciones = texto.substr(0, i);
    m.entreInstruccionesYPrompt =
        texto.substr(i + kMarcaInstrucciones.size(), p - i - kMarcaInstrucciones.size());
    m.despuesDelPrompt = texto.substr(p + kMarcaPrompt.size());
    return m;
}

}  // namespace

std::optional<MarcoDeChat> marcoDeChat(const llama_model* modelo, const std::string& plantilla,
                                       std::string& porque) {
    sinRegistroDeCommon();
    try {
        // Parsed here first: the engine would fall back to a stock template when it cannot
        // parse the model's, framing the chat in a format the model was never trained on.
        try {
            const common_chat_template prueba(plantilla, "", "");
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception& e) {
            porque = std::string("el motor de plantillas no la entiende: ") + e.what();
            return std::nullopt;
        }
        const common_chat_templates_ptr plantillas = common_chat_templates_init(modelo, plantilla);
        if (!plantillas) {
            porque = "el motor de plantillas no la entiende";
            return std::nullopt;
        }
        common_chat_templates_inputs entrada;
        common_chat_msg sistema;
        sistema.role = "system";
        sistema.content = std::string(kMarcaInstrucciones);
        common_chat_msg usuario;
        usuario.role = "user";
        usuario.content = std::string(kMarcaPrompt);
        entrada.messages = {sistema, usuario};
        entrada.add_generation_prompt = true;
        entrada.use_jinja = true;
        // The answer is the constrained digest itself, with no reasoning before it.
        entrada.enable_thinking = false;
        entrada.chat_template_kwargs["enable_thinking"] = "false";
        const common_chat_params salida = common_chat_templates_apply(plantillas.get(), entrada);
        return cortar(salida.prompt, porque);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        porque = std::string("el motor de plantillas no la puede aplicar: ") + e.what();
        return std::nullopt;
    }
}

}  // namespace vkacta
