#include "LlamaLanguageModel.h"

#include <utility>

namespace vkacta {
namespace {

class LlamaSession final : public LanguageModelSession {
  public:
    LlamaSession(std::shared_ptr<MotorLlama> motor, std::string instrucciones)
        : motor_(std::move(motor)), instrucciones_(std::move(instrucciones)) {}

    Result<GeneratedContent> respond(const std::string& prompt, const GenerationSchema& schema,
                                     bool includeSchemaInPrompt, const GenerationOptions& options) override {
        if (!motor_) return GenerationError{"el modelo no está cargado"};
        return motor_->responder(instrucciones_, prompt, schema, includeSchemaInPrompt, options);
    }

    bool cabe(const std::string& prompt, const GenerationSchema& schema,
              bool includeSchemaInPrompt) override {
        return motor_ && motor_->cabe(instrucciones_, prompt, schema, includeSchemaInPrompt);
    }

  private:
    std::shared_ptr<MotorLlama> motor_;
    std::string instrucciones_;
};

}  // namespace

std::filesystem::path rutaDelModelo(const std::filesystem::path& ejecutable) {
    return (ejecutable.parent_path() / ".." / "share" / "vkacta" / "modelo.gguf").lexically_normal();
}

LlamaLanguageModel::LlamaLanguageModel(std::filesystem::path modelo, AjustesDelMotor ajustes)
    : ruta_(std::move(modelo)), ajustes_(ajustes) {}

Availability LlamaLanguageModel::availability() {
    if (!intentado_) {
        intentado_ = true;
        motor_ = MotorLlama::cargar(ruta_, ajustes_, motivo_);
    }
    return motor_ ? Availability::available() : Availability::unavailable(motivo_);
}

std::unique_ptr<LanguageModelSession> LlamaLanguageModel::makeSession(const std::string& instructions) {
    return std::make_unique<LlamaSession>(motor_, instructions);
}

std::unique_ptr<LanguageModel> modeloDelSistema(const std::filesystem::path& ejecutable) {
    return std::make_unique<LlamaLanguageModel>(rutaDelModelo(ejecutable));
}

}  // namespace vkacta
