// The schema grammar run through llama.cpp's own grammar engine, token by token, over a real
// vocabulary: what it lets through must read back as a digest, and what would not read back
// (or would drift from the schema) must be stopped.
#include <gtest/gtest.h>
#include <llama.h>

#include <algorithm>
#include <array>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "CadenaDeMuestreo.h"
#include "Gramatica.h"
#include "MeetingDigest.h"
#include "ModeloDePrueba.h"

namespace vkacta {
namespace {

void sinRegistro(ggml_log_level, const char*, void*) {}

class GramaticaEnVocabulario : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        llama_log_set(sinRegistro, nullptr);
        llama_model_params p = llama_model_default_params();
        p.vocab_only = true;
        modelo_ = llama_model_load_from_file(prueba::vocabularioQwen2().c_str(), p);
        ASSERT_NE(modelo_, nullptr);
        // The vocabulary's token for each raw byte: how a model spells bytes that are no UTF-8
        // (and that no tokenizer would take).
        const llama_vocab* v = llama_model_get_vocab(modelo_);
        tokenDelByte_.fill(LLAMA_TOKEN_NULL);
        std::array<char, 8> pieza{};
        for (llama_token k = 0; k < llama_vocab_n_tokens(v); ++k)
            if (llama_token_to_piece(v, k, pieza.data(), pieza.size(), 0, false) == 1) {
                llama_token& t = tokenDelByte_[static_cast<unsigned char>(pieza[0])];
                if (t == LLAMA_TOKEN_NULL) t = k;
            }
    }
    static void TearDownTestSuite() { llama_model_free(modelo_); }

    static std::vector<llama_token> tokens(const std::string& texto) {
        std::vector<llama_token> t(texto.size() + 8);
        const int n =
            llama_tokenize(llama_model_get_vocab(modelo_), texto.data(), static_cast<int32_t>(texto.size()),
                           t.data(), static_cast<int32_t>(t.size()), false, false);
        t.resize(static_cast<size_t>(std::max(n, 0)));
        return t;
    }

    // The summary's text spelled with the vocabulary's one-byte tokens.
    static std::vector<llama_token> resumenEnBytes(const std::string& bytes) {
        std::vector<llama_token> t = tokens(R"({"summary":")");
        for (const char b : bytes) {
            const llama_token byte = tokenDelByte_[static_cast<unsigned char>(b)];
            EXPECT_NE(byte, LLAMA_TOKEN_NULL);
            t.push_back(byte);
        }
        const auto resto = tokens(R"(","decisions":[],"actionItems":[]})");
        t.insert(t.end(), resto.begin(), resto.end());
        return t;
    }

    static bool acepta(const std::string& gbnf, const std::string& texto) {
        return acepta(gbnf, tokens(texto));
    }

    // Feeds the tokens to the grammar; true when every one is accepted and the grammar then lets
    // the answer end.
    static bool acepta(const std::string& gbnf, const std::vector<llama_token>& t) {
        const llama_vocab* v = llama_model_get_vocab(modelo_);
        std::unique_ptr<llama_sampler, decltype(&llama_sampler_free)> g(
            llama_sampler_init_grammar(v, gbnf.c_str(), "root"), &llama_sampler_free);
        EXPECT_NE(g, nullptr) << gbnf;
        if (!g) return false;
        auto admite = [&](llama_token tok) {
            llama_token_data d{tok, 1.0F, 0.0F};
            llama_token_data_array a{&d, 1, -1, false};
            llama_sampler_apply(g.get(), &a);
            return d.logit == 1.0F;
        };
        for (const llama_token tok : t) {
            if (!admite(tok)) return false;
            llama_sampler_accept(g.get(), tok);
        }
        return admite(llama_vocab_eos(v));
    }

    static llama_model* modelo_;
    static std::array<llama_token, 256> tokenDelByte_;
};

llama_model* GramaticaEnVocabulario::modelo_ = nullptr;
std::array<llama_token, 256> GramaticaEnVocabulario::tokenDelByte_{};

