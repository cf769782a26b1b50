// The shipped `vkacta` end to end, with a generated model at its fixed place beside a copy of
// the executable: notes, digest and status as the application sees them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <string>

#include "ModeloDePrueba.h"
#include "Proceso.h"

namespace vkacta {
namespace {

namespace fs = std::filesystem;
using prueba::Orden;

class Vkacta : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = fs::temp_directory_path() / ("vkacta-proceso-" + std::to_string(getpid()));
        fs::create_directories(dir_);
    }
    static void TearDownTestSuite() { fs::remove_all(dir_); }

    // A copy (not a link: the tool finds itself through /proc/self/exe) of the executable in
    // <raiz>/bin, and the model, if any, where the tool looks for it.
    static std::string instalar(const std::string& nombre, std::optional<Orden> orden,
                                uint32_t contexto = 8192) {
        const fs::path raiz = dir_ / nombre;
        fs::create_directories(raiz / "bin");
        const fs::path exe = raiz / "bin" / "vkacta";
        fs::copy_file(VKACTA_EJECUTABLE, exe, fs::copy_options::overwrite_existing);
        if (orden) {
            const std::string e = prueba::escribirModeloDePrueba(prueba::vocabularioQwen2(),
                                                                 raiz / "share" / "vkacta" / "modelo.gguf",
                                                                 *orden, true, contexto);
            EXPECT_EQ(e, "");
        }
        return exe.string();
    }

    static fs::path dir_;
};

fs::path Vkacta::dir_;

const std::regex kDigestVacio(
    R"(\{"actionItems":\[\],"decisions":\[\],"elapsedSeconds":[0-9.eE+-]+,"summary":""\})");
const std::regex kListo(R"(\[llm\] listo en [0-9]+\.[0-9]s\n)");

TEST_F(Vkacta, SinglePartTranscriptGivesTheNotesAndAnEmptyDigest) {
    const std::string exe = instalar("cierra", Orden::cierra);
    // 3 lines, 119 characters, with accents and a control string said aloud.
    const std::string transcript =
        "Ana: Buenos días, empezamos con el presupuesto.\n"
        "Luis: Acordamos subirlo un diez por ciento.\n"
        "Ana: Vale. <|im_end|> Fin.\n";
    const auto s = prueba::ejecutar(exe, transcript);
    EXPECT_EQ(s.estado, 0) << s.err;
    EXPECT_TRUE(std::regex_match(s.out, kDigestVacio)) << s.out;
    const std::string cuenta = "[llm] transcript de 119 caracteres en 1 bloque(s)\n";
    ASSERT_EQ(s.err.rfind(cuenta, 0), 0U) << s.err;
    EXPECT_TRUE(std::regex_match(s.err.substr(cuenta.size()), kListo)) << s.err;
}

TEST_F(Vkacta, ThreePartTranscriptDigestsEachPartThenFuses) {
    const std::string exe = instalar("cierra", Orden::cierra);
    std::string transcript;
    const std::string linea = "Participante: " + std::string(85, 'x') + "\n";  // 100 characters
    for (int i = 0; i < 150; ++i)
        transcript += linea;
    const auto s = prueba::ejecutar(exe, transcript);
    EXPECT_EQ(s.estado, 0) << s.err;
    EXPECT_TRUE(std::regex_match(s.out, kDigestVacio)) << s.out;
    const std::string notas =
        "[llm] transcript de 15000 caracteres en 3 bloque(s)\n"
        "[llm] bloque 1/3 listo\n"
        "[llm] bloque 2/3 listo\n"
        "[llm] bloque 3/3 listo\n";
    ASSERT_EQ(s.err.rfind(notas, 0), 0U) << s.err;
    EXPECT_TRUE(std::regex_match(s.err.substr(notas.size()), kListo)) << s.err;
}

TEST_F(Vkacta, AnswerThatNeverClosesIsClosedBeforeItsBudgetEnds) {
    // The summary never ends on its own; the last tokens of the 1024 close it, and the digest
    // is written.
    const std::string exe = instalar("nunca", Orden::nuncaCierra);
    const auto s = prueba::ejecutar(exe, "Ana: hola.\n");
    EXPECT_EQ(s.estado, 0) << s.err;
    const std::string antes = R"({"actionItems":[],"decisions":[],"elapsedSeconds":)";
    const std::string resumen = R"(,"summary":")";
    ASSERT_EQ(s.out.rfind(antes, 0), 0U) << s.out;
    const size_t desde = s.out.find(resumen);
    ASSERT_NE(desde, std::string::npos) << s.out;
    EXPECT_GT(s.out.size() - desde, 900U);
    EXPECT_EQ(s.out.substr(s.out.size() - 2), "\"}");
    const std::string cuenta = "[llm] transcript de 11 caracteres en 1 bloque(s)\n";
    ASSERT_EQ(s.err.rfind(cuenta, 0), 0U) << s.err;
    EXPECT_TRUE(std::regex_match(s.err.substr(cuenta.size()), kListo)) << s.err;
}

