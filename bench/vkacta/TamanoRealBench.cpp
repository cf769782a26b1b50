// Figures at a real model's cost: a model of the shape of a 1.5 B-parameter instruct model (the
// qwen2 architecture and vocabulary, 28 layers, width 1536) with random weights, quantized to
// Q4_K_M with llama.cpp's own quantizer, digesting a 60-minute Spanish meeting. Everything is
// generated under a temporary directory at run time and removed at the end. One run, figures
// only; it takes minutes.
//
//   vkacta_bench_real [--solo-velocidad] [modelo.gguf]
//
// With a file name, the model is kept there (and used again when it is already there); with
// --solo-velocidad only the answer speeds are measured, not the meeting.
//
// Random weights answer unlike a real model: strings that never close, lists that fill to their
// bound. So the weights are shaped, at no change in the work per token: every layer still runs
// in full, but its two output projections are zero, so the residual stream carries the current
// token's embedding to the output unchanged (a table of which token follows which, at the full
// stack's cost); the output matrix has its own rows (the quantized file grows by one matrix,
// the matrix products per token stay the same). Two groups of dimensions carry biases: one,
// the same in every embedding, favours closing a string a little and opening a list entry not
// at all; the other, only in tokens that end in '[', favours the ']' that closes the list. The
// answers come out about as short as a real model's digest of a part (the summary a few dozen
// tokens, empty lists), and every one is read from 151,643 random logits under the grammar.

#include <ggml.h>
#include <gguf.h>
#include <llama.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LlamaLanguageModel.h"
#include "MeetingDigest.h"
#include "ModeloDePrueba.h"
#include "Summary.h"
#include "Transcript.h"

