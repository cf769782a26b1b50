#pragma once
// How each answer token is chosen: llama.cpp's DRY sampler steers a model out of a loop, then
// greedy decoding (deterministic) or, when asked, sampling at a temperature; the schema's
// grammar, when there is one, has the last word.
//
// Contract: one request at a time; `empezar` before each, `elegir` then `aceptar` per token.
// DRY treats JSON's structural characters as sequence breakers, so the keys and punctuation
// every digest repeats are never punished: only a run of words said again is.
#include <cstdint>
#include <memory>
#include <vector>

#include "GeneratedContent.h"
#include "LanguageModel.h"

struct llama_sampler;
struct llama_vocab;
struct llama_token_data;

namespace vkacta {

// Counters since the chain was made, for benchmarks and tests.
struct CuentasDeMuestreo {
    int64_t rechazos = 0;           // chosen tokens the grammar rejected
    int64_t mascarasCompletas = 0;  // of those, the ones that needed the whole vocabulary masked
};

class CadenaDeMuestreo {
  public:
    explicit CadenaDeMuestreo(const llama_vocab* vocab);
    ~CadenaDeMuestreo();
    CadenaDeMuestreo(const CadenaDeMuestreo&) = delete;
    CadenaDeMuestreo& operator=(const CadenaDeMuestreo&) = delete;

    // A new answer: no history, these options, and the grammar (owned by the caller, already
    // reset) or none.
    void empezar(const GenerationOptions& opciones, llama_sampler* gramatica);
    // The next token from the model's logits, or an error when the grammar admits none.
    Result<int32_t> elegir(const float* logits);
    void aceptar(int32_t token);
    // Whether the grammar lets the answer end now (always without one).
    bool puedeTerminar(int32_t fin) const;

    const CuentasDeMuestreo& cuentas() const { return cuentas_; }

  private:
    struct Borrador {
        void operator()(llama_sampler* s) const;
    };

    void llenar(const float* logits);
    int32_t mejor(size_t n) const;

    size_t nVocab_;
    std::unique_ptr<llama_sampler, Borrador> dry_;
    std::unique_ptr<llama_sampler, Borrador> azar_;  // temperature and draw, random mode only
    llama_sampler* gramatica_ = nullptr;
    bool voraz_ = true;
    std::vector<llama_token_data> candidatos_;
    CuentasDeMuestreo cuentas_;
};

}  // namespace vkacta
