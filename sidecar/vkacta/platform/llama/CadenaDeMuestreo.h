#pragma once
// How each answer token is chosen: llama.cpp's DRY sampler steers a model out of a loop, then
// greedy decoding (deterministic) or, when asked, sampling at a temperature; the schema's
// grammar, when there is one, has the last word.
//
// Contract: one request at a time; `empezar` before each, `elegir` then `aceptar` per token.
// DRY treats JSON's structural characters as sequence breakers, so the keys and punctuation
// every digest repeats are never punished: only a run of words said again is.
//
// Greedy choice is exact and cheap: it returns the token a whole-vocabulary pass (DRY over every
// token, the grammar masking every token, then the best, ties to the lower id) would, while
// looking at as few tokens as that answer allows. DRY and the grammar only ever lower a logit,
// so the best token after them among the best few by raw logit is the best of all as soon as it
// beats the raw logit of every token left out. A token whose first byte the grammar refuses on
// its own is refused whole, so those are left out before the grammar sees any.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "GeneratedContent.h"
#include "LanguageModel.h"

struct llama_sampler;
struct llama_vocab;
struct llama_token_data;

namespace vkacta {

// A token's text; `especiales`: control tokens by their text (as the grammar engine reads
// them), else as nothing.
std::string piezaDelToken(const llama_vocab* vocab, int32_t token, bool especiales);

// Counters since the chain was made, for benchmarks and tests.
struct CuentasDeMuestreo {
    int64_t rechazos = 0;           // best tokens the grammar rejected (or, greedy, DRY lowered)
    int64_t mascarasCompletas = 0;  // choices that had every token through the grammar
    int64_t tokensRevisados = 0;    // tokens put through DRY or the grammar past the first check
    int64_t cierres = 0;            // tokens chosen to close an answer at the end of its budget
};

class CadenaDeMuestreo {
  public:
    // `mascaraCompleta`: every token through DRY and the grammar at every step, the plain way;
    // the reference the fast choice is checked against, never faster.
    explicit CadenaDeMuestreo(const llama_vocab* vocab, bool mascaraCompleta = false);
    ~CadenaDeMuestreo();
    CadenaDeMuestreo(const CadenaDeMuestreo&) = delete;
    CadenaDeMuestreo& operator=(const CadenaDeMuestreo&) = delete;

    // A new answer: no history, these options, and the grammar (owned by the caller, already
    // reset) or none. `podaPorPrimerByte`: whether the grammar's verdict on a token's first
    // byte alone holds for the whole token (true of grammars of plain characters and positive
    // classes; see `admitePodaPorPrimerByte`).
    void empezar(const GenerationOptions& opciones, llama_sampler* gramatica, bool podaPorPrimerByte);
    // The next token from the model's logits, or an error when the grammar admits none.
    Result<int32_t> elegir(const float* logits);
    // The same, for an answer that must close now: of the tokens the grammar takes, the best one
    // that closes what is open (inside a string, one starting with the quote; outside, one
    // starting with ']' or '}'), else the usual choice (what the grammar forces: a key, a comma,
    // the rest of an escape or of a split character). `dentroDeTexto`: inside a string and not
    // right after a backslash.
    Result<int32_t> elegirParaCerrar(const float* logits, bool dentroDeTexto);
    void aceptar(int32_t token);
    // Whether the grammar lets the answer end now (always without one).
    bool puedeTerminar(int32_t fin) const;

    const CuentasDeMuestreo& cuentas() const { return cuentas_; }

  private:
    struct Borrador {
        void operator()(llama_sampler* s) const;
    };

    Result<int32_t> elegirVoraz(const float* logits);
    Result<int32_t> elegirAlAzar(const float* logits);
    // Fills the candidates with every token the first-byte check leaves (all without a grammar
    // or without the check); returns how many.
    size_t llenar(const float* logits, bool podar);
    int32_t mejor(size_t desde, size_t hasta) const;

    size_t nVocab_;
    bool mascaraCompleta_;
    std::unique_ptr<llama_sampler, Borrador> dry_;
    std::unique_ptr<llama_sampler, Borrador> azar_;  // temperature and draw, random mode only
    llama_sampler* gramatica_ = nullptr;
    bool podaPorPrimerByte_ = false;
    bool voraz_ = true;
    // The first byte of each token as the grammar reads it, or -1 for the tokens that are never
    // left out: ends of generation (the grammar judges them apart) and empty pieces.
    std::vector<int16_t> primerByte_;
    // The token whose whole piece is that one byte, when the vocabulary has one.
    std::vector<int32_t> tokenDelByte_;
    std::vector<llama_token_data> candidatos_;
    CuentasDeMuestreo cuentas_;
};

}  // namespace vkacta
