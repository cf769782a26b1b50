#pragma once
// A scripted stand-in for the system's language model. Availability and each answer are
// scripted; every session, request and release is written to a log in order, together with
// whatever else the test logs there (the flow's notes), so tests can assert on interleaving.
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "LanguageModel.h"

namespace vkacta::prueba {

struct Peticion {
    int sesion = 0;
    std::string instrucciones;
    std::string prompt;
    std::string esquema;  // the schema's JSON text
    bool incluirEsquema = false;
    GenerationOptions opciones;
};

class ModeloDoble : public LanguageModel {
  public:
    Availability disponibilidad = Availability::available();
    // Consumed one per request, in order; a request with nothing left fails.
    std::deque<Result<GeneratedContent>> respuestas;
    // `cabe` answers whether the prompt has at most this many bytes; it is not logged.
    std::size_t promptQueCabe = SIZE_MAX;
    int consultasDeCabida = 0;

    std::vector<Peticion> peticiones;
    std::vector<std::string> bitacora;  // "sesion N", "pide N", "suelta N", and the test's own lines
    int consultasDeDisponibilidad = 0;

    Availability availability() override;
    std::unique_ptr<LanguageModelSession> makeSession(const std::string& instructions) override;

  private:
    int sesiones_ = 0;
};

}  // namespace vkacta::prueba
