#pragma once
// The model loaded in-process with llama.cpp, and one request at a time against it: the
// context, the reuse of the shared prefix, the decoding loop. The chat frame comes from
// PlantillaDeChat, the choice of each token from CadenaDeMuestreo.
//
// Contract: one thread calls everything, one call at a time; calls block while the model
// evaluates. Every request starts from the same KV state of its prefix (the chat frame, the
// instructions and the schema, identical across the requests of a run), computed once; what
// follows the prefix is dropped before the next request, so no request sees another.
//
// The answer budget follows the request: room for an answer as long as the prompt and half
// again (a digest of a part, or a fuse of everything the partial digests hold, in JSON), never
// less than kPresupuestoMinimo, within the model's trained context. The context is sized to the
// prompt plus that budget.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "CadenaDeMuestreo.h"
#include "GeneratedContent.h"
#include "GenerationSchema.h"
#include "LanguageModel.h"
#include "PlantillaDeChat.h"

struct llama_model;
struct llama_context;
struct llama_sampler;
struct llama_vocab;

namespace vkacta {

struct AjustesDelMotor {
    bool reusarPrefijo = true;
    int hilos = 0;  // 0: one per core the process may run on, or one for a tiny model
    // Every answer token chosen from the whole vocabulary through DRY and the grammar, the plain
    // slow way: the reference the fast choice must equal (tests, benchmarks).
    bool mascaraCompleta = false;
};

inline constexpr int kPresupuestoMinimo = 1024;

// Counters since the model was loaded, for benchmarks and tests.
struct CuentasDelMotor {
    int64_t pedidos = 0;
    int64_t tokensEvaluados = 0;  // prompt tokens run through the model (prefix included when computed)
    int64_t tokensGenerados = 0;
    int64_t prefijosCalculados = 0;
    int64_t prefijosReusados = 0;
    int64_t rechazos = 0;           // sampled tokens the grammar rejected
    int64_t mascarasCompletas = 0;  // choices that had the whole vocabulary through the grammar
    int64_t tokensRevisados = 0;    // tokens put through DRY or the grammar past the first check
    int64_t cierres = 0;            // tokens chosen to close an answer at the end of its budget
    double segundosGenerando = 0;   // token-by-token decoding only, choices included
    double segundosEligiendo = 0;   // of those, choosing tokens (DRY, the grammar, the draw)
    double segundosEvaluando = 0;   // prompt evaluation only
};

class MotorLlama {
  public:
    // Loads the model file; on failure `error` says which file and why.
    static std::unique_ptr<MotorLlama> cargar(const std::filesystem::path& modelo, AjustesDelMotor ajustes,
                                              std::string& error);
    ~MotorLlama();
    MotorLlama(const MotorLlama&) = delete;
    MotorLlama& operator=(const MotorLlama&) = delete;

    // One request: the instructions (plus the schema when asked) as the system turn, the
    // prompt as the user turn, the answer constrained to the schema's JSON and parsed.
    Result<GeneratedContent> responder(const std::string& instrucciones, const std::string& prompt,
                                       const GenerationSchema& esquema, bool esquemaEnPrompt,
                                       const GenerationOptions& opciones);

    // Whether a request with this prompt fits the trained context with its whole answer budget.
    // No evaluation: the texts are only tokenized.
    bool cabe(const std::string& instrucciones, const std::string& prompt, const GenerationSchema& esquema,
              bool esquemaEnPrompt) const;

    // The answer budget of a prompt of this many tokens, before the trained context cuts it.
    static int presupuestoPara(size_t tokensDelPrompt);

    // The threads the backend uses for a model of this many weights when none are set.
    static int hilosPara(uint64_t pesos);

    // The same request, the raw answer text: free, or held to the schema's grammar (with the
    // schema in the prompt) when one is given, then even when the budget cut it short
    // (benchmarks, tests).
    Result<std::string> responderLibre(const std::string& instrucciones, const std::string& prompt,
                                       const GenerationOptions& opciones,
                                       const GenerationSchema* esquema = nullptr);

    // The tokens of a request: the prefix shared by every request with the same system text,
    // and the rest (the prompt, then the frame that hands the turn to the model).
    struct TokensDelPedido {
        std::vector<int32_t> prefijo;
        std::vector<int32_t> resto;
    };
    TokensDelPedido tokenizarPedido(const std::string& sistema, const std::string& prompt) const;

    // The system turn's text: the instructions, and the schema when it goes in the prompt.
    static std::string textoDeSistema(const std::string& instrucciones, const GenerationSchema& esquema,
                                      bool esquemaEnPrompt);

    // Text to tokens as a transcript is tokenized (`especiales` false: control strings are
    // plain text) or as the chat frame is (`especiales` true).
    std::vector<int32_t> tokenizar(const std::string& texto, bool especiales) const;
    std::string pieza(int32_t token) const;
    bool esControl(int32_t token) const;

    // The chat frame the model's template gave, cut around the two texts.
    const MarcoDeChat& marco() const { return marco_; }
    const CuentasDelMotor& cuentas() const { return cuentas_; }
    AjustesDelMotor& ajustes() { return ajustes_; }

  private:
    MotorLlama() = default;

    std::vector<int32_t> tokenizarCon(const std::string& texto, bool especiales, bool inicio) const;

    struct Respuesta {
        std::string texto;
        bool cortada = false;  // the budget ran out before the grammar let it end
        int limite = 0;
    };
    // `reserva`: the last tokens of the budget, in which a constrained answer is steered to close.
    Result<Respuesta> generar(const std::string& sistema, const std::string& prompt,
                              const std::string* gramatica, int reserva, const GenerationOptions& opciones);
    Result<int> prepararContexto(const std::vector<int32_t>& prefijo, const std::vector<int32_t>& resto,
                                 int presupuesto);
    Result<bool> evaluar(const int32_t* tokens, size_t n);
    int presupuesto(const TokensDelPedido& t, const GenerationOptions& opciones) const;
    Result<llama_sampler*> gramaticaPara(const std::string& gbnf);

    struct Borrador {
        void operator()(llama_model* m) const;
        void operator()(llama_context* c) const;
        void operator()(llama_sampler* s) const;
    };

    std::filesystem::path ruta_;
    AjustesDelMotor ajustes_;
    CuentasDelMotor cuentas_;
    std::unique_ptr<llama_model, Borrador> modelo_;
    const llama_vocab* vocab_ = nullptr;
    MarcoDeChat marco_;
    int contextoEntrenado_ = 0;
    std::unique_ptr<CadenaDeMuestreo> cadena_;

    std::unique_ptr<llama_context, Borrador> contexto_;
    uint32_t tamContexto_ = 0;
    // The prefix of the last request, its tokens and its KV state (to seed a new context).
    std::string textoPrefijo_;
    std::vector<int32_t> tokensPrefijo_;
    std::vector<uint8_t> estadoPrefijo_;
    bool prefijoEnContexto_ = false;

    std::string textoGramatica_;
    bool gramaticaPodable_ = false;
    std::unique_ptr<llama_sampler, Borrador> gramatica_;
};

}  // namespace vkacta