TEST_F(GramaticaEnVocabulario, LetsThroughDigestsThatReadBack) {
    const std::string g = gramaticaGbnf(MeetingDigest::generationSchema());
    const std::vector<std::string> validos = {
        R"({"summary":"","decisions":[],"actionItems":[]})",
        R"({"summary":"Se habló del \"presupuesto\".\nAna lo revisa.","decisions":["Subir el precio","Cambiar de proveedor"],"actionItems":[{"task":"Revisar el presupuesto","owner":"Ana","due":"el lunes"},{"task":"Llamar","owner":"","due":""}]})",
        R"({"summary":"Decisión: ñandú ⟪⟫ — 😀 \\ \/ \t \u00e9","decisions":[""],"actionItems":[]})",
        R"({"summary":"\uD83D\ude00 \uFFFF \uE000 \uD7FF","decisions":[],"actionItems":[]})",  // a pair
    };
    for (const auto& texto : validos) {
        EXPECT_TRUE(acepta(g, texto)) << texto;
        auto contenido = GeneratedContent::parse(texto);
        ASSERT_TRUE(contenido.ok()) << texto;
        EXPECT_TRUE(MeetingDigest::desdeContenido(contenido.value()).ok()) << texto;
    }
    // Characters a byte at a time: the last of each plane, and Hangul next to the surrogates.
    for (const char* bytes : {"\xF4\x8F\xBF\xBF", "\xED\x9E\xA3", "\xEF\xBF\xBF", "\xF0\x9F\x98\x80"})
        EXPECT_TRUE(acepta(g, resumenEnBytes(bytes))) << bytes;
}

TEST_F(GramaticaEnVocabulario, StopsAnythingOffTheSchema) {
    const std::string g = gramaticaGbnf(MeetingDigest::generationSchema());
    const std::vector<std::string> invalidos = {
        R"({"summary":"")",                                                         // unfinished
        R"({"decisions":[],"summary":"","actionItems":[]})",                        // order
        R"({"summary":"","actionItems":[]})",                                       // missing
        R"({"summary":"","decisions":[],"actionItems":[],"otro":""})",              // extra
        R"({"summary":"","decisions":["a",],"actionItems":[]})",                    // trailing comma
        R"({"summary":"","decisions":[],"actionItems":[{"task":"","owner":""}]})",  // item without due
        "{\"summary\":\"dos\nlíneas\",\"decisions\":[],\"actionItems\":[]}",        // raw line feed
        R"({"summary":"\x","decisions":[],"actionItems":[]})",                      // bad escape
        R"({"summary":1,"decisions":[],"actionItems":[]})",                         // not a string
        R"(Claro: {"summary":"","decisions":[],"actionItems":[]})",                 // chatter first
        R"({"summary": "","decisions":[],"actionItems":[]})",  // white space a model could loop on
        // What a lenient decoder lets through and no JSON reader takes: surrogates, alone or as
        // raw bytes, and code points past U+10FFFF.
        R"({"summary":"\uD800","decisions":[],"actionItems":[]})",
        R"({"summary":"\uDC00\uD800","decisions":[],"actionItems":[]})",
        R"({"summary":"\ud83d x","decisions":[],"actionItems":[]})",
    };
    for (const auto& texto : invalidos)
        EXPECT_FALSE(acepta(g, texto)) << texto;
    for (const char* bytes : {"\xED\xA0\x80", "\xED\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80"})
        EXPECT_FALSE(acepta(g, resumenEnBytes(bytes))) << bytes;
}

TEST_F(GramaticaEnVocabulario, BoundsEveryStringAndList) {
    const std::string g = gramaticaGbnf(MeetingDigest::generationSchema());
    auto conResumen = [](const std::string& s) {
        return R"({"summary":")" + s + R"(","decisions":[],"actionItems":[]})";
    };
    auto conDecisiones = [](int n) {
        std::string d;
        for (int i = 0; i < n; ++i)
            d += std::string(i > 0 ? "," : "") + "\"d\"";
        return R"({"summary":"","decisions":[)" + d + R"(],"actionItems":[]})";
    };
    EXPECT_TRUE(acepta(g, conResumen(std::string(kCaracteresMaximos, 'a'))));
    EXPECT_FALSE(acepta(g, conResumen(std::string(kCaracteresMaximos + 1, 'a'))));
    // An escape is one character, as a reader counts it.
    std::string escapes;
    for (int i = 0; i < kCaracteresMaximos; ++i)
        escapes += "\\n";
    EXPECT_TRUE(acepta(g, conResumen(escapes)));
    EXPECT_FALSE(acepta(g, conResumen(escapes + "b")));
    EXPECT_TRUE(acepta(g, conDecisiones(kEntradasMaximas)));
    EXPECT_FALSE(acepta(g, conDecisiones(kEntradasMaximas + 1)));
}

