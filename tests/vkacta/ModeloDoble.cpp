#include "ModeloDoble.h"

namespace vkacta::prueba {

namespace {

class SesionDoble : public LanguageModelSession {
  public:
    SesionDoble(ModeloDoble& modelo, int numero, std::string instrucciones)
        : modelo_(modelo), numero_(numero), instrucciones_(std::move(instrucciones)) {
        modelo_.bitacora.push_back("sesion " + std::to_string(numero_));
    }
    ~SesionDoble() override { modelo_.bitacora.push_back("suelta " + std::to_string(numero_)); }

    Result<GeneratedContent> respond(const std::string& prompt, const GenerationSchema& schema,
                                     bool includeSchemaInPrompt, const GenerationOptions& options) override {
        modelo_.bitacora.push_back("pide " + std::to_string(numero_));
        modelo_.peticiones.push_back(
            {numero_, instrucciones_, prompt, schema.jsonSchema(), includeSchemaInPrompt, options});
        if (modelo_.respuestas.empty()) return GenerationError{"el doble no tiene más respuestas"};
        Result<GeneratedContent> r = std::move(modelo_.respuestas.front());
        modelo_.respuestas.pop_front();
        return r;
    }

    bool cabe(const std::string& prompt, const GenerationSchema& /*schema*/,
              bool /*includeSchemaInPrompt*/) override {
        ++modelo_.consultasDeCabida;
        return prompt.size() <= modelo_.promptQueCabe;
    }

  private:
    ModeloDoble& modelo_;
    int numero_;
    std::string instrucciones_;
};

}  // namespace

Availability ModeloDoble::availability() {
    ++consultasDeDisponibilidad;
    bitacora.emplace_back("disponibilidad");
    return disponibilidad;
}

std::unique_ptr<LanguageModelSession> ModeloDoble::makeSession(const std::string& instructions) {
    return std::make_unique<SesionDoble>(*this, ++sesiones_, instructions);
}

}  // namespace vkacta::prueba
