#include "ModeloDePrueba.h"

#include <ggml.h>
#include <gguf.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <numeric>
#include <random>
#include <sstream>
#include <string_view>
#include <vector>

#ifndef VKACTA_VOCABULARIOS
#error "VKACTA_VOCABULARIOS must name the folder of the ggml-vocab-*.gguf files"
#endif
#ifndef VKACTA_PLANTILLAS
#error "VKACTA_PLANTILLAS must name the folder of the real *.jinja chat templates"
#endif

namespace vkacta::prueba {
namespace {

constexpr int64_t kAncho = 16;  // embedding width: small keeps the file near 20 MB

struct BorraGguf {
    void operator()(gguf_context* g) const { gguf_free(g); }
};
struct BorraGgml {
    void operator()(ggml_context* c) const { ggml_free(c); }
};
using Gguf = std::unique_ptr<gguf_context, BorraGguf>;
using Ggml = std::unique_ptr<ggml_context, BorraGgml>;

bool empiezaCon(std::string_view s, std::string_view p) {
    return s.substr(0, p.size()) == p;
}

// Rank of every token, 0 being the first choice.
std::vector<int64_t> rangos(const std::vector<std::string>& piezas, Orden orden) {
    const auto n = static_cast<int64_t>(piezas.size());
    std::vector<int64_t> ids(piezas.size());
    std::iota(ids.begin(), ids.end(), 0);
    auto clase = [&](int64_t id) -> int {
        const std::string& p = piezas[static_cast<size_t>(id)];
        const auto comillas = std::count(p.begin(), p.end(), '"');
        if (orden == Orden::bucle && (p == "\xC4\xA0"
                                           "bla" ||
                                      p == "\xE2\x96\x81"
                                           "bla"))
            return -1;
        if (orden == Orden::entradas) {
            if (p == "\"") return 0;
            if (p == ",") return 1;
            if (p == "{") return 2;
            if (p == "]" || p == "}") return 3;
            return p.find("[]") != std::string::npos ? 5 : 4;
        }
        if (orden == Orden::cierra || orden == Orden::bucle) {
            // Structural characters are valid string content too, so the quote must beat
            // them; "[]" beats the closing brackets so arrays are left empty.
            if (p == "\"") return 0;
            if (p == "[]") return 1;
            if (p == "]") return 2;
            if (p == "}") return 3;
            return 4;
        }
        if (comillas == 0) return 0;
        // Only where a quote is required: open with a token that leaves the string open.
        if (comillas == 1 && p[0] == '"' && p.size() > 1) return 1;
        if (p == "\"") return 3;
        return 2;
    };
    std::stable_sort(ids.begin(), ids.end(), [&](int64_t a, int64_t b) { return clase(a) < clase(b); });
    std::vector<int64_t> rango(static_cast<size_t>(n));
    for (int64_t r = 0; r < n; ++r)
        rango[static_cast<size_t>(ids[static_cast<size_t>(r)])] = r;
    return rango;
}

ggml_tensor* tensor(ggml_context* c, const char* nombre, int64_t ne0, int64_t ne1, float valor) {
    ggml_tensor* t =
        ne1 == 0 ? ggml_new_tensor_1d(c, GGML_TYPE_F32, ne0) : ggml_new_tensor_2d(c, GGML_TYPE_F32, ne0, ne1);
    ggml_set_name(t, nombre);
    auto* datos = static_cast<float*>(t->data);
    std::fill(datos, datos + ggml_nelements(t), valor);
    return t;
}

}  // namespace

size_t copiarVocabulario(const std::filesystem::path& vocabulario, gguf_context* g, bool conPlantilla,
                         std::vector<std::string>* piezasDestino) {
    Gguf vocab(gguf_init_from_file(vocabulario.c_str(), gguf_init_params{true, nullptr}));
    if (!vocab) return 0;
    const int64_t kTokens = gguf_find_key(vocab.get(), "tokenizer.ggml.tokens");
    if (kTokens < 0) return 0;
    const size_t nVocab = gguf_get_arr_n(vocab.get(), kTokens);
    if (piezasDestino != nullptr) {
        piezasDestino->resize(nVocab);
        for (size_t i = 0; i < nVocab; ++i)
            (*piezasDestino)[i] = gguf_get_arr_str(vocab.get(), kTokens, i);
    }
    // Tokenizer and chat template come from the vocabulary file as they are.
    for (int64_t k = 0; k < gguf_get_n_kv(vocab.get()); ++k) {
        const std::string clave = gguf_get_key(vocab.get(), k);
        if (!empiezaCon(clave, "tokenizer.")) continue;
        if (!conPlantilla && empiezaCon(clave, "tokenizer.chat_template")) continue;
        const enum gguf_type tipo = gguf_get_kv_type(vocab.get(), k);
        if (tipo == GGUF_TYPE_STRING) {
            gguf_set_val_str(g, clave.c_str(), gguf_get_val_str(vocab.get(), k));
        } else if (tipo == GGUF_TYPE_ARRAY && gguf_get_arr_type(vocab.get(), k) == GGUF_TYPE_STRING) {
            const size_t n = gguf_get_arr_n(vocab.get(), k);
            std::vector<const char*> textos(n);
            for (size_t i = 0; i < n; ++i)
                textos[i] = gguf_get_arr_str(vocab.get(), k, i);
            gguf_set_arr_str(g, clave.c_str(), textos.data(), n);
        } else if (tipo == GGUF_TYPE_ARRAY) {
            gguf_set_arr_data(g, clave.c_str(), gguf_get_arr_type(vocab.get(), k),
                              gguf_get_arr_data(vocab.get(), k), gguf_get_arr_n(vocab.get(), k));
        } else if (tipo == GGUF_TYPE_UINT32) {
            gguf_set_val_u32(g, clave.c_str(), gguf_get_val_u32(vocab.get(), k));
        } else if (tipo == GGUF_TYPE_INT32) {
            gguf_set_val_i32(g, clave.c_str(), gguf_get_val_i32(vocab.get(), k));
        } else if (tipo == GGUF_TYPE_BOOL) {
            gguf_set_val_bool(g, clave.c_str(), gguf_get_val_bool(vocab.get(), k));
        }
    }
    return nVocab;
}

std::filesystem::path vocabulario(const std::string& nombre) {
    return std::filesystem::path(VKACTA_VOCABULARIOS) / ("ggml-vocab-" + nombre + ".gguf");
}

std::filesystem::path vocabularioQwen2() {
    return vocabulario("qwen2");
}

std::string plantillaReal(const std::string& nombre) {
    std::ifstream f(std::filesystem::path(VKACTA_PLANTILLAS) / (nombre + ".jinja"));
    std::ostringstream texto;
    texto << f.rdbuf();
    return texto.str();
}

std::string escribirModeloDePrueba(const std::filesystem::path& vocabulario,
                                   const std::filesystem::path& destino, Orden orden, bool conPlantilla,
                                   uint32_t contexto, const std::string& plantilla) {
    Gguf salida(gguf_init_empty());
    gguf_context* g = salida.get();
    std::vector<std::string> piezas;
    const size_t nVocab = copiarVocabulario(vocabulario, g, conPlantilla, &piezas);
    if (nVocab == 0) return "no se pudo leer el vocabulario " + vocabulario.string();
    if (!plantilla.empty()) gguf_set_val_str(g, "tokenizer.chat_template", plantilla.c_str());
    gguf_set_val_str(g, "general.architecture", "llama");
    gguf_set_val_str(g, "general.name",
                     orden == Orden::cierra     ? "prueba-cierra"
                     : orden == Orden::azar     ? "prueba-azar"
                     : orden == Orden::bucle    ? "prueba-bucle"
                     : orden == Orden::entradas ? "prueba-entradas"
                                                : "prueba-nunca-cierra");
    gguf_set_val_u32(g, "llama.block_count", 1);
    gguf_set_val_u32(g, "llama.context_length", contexto);
    gguf_set_val_u32(g, "llama.embedding_length", static_cast<uint32_t>(kAncho));
    gguf_set_val_u32(g, "llama.feed_forward_length", static_cast<uint32_t>(kAncho));
    gguf_set_val_u32(g, "llama.attention.head_count", 1);
    gguf_set_val_u32(g, "llama.attention.head_count_kv", 1);
    gguf_set_val_u32(g, "llama.rope.dimension_count", static_cast<uint32_t>(kAncho));
    gguf_set_val_f32(g, "llama.rope.freq_base", 10000.0F);
    gguf_set_val_f32(g, "llama.attention.layer_norm_rms_epsilon", 1e-5F);
    gguf_set_val_u32(g, "llama.vocab_size", static_cast<uint32_t>(nVocab));

    const auto n = static_cast<int64_t>(nVocab);
    const size_t bytes =
        static_cast<size_t>(2 * n * kAncho + 8 * kAncho * kAncho) * sizeof(float) + 64 * 1024;
    Ggml ctx(ggml_init(ggml_init_params{bytes, nullptr, false}));
    if (!ctx) return "sin memoria para el modelo de prueba";
    ggml_context* c = ctx.get();

    // Same embedding for every token; attention and feed-forward outputs are zero, so the
    // residual stream carries that embedding unchanged to the output norm.
    std::vector<ggml_tensor*> tensores = {
        tensor(c, "token_embd.weight", kAncho, n, 1.0F),
        tensor(c, "output_norm.weight", kAncho, 0, 1.0F),
        tensor(c, "blk.0.attn_norm.weight", kAncho, 0, 1.0F),
        tensor(c, "blk.0.attn_q.weight", kAncho, kAncho, 0.01F),
        tensor(c, "blk.0.attn_k.weight", kAncho, kAncho, 0.01F),
        tensor(c, "blk.0.attn_v.weight", kAncho, kAncho, 0.01F),
        tensor(c, "blk.0.attn_output.weight", kAncho, kAncho, 0.0F),
        tensor(c, "blk.0.ffn_norm.weight", kAncho, 0, 1.0F),
        tensor(c, "blk.0.ffn_gate.weight", kAncho, kAncho, 0.01F),
        tensor(c, "blk.0.ffn_up.weight", kAncho, kAncho, 0.01F),
        tensor(c, "blk.0.ffn_down.weight", kAncho, kAncho, 0.0F),
    };
    // The normalised hidden state is all ones: a token's logit is the first weight of its
    // output row, so that weight is its score (higher is better).
    ggml_tensor* out = tensor(c, "output.weight", kAncho, n, 0.0F);
    const std::vector<int64_t> rango = rangos(piezas, orden);
    auto* w = static_cast<float*>(out->data);
    for (int64_t i = 0; i < n; ++i) {
        w[i * kAncho] = 10.0F * static_cast<float>(n - rango[static_cast<size_t>(i)]) / static_cast<float>(n);
    }
    tensores.push_back(out);
    if (orden == Orden::azar) {
        std::mt19937 azar(7);
        std::uniform_real_distribution<float> u(-0.5F, 0.5F);
        for (ggml_tensor* t : tensores) {
            if (ggml_n_dims(t) < 2) continue;  // norms stay at one
            auto* d = static_cast<float*>(t->data);
            for (int64_t i = 0; i < ggml_nelements(t); ++i)
                d[i] = u(azar);
        }
    }
    for (ggml_tensor* t : tensores)
        gguf_add_tensor(g, t);

    std::error_code ec;
    std::filesystem::create_directories(destino.parent_path(), ec);
    if (!gguf_write_to_file(g, destino.c_str(), false)) return "no se pudo escribir " + destino.string();
    return {};
}

}  // namespace vkacta::prueba
