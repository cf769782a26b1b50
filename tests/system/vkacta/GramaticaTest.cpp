// The schema grammar run through llama.cpp's own grammar engine, token by token, over a real
// vocabulary: what it lets through must read back as a digest, and what would not read back
// (or would drift from the schema) must be stopped.
#include <gtest/gtest.h>
#include <llama.h>

#include <memory>
#include <string>
#include <vector>

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
    }
    static void TearDownTestSuite() { llama_model_free(modelo_); }

    // Feeds the text's tokens to the grammar; true when every one is accepted and the
    // grammar then lets the answer end.
    static bool acepta(const std::string& gbnf, const std::string& texto) {
        const llama_vocab* v = llama_model_get_vocab(modelo_);
        std::unique_ptr<llama_sampler, decltype(&llama_sampler_free)> g(
            llama_sampler_init_grammar(v, gbnf.c_str(), "root"), &llama_sampler_free);
        EXPECT_NE(g, nullptr) << gbnf;
        if (!g) return false;
        std::vector<llama_token> t(texto.size() + 8);
        const int n = llama_tokenize(v, texto.data(), static_cast<int32_t>(texto.size()), t.data(),
                                     static_cast<int32_t>(t.size()), false, false);
        t.resize(static_cast<size_t>(n));
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
};

llama_model* GramaticaEnVocabulario::modelo_ = nullptr;

TEST_F(GramaticaEnVocabulario, LetsThroughDigestsThatReadBack) {
    const std::string g = gramaticaGbnf(MeetingDigest::generationSchema());
    const std::vector<std::string> validos = {
        R"({"summary":"","decisions":[],"actionItems":[]})",
        R"({"summary":"Se habló del \"presupuesto\".\nAna lo revisa.","decisions":["Subir el precio","Cambiar de proveedor"],"actionItems":[{"task":"Revisar el presupuesto","owner":"Ana","due":"el lunes"},{"task":"Llamar","owner":"","due":""}]})",
        R"({"summary":"Decisión: ñandú ⟪⟫ — 😀 \\ \/ \t \u00e9","decisions":[""],"actionItems":[]})",
    };
    for (const auto& texto : validos) {
        EXPECT_TRUE(acepta(g, texto)) << texto;
        auto contenido = GeneratedContent::parse(texto);
        ASSERT_TRUE(contenido.ok()) << texto;
        EXPECT_TRUE(MeetingDigest::desdeContenido(contenido.value()).ok()) << texto;
    }
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
    };
    for (const auto& texto : invalidos)
        EXPECT_FALSE(acepta(g, texto)) << texto;
}

}  // namespace
}  // namespace vkacta