TEST_F(GramaticaEnVocabulario, FastGreedyChoiceIsTheOneTheWholeMaskGives) {
    // Logits built to make the fast choice's shortcuts matter: best tokens the grammar refuses
    // (quotes inside, pieces of split characters, bytes no JSON string takes), exact ties, a
    // token said again and again for DRY to punish, and closing quotes and brackets so the keys
    // and lists come round. Both chains take the reference's token each time.
    const llama_vocab* v = llama_model_get_vocab(modelo_);
    const std::string gbnf = gramaticaGbnf(MeetingDigest::generationSchema());
    ASSERT_TRUE(admitePodaPorPrimerByte(gbnf));
    using Gramatica = std::unique_ptr<llama_sampler, decltype(&llama_sampler_free)>;
    Gramatica g1(llama_sampler_init_grammar(v, gbnf.c_str(), "root"), &llama_sampler_free);
    Gramatica g2(llama_sampler_init_grammar(v, gbnf.c_str(), "root"), &llama_sampler_free);
    CadenaDeMuestreo rapida(v), plana(v, true);
    rapida.empezar({}, g1.get(), true);
    plana.empezar({}, g2.get(), true);

    const auto n = static_cast<size_t>(llama_vocab_n_tokens(v));
    std::vector<std::vector<llama_token>> trampas(3);  // quote inside, split character, closing
    std::array<char, 256> pieza{};
    for (size_t k = 0; k < n; ++k) {
        const int32_t largo =
            llama_token_to_piece(v, static_cast<llama_token>(k), pieza.data(), pieza.size(), 0, true);
        if (largo <= 0) continue;
        const std::string p(pieza.data(), static_cast<size_t>(largo));
        const auto primero = static_cast<unsigned char>(p[0]);
        if (p.find('"', 1) != std::string::npos) trampas[0].push_back(static_cast<llama_token>(k));
        if (primero >= 0x80 && (primero < 0xC0 || p.size() < 4))
            trampas[1].push_back(static_cast<llama_token>(k));
        if ((p[0] == '"' && (p.size() == 1 || p[1] == ',' || p[1] == ']')) || p == "]" || p == "}]" ||
            p == "]}")
            trampas[2].push_back(static_cast<llama_token>(k));
    }
    std::mt19937 azar(11);
    std::normal_distribution<float> normal(0.0F, 1.0F);
    std::vector<float> logits(n);
    llama_token ultimo = LLAMA_TOKEN_NULL;
    int respuestas = 0;
    for (int paso = 0; paso < 240; ++paso) {
        for (auto& l : logits)
            l = normal(azar);
        // In runs of 20 steps the last token is said again and again, above a crowd of tokens the
        // grammar refuses inside a string: once DRY pushes it down, the answer lies past them.
        const bool bucle = paso / 20 % 3 == 2 && ultimo != LLAMA_TOKEN_NULL;
        const auto& t = trampas[bucle ? 0 : azar() % 3];
        for (int k = 0; k < 200; ++k)
            logits[static_cast<size_t>(t[azar() % t.size()])] += (bucle ? 9.0F : 5.0F) + normal(azar);
        if (bucle) logits[static_cast<size_t>(ultimo)] += 12.0F;
        if (azar() % 4 == 0) {  // the best logit shared by tokens on either side of its id
            const float m = *std::max_element(logits.begin(), logits.end());
            for (int k = 0; k < 3; ++k)
                logits[azar() % n] = m;
        }
        const auto a = rapida.elegir(logits.data());
        const auto b = plana.elegir(logits.data());
        ASSERT_TRUE(a.ok() && b.ok());
        ASSERT_EQ(a.value(), b.value()) << "paso " << paso;
        ultimo = b.value();
        if (llama_vocab_is_eog(v, ultimo)) {
            ++respuestas;
            llama_sampler_reset(g1.get());
            llama_sampler_reset(g2.get());
            rapida.empezar({}, g1.get(), true);
            plana.empezar({}, g2.get(), true);
            ultimo = LLAMA_TOKEN_NULL;
            continue;
        }
        rapida.aceptar(ultimo);
        plana.aceptar(ultimo);
    }
    // The shortcuts were taken, and the answers went round the whole schema.
    EXPECT_GT(rapida.cuentas().rechazos, 40);
    EXPECT_EQ(rapida.cuentas().mascarasCompletas, 0);
    EXPECT_GT(respuestas, 0);
}

}  // namespace
}  // namespace vkacta