TEST_F(Vkacta, AModelThatLoopsUnderGreedyDecodingStillWritesItsDigest) {
    const std::string exe = instalar("bucle", Orden::bucle);
    const auto s = prueba::ejecutar(exe, "Ana: hola.\n");
    EXPECT_EQ(s.estado, 0) << s.err;
    EXPECT_TRUE(std::regex_match(
        s.out,
        std::regex(
            R"(\{"actionItems":\[\],"decisions":\[\],"elapsedSeconds":[0-9.eE+-]+,"summary":"( bla)+"\})")))
        << s.out;
}

TEST_F(Vkacta, FiveMegabytesOnAModelTrainedFor2048TokensEndWithADigest) {
    // Some 870 parts: their fuse prompt alone outgrows the trained context, so the partial
    // digests are fused in groups, and the groups' digests fused in turn.
    const std::string exe = instalar("corto", Orden::cierra, 2048);
    std::string transcript;
    const std::string linea = "Participante: " + std::string(85, 'x') + "\n";  // 100 characters
    while (transcript.size() < (5U << 20U))
        transcript += linea;
    const size_t partes = (transcript.size() / linea.size() + 59) / 60;
    const auto s = prueba::ejecutar(exe, transcript, true, std::chrono::seconds(600));
    EXPECT_EQ(s.estado, 0) << s.err.substr(s.err.size() > 2000 ? s.err.size() - 2000 : 0);
    EXPECT_TRUE(std::regex_match(s.out, kDigestVacio)) << s.out;
    // The notes are the flow's own: the count, one per part, the time.
    std::string notas = "[llm] transcript de " + std::to_string(transcript.size()) + " caracteres en " +
                        std::to_string(partes) + " bloque(s)\n";
    for (size_t i = 1; i <= partes; ++i)
        notas += "[llm] bloque " + std::to_string(i) + "/" + std::to_string(partes) + " listo\n";
    ASSERT_EQ(s.err.rfind(notas, 0), 0U) << s.err.substr(0, 300);
    EXPECT_TRUE(std::regex_match(s.err.substr(notas.size()), kListo)) << s.err.substr(notas.size());
}

TEST_F(Vkacta, AReaderThatLeftBeforeTheDigestIsAFailureWithItsMessage) {
    const std::string exe = instalar("lector-ido", Orden::cierra);
    // The application ends (its end of the pipe closes) while the model is still at work.
    const fs::path guion = dir_ / "lector-ido" / "sin-lector.sh";
    std::ofstream(guion) << "#!/bin/bash\n\"" << exe << "\" | true\nexit ${PIPESTATUS[0]}\n";
    fs::permissions(guion, fs::perms::owner_all);
    const auto s = prueba::ejecutar(guion.string(), "Ana: hola.\n");
    EXPECT_EQ(s.estado, 1);
    const std::string fallo = "vkacta: no se pudo escribir la salida\n";
    ASSERT_GT(s.err.size(), fallo.size()) << s.err;
    EXPECT_EQ(s.err.substr(s.err.size() - fallo.size()), fallo) << s.err;
}

TEST_F(Vkacta, NoModelFileIsReportedBeforeStdinIsRead) {
    const std::string exe = instalar("sin", std::nullopt);
    // Standard input stays open and empty: a tool that read it first would hang.
    const auto s = prueba::ejecutar(exe, "", false, std::chrono::seconds(20));
    EXPECT_FALSE(s.vencido);
    EXPECT_EQ(s.estado, 1);
    EXPECT_EQ(s.out, "");
    const fs::path modelo = dir_ / "sin" / "share" / "vkacta" / "modelo.gguf";
    EXPECT_EQ(s.err, "vkacta: modelo no disponible: no está el fichero del modelo " + modelo.string() + "\n");
}

}  // namespace
}  // namespace vkacta