namespace {

namespace fs = std::filesystem;
using namespace vkacta;

constexpr int64_t kAncho = 1536;
constexpr int64_t kCapas = 28;
constexpr int64_t kCabezas = 12;
constexpr int64_t kCabezasKv = 2;
constexpr int64_t kIntermedio = 8960;
constexpr int64_t kDimCabeza = kAncho / kCabezas;

double ahora() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Small and fast: the weights only need to be different from each other.
struct Azar {
    uint64_t s = 0x9E3779B97F4A7C15ULL;
    float siguiente() {  // uniform in [-1, 1)
        s ^= s << 13U;
        s ^= s >> 7U;
        s ^= s << 17U;
        return static_cast<float>(s >> 40U) / static_cast<float>(1U << 23U) - 1.0F;
    }
};

// Embedding and output dimensions that carry the biases (one quantization block each), and
// the biases in logits. The random rest of an output row gives a token's logit a spread of
// about 1.1; the best of 151,643 such logits stands near 4.9.
constexpr int64_t kCanal = 32;
constexpr float kCierraTexto = 1.9F;    // '"' alone or before ',', ']' or '}': closes a string
constexpr float kAbreEntrada = -12.0F;  // '["', '[{' in a token: would open a list entry
constexpr float kCierraLista = 8.0F;    // a token starting with ']' right after one ending in '['
constexpr float kEmbedding = 0.05F;     // random parts, uniform in [-k, k)
constexpr float kSalida = 0.05F;

enum class Forma { aleatoria, unos, ceros, embedding, salida };

struct Tensor {
    std::string nombre;
    int64_t ne0, ne1;  // ne1 0: a vector
    Forma forma;
    float escala = 0;  // for random rows
};

// Writes the F16 model streaming, tensor by tensor, so memory stays small.
bool escribirModelo(const fs::path& destino) {
    std::unique_ptr<gguf_context, decltype(&gguf_free)> g(gguf_init_empty(), &gguf_free);
    std::vector<std::string> piezas;
    const size_t nVocab = prueba::copiarVocabulario(prueba::vocabularioQwen2(), g.get(), true, &piezas);
    if (nVocab == 0) return false;
    gguf_context* c = g.get();
    gguf_set_val_str(c, "general.architecture", "qwen2");
    gguf_set_val_str(c, "general.name", "azar-1.5b");
    gguf_set_val_u32(c, "qwen2.block_count", kCapas);
    gguf_set_val_u32(c, "qwen2.context_length", 32768);
    gguf_set_val_u32(c, "qwen2.embedding_length", kAncho);
    gguf_set_val_u32(c, "qwen2.feed_forward_length", kIntermedio);
    gguf_set_val_u32(c, "qwen2.attention.head_count", kCabezas);
    gguf_set_val_u32(c, "qwen2.attention.head_count_kv", kCabezasKv);
    gguf_set_val_f32(c, "qwen2.rope.freq_base", 1000000.0F);
    gguf_set_val_f32(c, "qwen2.attention.layer_norm_rms_epsilon", 1e-6F);
    gguf_set_val_u32(c, "general.file_type", 1);  // F16

    const auto n = static_cast<int64_t>(nVocab);
    const int64_t kv = kCabezasKv * kDimCabeza;
    std::vector<Tensor> tensores = {{"token_embd.weight", kAncho, n, Forma::embedding},
                                    {"output_norm.weight", kAncho, 0, Forma::unos},
                                    {"output.weight", kAncho, n, Forma::salida}};
    for (int64_t b = 0; b < kCapas; ++b) {
        const std::string p = "blk." + std::to_string(b) + ".";
        for (const Tensor& t :
             std::vector<Tensor>{{p + "attn_norm.weight", kAncho, 0, Forma::unos},
                                 {p + "attn_q.weight", kAncho, kAncho, Forma::aleatoria, 0.03F},
                                 {p + "attn_q.bias", kAncho, 0, Forma::aleatoria, 0.01F},
                                 {p + "attn_k.weight", kAncho, kv, Forma::aleatoria, 0.03F},
                                 {p + "attn_k.bias", kv, 0, Forma::aleatoria, 0.01F},
                                 {p + "attn_v.weight", kAncho, kv, Forma::aleatoria, 0.03F},
                                 {p + "attn_v.bias", kv, 0, Forma::aleatoria, 0.01F},
                                 {p + "attn_output.weight", kAncho, kAncho, Forma::ceros},
                                 {p + "ffn_norm.weight", kAncho, 0, Forma::unos},
                                 {p + "ffn_gate.weight", kAncho, kIntermedio, Forma::aleatoria, 0.03F},
                                 {p + "ffn_up.weight", kAncho, kIntermedio, Forma::aleatoria, 0.03F},
                                 {p + "ffn_down.weight", kIntermedio, kAncho, Forma::ceros}})
            tensores.push_back(t);
    }
    std::unique_ptr<ggml_context, decltype(&ggml_free)> meta(
        ggml_init({ggml_tensor_overhead() * (tensores.size() + 8), nullptr, true}), &ggml_free);
    for (const Tensor& t : tensores) {
        // Vectors stay F32, as converters write them.
        ggml_tensor* x = t.ne1 == 0 ? ggml_new_tensor_1d(meta.get(), GGML_TYPE_F32, t.ne0)
                                    : ggml_new_tensor_2d(meta.get(), GGML_TYPE_F16, t.ne0, t.ne1);
        ggml_set_name(x, t.nombre.c_str());
        gguf_add_tensor(c, x);
    }
    if (!gguf_write_to_file(c, destino.c_str(), true)) return false;

    // The biases, by token. A bias channel's value in the embedding matches the random part's
    // root mean square, so after the norm it reads about 1 in each of its dimensions.
    const float canal = kEmbedding / std::sqrt(3.0F);
    std::vector<float> sesgo(nVocab, 0.0F), sesgoTrasCorchete(nVocab, 0.0F);
    std::vector<bool> acabaEnCorchete(nVocab, false);
    for (size_t i = 0; i < nVocab; ++i) {
        const std::string& p = piezas[i];
        if (p.empty()) continue;
        if (p[0] == '"' && (p.size() == 1 || p[1] == ',' || p[1] == ']' || p[1] == '}'))
            sesgo[i] = kCierraTexto;
        if (p.find("[\"") != std::string::npos || p.find("[{") != std::string::npos) sesgo[i] = kAbreEntrada;
        if (p[0] == ']') sesgoTrasCorchete[i] = kCierraLista;
        acabaEnCorchete[i] = p.back() == '[';
    }

    std::ofstream f(destino, std::ios::binary | std::ios::app);
    const size_t alineacion = gguf_get_alignment(c);
    Azar azar;
    std::vector<ggml_fp16_t> fila16;
    std::vector<float> fila;
    for (const Tensor& t : tensores) {
        const int64_t filas = t.ne1 == 0 ? 1 : t.ne1;
        fila.resize(static_cast<size_t>(t.ne0));
        fila16.resize(static_cast<size_t>(t.ne0));
        size_t bytes = 0;
        for (int64_t r = 0; r < filas; ++r) {
            const auto token = static_cast<size_t>(r);
            for (size_t k = 0; k < fila.size(); ++k) {
                const auto d = static_cast<int64_t>(k);
                switch (t.forma) {
                    case Forma::unos:
                        fila[k] = 1.0F;
                        break;
                    case Forma::ceros:
                        fila[k] = 0.0F;
                        break;
                    case Forma::aleatoria:
                        fila[k] = t.escala * azar.siguiente();
                        break;
                    case Forma::embedding:
                        fila[k] = d < kCanal       ? canal
                                  : d < 2 * kCanal ? (acabaEnCorchete[token] ? canal : 0.0F)
                                                   : kEmbedding * azar.siguiente();
                        break;
                    case Forma::salida:
                        fila[k] = d < kCanal       ? sesgo[token] / kCanal
                                  : d < 2 * kCanal ? sesgoTrasCorchete[token] / kCanal
                                                   : kSalida * azar.siguiente();
                        break;
                }
            }
            if (t.ne1 == 0) {
                f.write(reinterpret_cast<const char*>(fila.data()),  // NOLINT
                        static_cast<std::streamsize>(fila.size() * sizeof(float)));
                bytes += fila.size() * sizeof(float);
            } else {
                ggml_fp32_to_fp16_row(fila.data(), fila16.data(), t.ne0);
                f.write(reinterpret_cast<const char*>(fila16.data()),  // NOLINT
                        static_cast<std::streamsize>(fila16.size() * sizeof(ggml_fp16_t)));
                bytes += fila16.size() * sizeof(ggml_fp16_t);
            }
        }
        const size_t relleno = (alineacion - bytes % alineacion) % alineacion;
        const std::vector<char> ceros(relleno, 0);
        f.write(ceros.data(), static_cast<std::streamsize>(relleno));
    }
    return static_cast<bool>(f);
}

// A 60-minute meeting: some 9,300 words from varied sentence templates, speakers and topics.
std::string reunion() {
    const char* const quien[] = {"Ana", "Luis", "Marta", "Jorge", "Carmen", "Pablo"};
    const char* const tema[] = {"el presupuesto del trimestre",
                                "la campaña de otoño",
                                "el retraso del proveedor",
                                "la nueva contratación",
                                "el informe de ventas",
                                "la migración del servidor",
                                "la reclamación del cliente de Valparaíso",
                                "el inventario del almacén"};
    const char* const cuando[] = {"el lunes",     "mañana",   "antes del viernes", "la semana que viene",
                                  "a fin de mes", "hoy mismo"};
    const char* const plantillas[] = {
        "%s: Bueno, sobre %s, creo que deberíamos revisarlo otra vez con calma, %s si puede ser.",
        "%s: Yo me encargo de %s; lo tengo listo %s, salvo que surja algo con contabilidad.",
        "%s: No estoy de acuerdo del todo con %s, porque las cifras no cuadran con lo que vimos %s.",
        "%s: Entonces queda acordado: %s sigue adelante y lo volvemos a mirar %s.",
        "%s: Perdón, se cortó un poco el audio; decía que %s depende de lo que nos digan %s.",
        "%s: Apunto como tarea pendiente %s, con fecha %s, y lo comparto por correo al terminar.",
        "%s: Eh, a ver, lo de %s lo hablamos ya, pero no cerramos nada; propongo decidirlo %s.",
    };
    std::string t;
    char linea[512];
    Azar azar;
    auto elige = [&](size_t n) {
        return static_cast<size_t>((azar.siguiente() + 1.0F) * 0.5F * static_cast<float>(n)) % n;
    };
    while (t.size() < 51600) {
        std::snprintf(linea, sizeof linea, plantillas[elige(std::size(plantillas))],
                      quien[elige(std::size(quien))], tema[elige(std::size(tema))],
                      cuando[elige(std::size(cuando))]);
        t += linea;
        t += '\n';
    }
    return t;
}

void sinRegistro(ggml_log_level /*nivel*/, const char* /*texto*/, void* /*datos*/) {}

// The process's peak resident memory since the last reset (VmHWM), in MB; -1 if unknown.
long picoDeMemoriaMb() {
    std::ifstream f("/proc/self/status");
    std::string linea;
    while (std::getline(f, linea))
        if (linea.rfind("VmHWM:", 0) == 0) return std::stol(linea.substr(6)) / 1024;
    return -1;
}

// Starts the peak over from what the process holds now (the quantizer's buffers are gone).
bool reiniciarPicoDeMemoria() {
    std::ofstream f("/proc/self/clear_refs");
    f << "5";
    f.flush();
    return static_cast<bool>(f);
}

struct Velocidades {
    double conGramatica = 0, libre = 0;  // tokens/s, the fastest round of each
    int64_t tokensCon = 0, tokensLibres = 0;
    double msEligiendoCon = 0, msEligiendoLibre = 0;  // our own choosing, per token
};

// Answer speed with and without the grammar at a part's context length: the first part's
// prompt goes in the system turn, so both start from one stored prefix and only a short request
// follows. Rounds interleave the two, each free answer as long as the constrained one before it
// (the same positions in the context, the same number of tokens evaluated: a budget's last token
// is chosen but not evaluated, so the free one is given one more), and each kind is taken at its
// fastest round: other processes only ever slow a round down.
Velocidades medirVelocidades(MotorLlama& motor, const std::string& parte, size_t partes) {
    const auto esquema = MeetingDigest::generationSchema();
    const std::string instrucciones = std::string(kInstrucciones) + "\n\n" + promptDeParte(1, partes, parte);
    const std::string sistema = MotorLlama::textoDeSistema(instrucciones, esquema, true);
    const std::string prompt = "Resume esta parte.";
    GenerationOptions conGramatica;
    conGramatica.maximumResponseTokens = 256;
    Velocidades v;
    double eligiendoCon = 0, eligiendoLibre = 0;
    for (int ronda = 0; ronda < 6; ++ronda) {
        const auto c0 = motor.cuentas();
        const auto r = motor.responderLibre(instrucciones, prompt, conGramatica, &esquema);
        const auto c1 = motor.cuentas();
        const int64_t tokens = c1.tokensGenerados - c0.tokensGenerados;
        GenerationOptions libre;
        libre.maximumResponseTokens = static_cast<int>(tokens) + 1;
        (void)motor.responderLibre(sistema, prompt, libre);
        const auto c2 = motor.cuentas();
        v.conGramatica = std::max(
            v.conGramatica, static_cast<double>(tokens) / (c1.segundosGenerando - c0.segundosGenerando));
        v.libre =
            std::max(v.libre, static_cast<double>(tokens) / (c2.segundosGenerando - c1.segundosGenerando));
        v.tokensCon += tokens;
        v.tokensLibres += c2.tokensGenerados - c1.tokensGenerados;
        eligiendoCon += c1.segundosEligiendo - c0.segundosEligiendo;
        eligiendoLibre += c2.segundosEligiendo - c1.segundosEligiendo;
        if (ronda == 0 && r.ok()) std::printf("  respuesta con gramática: %s\n", r.value().c_str());
    }
    v.msEligiendoCon = 1000.0 * eligiendoCon / static_cast<double>(v.tokensCon);
    v.msEligiendoLibre = 1000.0 * eligiendoLibre / static_cast<double>(v.tokensLibres);
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // figures as they come: the run takes minutes
    llama_log_set(sinRegistro, nullptr);
    bool soloVelocidad = false;
    fs::path guardado;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--solo-velocidad") {
            soloVelocidad = true;
        } else if (!a.empty() && a[0] != '-' && guardado.empty()) {
            guardado = a;
        } else {
            std::fprintf(stderr, "uso: vkacta_bench_real [--solo-velocidad] [modelo.gguf]\n");
            return 2;
        }
    }
    const fs::path dir = fs::temp_directory_path() / ("vkacta-bench-real-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const fs::path f16 = dir / "azar-f16.gguf";
    const fs::path q4 = guardado.empty() ? dir / "azar-q4_k_m.gguf" : guardado;
    const int hilos = MotorLlama::hilosPara(1'500'000'000U);
    std::printf("núcleos permitidos: %d (hilos de prompt y de respuesta)\n", hilos);
    llama_backend_init();

    if (!fs::exists(q4)) {
        double t0 = ahora();
        if (!escribirModelo(f16)) {
            std::fprintf(stderr, "vkacta_bench_real: no se pudo escribir el modelo\n");
            return 1;
        }
        std::printf("modelo F16 generado:   %.1f s, %.0f MB\n", ahora() - t0,
                    static_cast<double>(fs::file_size(f16)) / 1048576.0);
        t0 = ahora();
        llama_model_quantize_params qp = llama_model_quantize_default_params();
        qp.ftype = LLAMA_FTYPE_MOSTLY_Q4_K_M;
        qp.nthread = hilos;
        if (llama_model_quantize(f16.c_str(), q4.c_str(), &qp) != 0) {
            std::fprintf(stderr, "vkacta_bench_real: no se pudo cuantizar\n");
            return 1;
        }
        fs::remove(f16);
        std::printf("cuantizado a Q4_K_M:   %.1f s, %.0f MB\n", ahora() - t0,
                    static_cast<double>(fs::file_size(q4)) / 1048576.0);
    } else {
        std::printf("modelo de una ejecución anterior: %s, %.0f MB\n", q4.c_str(),
                    static_cast<double>(fs::file_size(q4)) / 1048576.0);
    }
    const bool picoPropio = reiniciarPicoDeMemoria();

    double t0 = ahora();
    LlamaLanguageModel m(q4);
    const Availability a = m.availability();
    if (!a.isAvailable()) {
        std::fprintf(stderr, "vkacta_bench_real: %s\n", a.reason().texto.c_str());
        return 1;
    }
    std::printf("carga:                 %.2f s\n", ahora() - t0);
    MotorLlama& motor = *m.motor();

    const std::string transcript = reunion();
    const auto partes = chunk(transcript, kLimiteDeBloque);
    const Velocidades v = medirVelocidades(motor, partes[0], partes.size());
    std::printf("respuesta con gramática: %6.2f tokens/s (%lld tokens; elegir %.2f ms por token)\n",
                v.conGramatica, static_cast<long long>(v.tokensCon), v.msEligiendoCon);
    std::printf("respuesta sin gramática: %6.2f tokens/s (%lld tokens; elegir %.2f ms por token)\n", v.libre,
                static_cast<long long>(v.tokensLibres), v.msEligiendoLibre);
    std::printf(
        "con / sin:               %6.1f %% (objetivo: al menos 97 %%; la ronda más rápida de cada una)\n",
        100.0 * v.conGramatica / v.libre);
    const auto& cm = motor.cuentas();
    std::printf(
        "  elegir: %lld rechazos, %lld máscaras completas, %lld tokens revisados, %lld cierres, %.3f s\n",
        static_cast<long long>(cm.rechazos), static_cast<long long>(cm.mascarasCompletas),
        static_cast<long long>(cm.tokensRevisados), static_cast<long long>(cm.cierres), cm.segundosEligiendo);
    if (soloVelocidad) {
        std::printf("pico de memoria: %ld MB%s\n", picoDeMemoriaMb(),
                    picoPropio ? "" : " (el proceso entero, cuantización incluida)");
        fs::remove_all(dir);
        return 0;
    }

    // The whole meeting through the flow, each part timed and counted by its note.
    const auto antes = motor.cuentas();
    struct Marca {
        double t;
        CuentasDelMotor c;
    };
    std::vector<Marca> marcas;
    Entorno entorno;
    entorno.leerEntrada = [&] { return std::optional<std::string>(transcript); };
    entorno.escribirSalida = [](std::string_view) { return true; };
    entorno.nota = [&](std::string_view) { marcas.push_back({ahora(), motor.cuentas()}); };
    entorno.segundos = ahora;
    const double inicio = ahora();
    const auto fallo = digerir(m, entorno);
    const double total = ahora() - inicio;
    if (fallo) {
        std::printf("reunión de 60 minutos: falló: %s\n", fallo->c_str());
        return 1;
    }
    const auto c = motor.cuentas();
    const auto evaluados = c.tokensEvaluados - antes.tokensEvaluados;
    const auto generados = c.tokensGenerados - antes.tokensGenerados;
    const auto pedidos = c.pedidos - antes.pedidos;
    const double sEval = c.segundosEvaluando - antes.segundosEvaluando;
    const double sGen = c.segundosGenerando - antes.segundosGenerando;
    const double sElegir = c.segundosEligiendo - antes.segundosEligiendo;
    std::printf("reunión: %zu caracteres, %zu partes, %lld pedidos\n", longitud(transcript), partes.size(),
                static_cast<long long>(pedidos));
    // Notes: the count, one per part, the time; the last gap is the fuse (groups included).
    for (size_t i = 1; i < marcas.size(); ++i) {
        const auto& a0 = marcas[i - 1].c;
        const auto& a1 = marcas[i].c;
        std::printf("  %s %2zu: %6.1f s, %5lld tokens de prompt, %4lld de respuesta en %lld pedido(s)\n",
                    i <= partes.size() ? "parte " : "fusión", i, marcas[i].t - marcas[i - 1].t,
                    static_cast<long long>(a1.tokensEvaluados - a0.tokensEvaluados),
                    static_cast<long long>(a1.tokensGenerados - a0.tokensGenerados),
                    static_cast<long long>(a1.pedidos - a0.pedidos));
    }
    std::printf("prompt:    %lld tokens, %6.2f tokens/s\n", static_cast<long long>(evaluados),
                static_cast<double>(evaluados) / sEval);
    std::printf("respuesta: %lld tokens (%.0f por pedido), %6.2f tokens/s con gramática\n",
                static_cast<long long>(generados),
                static_cast<double>(generados) / static_cast<double>(pedidos),
                static_cast<double>(generados) / sGen);
    // The model's own compute: the prompt as evaluated, the answer tokens at the free rate.
    const double propio = sEval + static_cast<double>(generados) / v.libre;
    std::printf(
        "total:     %.1f s; cómputo del modelo %.1f s (%.1f %% del total); lo nuestro %+.1f %% "
        "(objetivo: como mucho 5 %%)\n",
        total, propio, 100.0 * propio / total, 100.0 * (total - propio) / propio);
    std::printf(
        "  fuera de la evaluación del modelo: %.2f s eligiendo tokens, %.2f s en lo demás "
        "(tokenizar, contextos, prefijo, el flujo)\n",
        sElegir, total - sEval - sGen);
    std::printf("pico de memoria: %ld MB%s\n", picoDeMemoriaMb(),
                picoPropio ? " (desde la carga)" : " (el proceso entero, cuantización incluida)");
    fs::remove_all(dir);
    return 0;
}
