#include "MotorLlama.h"

#include <llama.h>

#include <sched.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "Gramatica.h"

namespace vkacta {
namespace {

// llama.cpp and ggml log to standard error by default; the tool's stderr is for its own notes.
void sinRegistro(ggml_log_level /*nivel*/, const char* /*texto*/, void* /*datos*/) {}

void iniciarLlama() {
    static const bool hecho = [] {
        llama_log_set(sinRegistro, nullptr);
        ggml_log_set(sinRegistro, nullptr);
        llama_backend_init();
        return true;
    }();
    (void)hecho;
}

std::string textoDeError(int e) {
    char buf[256] = {};
    // GNU strerror_r may return a static text instead of filling the buffer.
    const char* t = strerror_r(e, buf, sizeof buf);
    return t != nullptr ? t : "error desconocido";
}

// Why the file cannot even be handed to llama.cpp, or empty.
std::string revisarFichero(const std::filesystem::path& ruta) {
    std::error_code ec;
    const auto estado = std::filesystem::status(ruta, ec);
    if (!std::filesystem::exists(estado)) return "no está el fichero del modelo " + ruta.string();
    if (!std::filesystem::is_regular_file(estado)) return ruta.string() + " no es un fichero";
    const std::unique_ptr<std::FILE, decltype(&std::fclose)> f(std::fopen(ruta.c_str(), "rb"), &std::fclose);
    if (!f) return "no se puede leer " + ruta.string() + ": " + textoDeError(errno);
    char magia[4] = {};
    const size_t leidos = std::fread(magia, 1, sizeof magia, f.get());
    if (leidos != sizeof magia || std::memcmp(magia, "GGUF", 4) != 0) {
        return "el fichero del modelo " + ruta.string() + " no es un modelo GGUF";
    }
    return {};
}

// The cores this process may run on, which a container or `taskset` may keep below the machine's.
int nucleosPermitidos() {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    if (sched_getaffinity(0, sizeof cpus, &cpus) != 0) return 1;
    return std::max(1, CPU_COUNT(&cpus));
}

// The tokens an answer to the schema may still need to close from any point (a token is at
// least a character), and the end of generation.
int reservaDeCierre(const GenerationSchema& esquema) {
    return caracteresParaCerrar(esquema) + 1;
}

// Where a compact JSON answer stands, byte by byte: inside a string or not, right after a
// backslash or not. The grammar keeps the answer valid JSON, so this is all it takes.
struct EstadoJson {
    bool texto = false;
    bool escape = false;
    void leer(const std::string& pieza) {
        for (const char c : pieza) {
            if (escape) {
                escape = false;
            } else if (texto && c == '\\') {
                escape = true;
            } else if (c == '"') {
                texto = !texto;
            }
        }
    }
};

constexpr const char* kAntesDelEsquema =
    "\n\nResponde solo con un objeto JSON que cumpla este esquema JSON:\n";

}  // namespace

void MotorLlama::Borrador::operator()(llama_model* m) const {
    llama_model_free(m);
}
void MotorLlama::Borrador::operator()(llama_context* c) const {
    llama_free(c);
}
void MotorLlama::Borrador::operator()(llama_sampler* s) const {
    llama_sampler_free(s);
}

MotorLlama::~MotorLlama() = default;

std::unique_ptr<MotorLlama> MotorLlama::cargar(const std::filesystem::path& modelo, AjustesDelMotor ajustes,
                                               std::string& error) {
    error = revisarFichero(modelo);
    if (!error.empty()) return nullptr;
    iniciarLlama();
    std::unique_ptr<MotorLlama> m(new MotorLlama());
    m->ruta_ = modelo;
    m->ajustes_ = ajustes;
    llama_model_params p = llama_model_default_params();
    p.n_gpu_layers = 0;
    m->modelo_.reset(llama_model_load_from_file(modelo.c_str(), p));
    if (!m->modelo_) {
        error = "el fichero del modelo " + modelo.string() +
                " no se pudo cargar (dañado o de una arquitectura no admitida)";
        return nullptr;
    }
    m->vocab_ = llama_model_get_vocab(m->modelo_.get());
    const char* plantilla = llama_model_chat_template(m->modelo_.get(), nullptr);
    if (plantilla == nullptr) {
        error = "el modelo " + modelo.string() + " no trae plantilla de chat (hace falta un modelo instruct)";
        return nullptr;
    }
    std::string porque;
    auto marco = marcoDeChat(m->modelo_.get(), plantilla, porque);
    if (!marco) {
        error = "la plantilla de chat del modelo " + modelo.string() + " no se puede aplicar: " + porque;
        return nullptr;
    }
    m->marco_ = std::move(*marco);
    m->contextoEntrenado_ = llama_model_n_ctx_train(m->modelo_.get());
    if (m->contextoEntrenado_ <= 0) {
        error = "el modelo " + modelo.string() + " no declara su contexto de entrenamiento";
        return nullptr;
    }
    m->cadena_ = std::make_unique<CadenaDeMuestreo>(m->vocab_, ajustes.mascaraCompleta);
    return m;
}

int MotorLlama::presupuestoPara(size_t tokensDelPrompt) {
    const size_t regla = tokensDelPrompt + tokensDelPrompt / 2;
    return static_cast<int>(std::clamp<size_t>(regla, kPresupuestoMinimo, std::numeric_limits<int>::max()));
}

int MotorLlama::hilosPara(uint64_t pesos) {
    // A tiny model evaluates a token faster than sleeping threads wake up (and on a busy
    // machine their spinning costs far more): one thread below ~100 M weights.
    return pesos < 100'000'000U ? 1 : nucleosPermitidos();
}

int MotorLlama::presupuesto(const TokensDelPedido& t, const GenerationOptions& opciones) const {
    if (opciones.maximumResponseTokens && *opciones.maximumResponseTokens > 0)
        return *opciones.maximumResponseTokens;
    return presupuestoPara(t.resto.size());
}

bool MotorLlama::cabe(const std::string& instrucciones, const std::string& prompt,
                      const GenerationSchema& esquema, bool esquemaEnPrompt) const {
    const auto t = tokenizarPedido(textoDeSistema(instrucciones, esquema, esquemaEnPrompt), prompt);
    const auto total = static_cast<int64_t>(t.prefijo.size() + t.resto.size()) + presupuesto(t, {});
    return total <= contextoEntrenado_;
}

std::vector<int32_t> MotorLlama::tokenizar(const std::string& texto, bool especiales) const {
    return tokenizarCon(texto, especiales, false);
}

std::vector<int32_t> MotorLlama::tokenizarCon(const std::string& texto, bool especiales, bool inicio) const {
    // Most tokens cover several bytes; a short guess is corrected by the second call.
    std::vector<int32_t> t(texto.size() / 2 + 16);
    const auto largo = static_cast<int32_t>(texto.size());
    int32_t n = llama_tokenize(vocab_, texto.data(), largo, t.data(), static_cast<int32_t>(t.size()), inicio,
                               especiales);
    if (n < 0 && n != std::numeric_limits<int32_t>::min()) {
        t.resize(static_cast<size_t>(-n));
        n = llama_tokenize(vocab_, texto.data(), largo, t.data(), static_cast<int32_t>(t.size()), inicio,
                           especiales);
    }
    t.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return t;
}

std::string MotorLlama::pieza(int32_t token) const {
    return piezaDelToken(vocab_, token, false);
}

bool MotorLlama::esControl(int32_t token) const {
    return llama_vocab_is_control(vocab_, token);
}

MotorLlama::TokensDelPedido MotorLlama::tokenizarPedido(const std::string& sistema,
                                                        const std::string& prompt) const {
    // The frame's control tokens are recognised; the instructions and the prompt (which
    // carries the transcript) are plain text whatever they contain.
    TokensDelPedido t;
    t.prefijo = tokenizarCon(marco_.antesDeInstrucciones, true, true);
    for (const auto& [texto, especiales] :
         {std::pair<const std::string&, bool>{sistema, false}, {marco_.entreInstruccionesYPrompt, true}}) {
        const auto piezas = tokenizar(texto, especiales);
        t.prefijo.insert(t.prefijo.end(), piezas.begin(), piezas.end());
    }
    // A template that writes the BOS text itself would otherwise get two.
    const llama_token bos = llama_vocab_bos(vocab_);
    if (t.prefijo.size() >= 2 && t.prefijo[0] == bos && t.prefijo[1] == bos)
        t.prefijo.erase(t.prefijo.begin());
    t.resto = tokenizar(prompt, false);
    const auto cierre = tokenizar(marco_.despuesDelPrompt, true);
    t.resto.insert(t.resto.end(), cierre.begin(), cierre.end());
    return t;
}

std::string MotorLlama::textoDeSistema(const std::string& instrucciones, const GenerationSchema& esquema,
                                       bool esquemaEnPrompt) {
    if (!esquemaEnPrompt) return instrucciones;
    return instrucciones + kAntesDelEsquema + esquema.jsonSchema();
}

Result<GeneratedContent> MotorLlama::responder(const std::string& instrucciones, const std::string& prompt,
                                               const GenerationSchema& esquema, bool esquemaEnPrompt,
                                               const GenerationOptions& opciones) {
    const std::string sistema = textoDeSistema(instrucciones, esquema, esquemaEnPrompt);
    const std::string gbnf = gramaticaGbnf(esquema);
    auto r = generar(sistema, prompt, &gbnf, reservaDeCierre(esquema), opciones);
    if (!r) return r.error();
    if (r.value().cortada) {
        return GenerationError{"la respuesta llegó al límite de " + std::to_string(r.value().limite) +
                               " tokens sin terminar"};
    }
    auto contenido = GeneratedContent::parse(r.value().texto);
    if (!contenido)
        return GenerationError{"la respuesta del modelo no se pudo leer: " + contenido.error().texto};
    return contenido;
}

Result<std::string> MotorLlama::responderLibre(const std::string& instrucciones, const std::string& prompt,
                                               const GenerationOptions& opciones,
                                               const GenerationSchema* esquema) {
    auto r = esquema == nullptr ? generar(instrucciones, prompt, nullptr, 0, opciones) : [&] {
        const std::string gbnf = gramaticaGbnf(*esquema);
        return generar(textoDeSistema(instrucciones, *esquema, true), prompt, &gbnf,
                       reservaDeCierre(*esquema), opciones);
    }();
    if (!r) return r.error();
    return std::move(r.value().texto);
}

Result<llama_sampler*> MotorLlama::gramaticaPara(const std::string& gbnf) {
    if (!gramatica_ || textoGramatica_ != gbnf) {
        gramatica_.reset(llama_sampler_init_grammar(vocab_, gbnf.c_str(), "root"));
        textoGramatica_ = gbnf;
        gramaticaPodable_ = admitePodaPorPrimerByte(gbnf);
        if (!gramatica_) {
            textoGramatica_.clear();
            return GenerationError{"no se pudo preparar la gramática del esquema"};
        }
    } else {
        llama_sampler_reset(gramatica_.get());
    }
    return gramatica_.get();
}

Result<bool> MotorLlama::evaluar(const int32_t* tokens, size_t n) {
    const auto comienzo = std::chrono::steady_clock::now();
    struct Anotar {
        CuentasDelMotor& c;
        std::chrono::steady_clock::time_point t;
        ~Anotar() {
            c.segundosEvaluando +=
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
        }
    } anotar{cuentas_, comienzo};
    const size_t lote = llama_n_batch(contexto_.get());
    for (size_t i = 0; i < n; i += lote) {
        const auto k = static_cast<int32_t>(std::min(lote, n - i));
        // llama_batch_get_one takes a non-const pointer but does not write through it.
        const int32_t r = llama_decode(
            contexto_.get(), llama_batch_get_one(const_cast<llama_token*>(tokens + i), k));  // NOLINT
        if (r == 1) return GenerationError{"el contexto del modelo se llenó"};
        if (r != 0)
            return GenerationError{"falló la evaluación del modelo (código " + std::to_string(r) + ")"};
        cuentas_.tokensEvaluados += k;
    }
    return true;
}

Result<int> MotorLlama::prepararContexto(const std::vector<int32_t>& prefijo,
                                         const std::vector<int32_t>& resto, int presupuesto) {
    const auto total = static_cast<int64_t>(prefijo.size() + resto.size());
    if (total >= contextoEntrenado_) {
        return GenerationError{"el pedido ocupa " + std::to_string(total) +
                               " tokens y el contexto del modelo admite " +
                               std::to_string(contextoEntrenado_)};
    }
    const int64_t necesario = std::min<int64_t>(total + presupuesto, contextoEntrenado_);
    if (!contexto_ || tamContexto_ < necesario) {
        contexto_.reset();
        prefijoEnContexto_ = false;
        llama_context_params p = llama_context_default_params();
        p.n_ctx = static_cast<uint32_t>(necesario);
        p.n_batch = std::min<uint32_t>(p.n_ctx, 2048);
        p.n_ubatch = std::min<uint32_t>(p.n_batch, 512);
        p.n_seq_max = 1;
        p.no_perf = true;
        const int hilos =
            ajustes_.hilos > 0 ? ajustes_.hilos : hilosPara(llama_model_n_params(modelo_.get()));
        p.n_threads = hilos;
        p.n_threads_batch = hilos;
        contexto_.reset(llama_init_from_model(modelo_.get(), p));
        if (!contexto_) {
            tamContexto_ = 0;
            return GenerationError{"no se pudo crear un contexto de " + std::to_string(necesario) +
                                   " tokens"};
        }
        tamContexto_ = llama_n_ctx(contexto_.get());
    }
    llama_memory_t memoria = llama_get_memory(contexto_.get());
    const auto nPrefijo = static_cast<llama_pos>(prefijo.size());
    const bool mismo = ajustes_.reusarPrefijo && !estadoPrefijo_.empty() && tokensPrefijo_ == prefijo;
    bool listo = false;
    if (mismo && prefijoEnContexto_) {
        // Drop the previous answer and prompt, keep the prefix's cells.
        listo = llama_memory_seq_rm(memoria, 0, nPrefijo, -1);
    } else if (mismo) {
        llama_memory_clear(memoria, true);
        listo =
            llama_state_seq_set_data(contexto_.get(), estadoPrefijo_.data(), estadoPrefijo_.size(), 0) > 0;
    }
    if (listo) {
        ++cuentas_.prefijosReusados;
    } else {
        llama_memory_clear(memoria, true);
        prefijoEnContexto_ = false;
        auto r = evaluar(prefijo.data(), prefijo.size());
        if (!r) return r.error();
        ++cuentas_.prefijosCalculados;
        if (ajustes_.reusarPrefijo) {
            tokensPrefijo_ = prefijo;
            estadoPrefijo_.resize(llama_state_seq_get_size(contexto_.get(), 0));
            const size_t n =
                llama_state_seq_get_data(contexto_.get(), estadoPrefijo_.data(), estadoPrefijo_.size(), 0);
            estadoPrefijo_.resize(n);
        }
    }
    prefijoEnContexto_ = ajustes_.reusarPrefijo;
    auto r = evaluar(resto.data(), resto.size());
    if (!r) {
        prefijoEnContexto_ = false;
        return r.error();
    }
    // Never past the trained context, even when the context in use is larger.
    return static_cast<int>(necesario - total);
}

Result<MotorLlama::Respuesta> MotorLlama::generar(const std::string& sistema, const std::string& prompt,
                                                  const std::string* gramatica, int reserva,
                                                  const GenerationOptions& opciones) {
    ++cuentas_.pedidos;
    // llama.cpp counts text in 32-bit lengths; far below that no context could hold it anyway.
    constexpr size_t kMegas = 256;
    constexpr size_t kTextoMaximo = kMegas << 20U;
    if (sistema.size() + prompt.size() > kTextoMaximo) {
        return GenerationError{"el pedido ocupa más de " + std::to_string(kMegas) +
                               " MB de texto, más de lo que cabe en cualquier contexto del modelo"};
    }
    const TokensDelPedido pedido = tokenizarPedido(sistema, prompt);
    auto disponible = prepararContexto(pedido.prefijo, pedido.resto, presupuesto(pedido, opciones));
    if (!disponible) return disponible.error();
    const int limite = disponible.value();

    llama_sampler* g = nullptr;
    if (gramatica != nullptr) {
        auto r = gramaticaPara(*gramatica);
        if (!r) return r.error();
        g = r.value();
    }
    CadenaDeMuestreo& cadena = *cadena_;
    cadena.empezar(opciones, g, gramaticaPodable_);

    Respuesta respuesta;
    respuesta.limite = limite;
    const auto comienzo = std::chrono::steady_clock::now();
    double eligiendo = 0;
    auto terminar = [&] {
        cuentas_.segundosGenerando +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - comienzo).count();
        cuentas_.segundosEligiendo += eligiendo;
        cuentas_.rechazos = cadena.cuentas().rechazos;
        cuentas_.mascarasCompletas = cadena.cuentas().mascarasCompletas;
        cuentas_.tokensRevisados = cadena.cuentas().tokensRevisados;
        cuentas_.cierres = cadena.cuentas().cierres;
    };
    EstadoJson json;
    for (int i = 0; i < limite; ++i) {
        const auto antesDeElegir = std::chrono::steady_clock::now();
        const float* logits = llama_get_logits_ith(contexto_.get(), -1);
        // A model that loops where DRY cannot see it (the same list entry again and again) would
        // otherwise run out of budget and lose the whole answer: in the last tokens it is
        // steered to close, which the reserve always leaves room for.
        auto elegido = g != nullptr && limite - i <= reserva
                           ? cadena.elegirParaCerrar(logits, json.texto && !json.escape)
                           : cadena.elegir(logits);
        if (!elegido) {
            terminar();
            return elegido.error();
        }
        llama_token token = elegido.value();
        if (llama_vocab_is_eog(vocab_, token)) {
            terminar();
            return respuesta;
        }
        cadena.aceptar(token);
        eligiendo += std::chrono::duration<double>(std::chrono::steady_clock::now() - antesDeElegir).count();
        const std::string p = pieza(token);
        json.leer(p);
        respuesta.texto += p;
        ++cuentas_.tokensGenerados;
        if (i + 1 == limite) break;  // no room to evaluate it, and no use
        const int32_t r = llama_decode(contexto_.get(), llama_batch_get_one(&token, 1));
        if (r != 0) {
            terminar();
            prefijoEnContexto_ = false;
            return GenerationError{"falló la evaluación del modelo (código " + std::to_string(r) + ")"};
        }
    }
    terminar();
    if (g == nullptr) return respuesta;
    // The last token of the budget may be the one that closed the answer: only the end of
    // generation was missing, and the grammar tells whether it would be taken now.
    llama_token fin = llama_vocab_eos(vocab_);
    if (fin == LLAMA_TOKEN_NULL) fin = llama_vocab_eot(vocab_);
    respuesta.cortada = fin == LLAMA_TOKEN_NULL || !cadena.puedeTerminar(fin);
    return respuesta;
}

}  // namespace vkacta
