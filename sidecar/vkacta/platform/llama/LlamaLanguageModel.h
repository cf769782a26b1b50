#pragma once
// The language-model seam over llama.cpp: the system's model is a GGUF file at a fixed place
// beside the executable, loaded in-process on the first availability check.
#include <filesystem>
#include <memory>
#include <string>

#include "LanguageModel.h"
#include "MotorLlama.h"

namespace vkacta {

// Where the model file sits for an executable at `ejecutable`: <dir>/../share/vkacta/modelo.gguf.
std::filesystem::path rutaDelModelo(const std::filesystem::path& ejecutable);

class LlamaLanguageModel final : public LanguageModel {
  public:
    explicit LlamaLanguageModel(std::filesystem::path modelo, AjustesDelMotor ajustes = {});

    // Loads the model the first time; later calls give the same answer.
    Availability availability() override;
    // Sessions share the loaded model and may outlive this object.
    std::unique_ptr<LanguageModelSession> makeSession(const std::string& instructions) override;

    // The loaded engine, or null before a successful availability check (tests, benchmarks).
    MotorLlama* motor() { return motor_.get(); }

  private:
    std::filesystem::path ruta_;
    AjustesDelMotor ajustes_;
    bool intentado_ = false;
    std::string motivo_;
    std::shared_ptr<MotorLlama> motor_;
};

}  // namespace vkacta
