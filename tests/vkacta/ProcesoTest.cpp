// The real flow in a child process on real pipes, the model played by the double.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

#include "ModeloDoble.h"
#include "Proceso.h"
#include "Summary.h"

using namespace vkacta;
using vkacta::prueba::enHijo;
using vkacta::prueba::ModeloDoble;
using vkacta::prueba::Salida;

namespace {

// What the program entry does, with the double in place of the system's model.
Salida correr(const std::function<void(ModeloDoble&)>& guion, const std::optional<std::string>& entrada) {
    return enHijo(
        [&] {
            ModeloDoble m;
            guion(m);
            run(m);
            std::exit(0);
        },
        entrada);
}

MeetingDigest digest(const std::string& s) {
    return MeetingDigest{s, {"d"}, {{"t", "o", ""}}};
}

}  // namespace

TEST(Proceso, UnaParteEscribeElJsonSinSalto) {
    auto s =
        correr([](ModeloDoble& m) { m.respuestas.emplace_back(digest("S").generatedContent()); }, "hola\n");
    EXPECT_EQ(s.estado, 0) << s.err;
    EXPECT_TRUE(std::regex_match(s.err, std::regex("\\[llm\\] transcript de 5 caracteres en 1 bloque\\(s\\)\n"
                                                   "\\[llm\\] listo en [0-9]+\\.[0-9]s\n")))
        << s.err;
    EXPECT_TRUE(std::regex_match(
        s.out, std::regex(R"(\{"actionItems":\[\{"due":"","owner":"o","task":"t"\}\],)"
                          R"("decisions":\["d"\],"elapsedSeconds":[0-9.e-]+,"summary":"S"\})")))
        << s.out;
}

TEST(Proceso, VariasPartesNotasEnOrden) {
    std::string texto = std::string(5000, 'a') + "\n" + std::string(5000, 'b') + "\n";
    auto s = correr(
        [](ModeloDoble& m) {
            for (int i = 0; i < 3; ++i)
                m.respuestas.emplace_back(digest(std::to_string(i)).generatedContent());
        },
        texto);
    EXPECT_EQ(s.estado, 0) << s.err;
    EXPECT_TRUE(
        std::regex_match(s.err, std::regex("\\[llm\\] transcript de 10002 caracteres en 2 bloque\\(s\\)\n"
                                           "\\[llm\\] bloque 1/2 listo\n"
                                           "\\[llm\\] bloque 2/2 listo\n"
                                           "\\[llm\\] listo en [0-9]+\\.[0-9]s\n")))
        << s.err;
    EXPECT_NE(s.out.find(R"("summary":"2")"), std::string::npos) << s.out;
}

TEST(Proceso, FallaDeLaFusionDejaStdoutVacio) {
    std::string texto = std::string(5000, 'a') + "\n" + std::string(5000, 'b');
    auto s = correr(
        [](ModeloDoble& m) {
            m.respuestas.emplace_back(digest("1").generatedContent());
            m.respuestas.emplace_back(digest("2").generatedContent());
            m.respuestas.emplace_back(GenerationError{"sin memoria"});
        },
        texto);
    EXPECT_EQ(s.estado, 1);
    EXPECT_EQ(s.out, "");
    EXPECT_TRUE(s.err.ends_with("[llm] bloque 2/2 listo\nvkacta: el modelo falló: sin memoria\n")) << s.err;
}

TEST(Proceso, ModeloNoDisponibleSinTocarStdin) {
    auto noDisponible = [](ModeloDoble& m) {
        m.disponibilidad = Availability::unavailable("falta el archivo");
    };
    for (const auto& entrada : {std::optional<std::string>(""), std::optional<std::string>()}) {
        // With no entrada stdin never ends: a read would hang until the helper kills the child.
        auto s = correr(noDisponible, entrada);
        EXPECT_EQ(s.estado, 1);
        EXPECT_EQ(s.out, "");
        EXPECT_EQ(s.err, "vkacta: modelo no disponible: falta el archivo\n");
    }
}

TEST(Proceso, EntradaRechazada) {
    for (const std::string entrada : {"", "\xC2\x85", "\xE3\x80\x80", "hola\xFF"}) {
        auto s = correr([](ModeloDoble&) {}, entrada);
        EXPECT_EQ(s.estado, 1);
        EXPECT_EQ(s.out, "");
        EXPECT_EQ(s.err, "vkacta: no llegó transcript por stdin\n");
    }
}
