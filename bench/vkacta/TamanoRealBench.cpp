// Figures at a real model's cost: a model of the shape of a 1.5 B-parameter instruct model (the
// qwen2 architecture and vocabulary, 28 layers, width 1536) with random weights, quantized to
// Q4_K_M with llama.cpp's own quantizer, digesting a 60-minute Spanish meeting. Everything is
// generated under a temporary directory at run time and removed at the end. One run, figures
// only; it takes minutes.
//
// Random weights would almost never close a string; the quote's embedding row is scaled up
// (the output shares it) so that strings close about as soon as a real model's short fields do.
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

struct Tensor {
    std::string nombre;
    int64_t ne0, ne1;  // ne1 0: a vector
    float escala;      // 0: all ones (norms)
};

// Writes the F16 model streaming, tensor by tensor, so memory stays small.
bool escribirModelo(const fs::path& destino, int64_t& quote) {
    std::unique_ptr<gguf_context, decltype(&gguf_free)> g(gguf_init_empty(), &gguf_free);
    std::vector<std::string> piezas;
    const size_t nVocab = prueba::copiarVocabulario(prueba::vocabularioQwen2(), g.get(), true, &piezas);
    if (nVocab == 0) return false;
    quote = -1;
    for (size_t i = 0; i < piezas.size(); ++i)
        if (piezas[i] == "\"") quote = static_cast<int64_t>(i);
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
    std::vector<Tensor> tensores = {{"token_embd.weight", kAncho, n, 0.05F},
                                    {"output_norm.weight", kAncho, 0, 0}};
    for (int64_t b = 0; b < kCapas; ++b) {
        const std::string p = "blk." + std::to_string(b) + ".";
        for (const Tensor& t : std::vector<Tensor>{{p + "attn_norm.weight", kAncho, 0, 0},
                                                   {p + "attn_q.weight", kAncho, kAncho, 0.03F},
                                                   {p + "attn_q.bias", kAncho, 0, 0.01F},
                                                   {p + "attn_k.weight", kAncho, kv, 0.03F},
                                                   {p + "attn_k.bias", kv, 0, 0.01F},
                                                   {p + "attn_v.weight", kAncho, kv, 0.03F},
                                                   {p + "attn_v.bias", kv, 0, 0.01F},
                                                   {p + "attn_output.weight", kAncho, kAncho, 0.03F},
                                                   {p + "ffn_norm.weight", kAncho, 0, 0},
                                                   {p + "ffn_gate.weight", kAncho, kIntermedio, 0.03F},
                                                   {p + "ffn_up.weight", kAncho, kIntermedio, 0.03F},
                                                   {p + "ffn_down.weight", kIntermedio, kAncho, 0.02F}})
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
            float escala = t.escala;
            if (t.nombre == "token_embd.weight" && r == quote) escala *= 40.0F;
            for (auto& v : fila)
                v = t.escala == 0 ? 1.0F : escala * azar.siguiente();
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

long picoDeMemoriaMb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024;
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // figures as they come: the run takes minutes
    llama_log_set(sinRegistro, nullptr);
    const fs::path dir = fs::temp_directory_path() / ("vkacta-bench-real-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const fs::path f16 = dir / "azar-f16.gguf";
    const fs::path q4 = dir / "azar-q4_k_m.gguf";
    const int hilos = MotorLlama::hilosPara(1'500'000'000U);
    std::printf("núcleos permitidos: %d (hilos de prompt y de respuesta)\n", hilos);

    double t0 = ahora();
    int64_t quote = -1;
    if (!escribirModelo(f16, quote)) {
        std::fprintf(stderr, "vkacta_bench_real: no se pudo escribir el modelo\n");
        return 1;
    }
    std::printf("modelo F16 generado:   %.1f s, %.0f MB\n", ahora() - t0,
                static_cast<double>(fs::file_size(f16)) / 1048576.0);
    t0 = ahora();
    llama_backend_init();
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

    t0 = ahora();
    LlamaLanguageModel m(q4);
    const Availability a = m.availability();
    if (!a.isAvailable()) {
        std::fprintf(stderr, "vkacta_bench_real: %s\n", a.reason().texto.c_str());
        return 1;
    }
    std::printf("carga:                 %.2f s (%llu pesos)\n", ahora() - t0,
                static_cast<unsigned long long>(1'500'000'000U));
    MotorLlama& motor = *m.motor();

    // Answer speed with and without the grammar, interleaved so machine load hits both alike.
    const std::string transcript = reunion();
    const auto partes = chunk(transcript, kLimiteDeBloque);
    const auto esquema = MeetingDigest::generationSchema();
    const std::string sistema = MotorLlama::textoDeSistema(std::string(kInstrucciones), esquema, true);
    GenerationOptions corto;
    corto.maximumResponseTokens = 48;
    double con = 0, sin = 0;
    int64_t tCon = 0, tSin = 0;
    const std::string prompt = promptDeParte(1, partes.size(), partes[0].substr(0, 600));
    for (int ronda = 0; ronda < 3; ++ronda) {
        const auto c0 = motor.cuentas();
        (void)motor.responder(std::string(kInstrucciones), prompt, esquema, true, corto);
        const auto c1 = motor.cuentas();
        (void)motor.responderLibre(sistema, prompt, corto);
        const auto c2 = motor.cuentas();
        con += c1.segundosGenerando - c0.segundosGenerando;
        tCon += c1.tokensGenerados - c0.tokensGenerados;
        sin += c2.segundosGenerando - c1.segundosGenerando;
        tSin += c2.tokensGenerados - c1.tokensGenerados;
    }
    const double rCon = static_cast<double>(tCon) / con, rSin = static_cast<double>(tSin) / sin;
    std::printf("respuesta con gramática: %6.2f tokens/s (%lld tokens)\n", rCon,
                static_cast<long long>(tCon));
    std::printf("respuesta sin gramática: %6.2f tokens/s (%lld tokens)\n", rSin,
                static_cast<long long>(tSin));
    std::printf("con / sin:               %6.1f %% (objetivo: al menos 97 %%)\n", 100.0 * rCon / rSin);

    // The whole meeting through the flow, timing each part by its note.
    const auto antes = motor.cuentas();
    std::vector<double> marcas;
    Entorno entorno;
    entorno.leerEntrada = [&] { return std::optional<std::string>(transcript); };
    entorno.escribirSalida = [](std::string_view) { return true; };
    entorno.nota = [&](std::string_view) { marcas.push_back(ahora()); };
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
    const double sEval = c.segundosEvaluando - antes.segundosEvaluando;
    const double rPrompt = static_cast<double>(evaluados) / sEval;
    std::printf("reunión: %zu caracteres, %zu partes, %lld pedidos\n", longitud(transcript), partes.size(),
                static_cast<long long>(c.pedidos - antes.pedidos));
    // Notes: the count, one per part, the time; the last gap is the fuse (groups included).
    for (size_t i = 1; i < marcas.size(); ++i)
        std::printf("  %s %zu: %6.1f s\n", i <= partes.size() ? "parte " : "fusión", i,
                    marcas[i] - marcas[i - 1]);
    std::printf("prompt:    %lld tokens, %6.2f tokens/s\n", static_cast<long long>(evaluados), rPrompt);
    std::printf("respuesta: %lld tokens (%.0f por pedido)\n", static_cast<long long>(generados),
                static_cast<double>(generados) / static_cast<double>(c.pedidos - antes.pedidos));
    const double propio = sEval + static_cast<double>(generados) / rSin;
    std::printf(
        "total:     %.1f s; cómputo del modelo %.1f s; lo nuestro %+.1f %% (objetivo: como mucho 5 %%)\n",
        total, propio, 100.0 * (total - propio) / propio);
    std::printf("pico de memoria: %ld MB (el proceso entero, cuantización incluida)\n", picoDeMemoriaMb());
    fs::remove_all(dir);
    return 0;
}
