// The whole program as the application sees it: arguments, stdin, one reply line on stdout,
// nothing on stderr, the exit status. Runs the test build over the keychain double, whose
// state lives in a file between runs.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "LlaveroDoble.h"
#include "Proceso.h"
#include "Vault.h"

namespace {

using nlohmann::json;

class Programa : public ::testing::Test {
  protected:
    void SetUp() override {
        char plantilla[] = "/tmp/vkcofre-prueba-XXXXXX";
        ASSERT_NE(mkdtemp(plantilla), nullptr);
        dir_ = plantilla;
        estado_ = dir_ / "llavero.json";
        setenv("VKCOFRE_DOBLE", estado_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("VKCOFRE_DOBLE");
        std::filesystem::remove_all(dir_);
    }
    void escribir(const json& j) { std::ofstream(estado_) << j.dump(); }
    json leido() {
        std::ifstream f(estado_);
        return json::parse(f);
    }
    Salida vkcofre(const std::vector<std::string>& args, const std::string& entrada = {}) {
        Salida s = ejecutar(VKCOFRE_DOBLE_BIN, args, entrada);
        EXPECT_EQ(s.err, "") << "the vault writes nothing to stderr";
        EXPECT_EQ(s.out.find('\n'), s.out.size() - 1) << "exactly one line: " << s.out;
        return s;
    }

    std::filesystem::path dir_, estado_;
};

TEST_F(Programa, SinArgumentosDaLaRespuestaDeUsoYEstado1) {
    const Salida s = vkcofre({});
    EXPECT_EQ(s.out,
              "{\"error\":\"uso: vkcofre estado | guardar | guardar-secreto (base64 por stdin) | leer | "
              "leer-secreto | borrar\",\"ok\":false}\n");
    EXPECT_EQ(s.estado, 1);
}

TEST_F(Programa, GuardarLeerYBorrarEntreProcesos) {
    const std::string clave = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
    Salida s = vkcofre({"guardar"}, clave + "\r\nresto que no se lee\n");
    EXPECT_EQ(s.out, "{\"ok\":true}\n");
    EXPECT_EQ(s.estado, 0);
    const json guardado = leido();
    ASSERT_EQ(guardado["items"].size(), 1U);
    EXPECT_EQ(guardado["items"][0]["etiqueta"], "Veskora · clave de cifrado");

    s = vkcofre({"leer", "ignorado"});
    EXPECT_EQ(s.out, "{\"clave\":\"" + clave + "\",\"ok\":true}\n");
    EXPECT_EQ(s.estado, 0);

    s = vkcofre({"estado"});
    EXPECT_EQ(json::parse(s.out), json::parse(R"({"ok":true,"biometria":true,"motivo":null,"llavero":true,
        "motivoLlavero":null,"guardada":true,"secreto":false})"));

    EXPECT_EQ(vkcofre({"borrar"}).out, "{\"ok\":true}\n");
    s = vkcofre({"leer"});
    EXPECT_EQ(s.out, "{\"error\":\"no hay clave guardada en el llavero\",\"ok\":false}\n");
    EXPECT_EQ(s.estado, 2);
}

TEST_F(Programa, AvisoCanceladoDa3) {
    escribir({{"items", {{{"cuenta", "secreto"}, {"datos", "c2VjcmV0bw=="}}}}, {"presencia", "cancela"}});
    const Salida s = vkcofre({"leer-secreto"});
    EXPECT_EQ(s.out, "{\"error\":\"Desbloqueo cancelado o fallido\",\"ok\":false}\n");
    EXPECT_EQ(s.estado, 3);
}

TEST_F(Programa, UnVaultDelEquipoLlamadoDesdeUnaTerminalNoLee) {
    escribir({{"items",
               {{{"cuenta", "clave-maestra"}, {"datos", "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8="}}}},
              {"propio", {{"firma", "conEquipo"}, {"equipo", "EQUIPO1234"}, {"identificador", "x"}}}});
    const Salida s = vkcofre({"leer"});
    EXPECT_EQ(s.out, "{\"error\":\"solo la app puede pedir la clave\",\"ok\":false}\n");
    EXPECT_EQ(s.estado, 1);
    const json despues = leido();
    ASSERT_FALSE(despues["llamadas"].empty());
    for (const auto& l : despues["llamadas"])
        EXPECT_FALSE(l.get<std::string>().starts_with("SecItem")) << l;
}

TEST_F(Programa, GuardarConArgumentoNoGuarda) {
    const Salida s = vkcofre({"guardar-secreto", "QQ=="}, "QQ==\n");
    EXPECT_EQ(s.out, "{\"error\":\"la clave se entrega por stdin, no como argumento\",\"ok\":false}\n");
    EXPECT_EQ(s.estado, 1);
    EXPECT_FALSE(std::filesystem::exists(estado_)) << "the keychain was never opened";
}

#ifdef VKCOFRE_BIN
TEST(ProgramaEntregado, LineaDeOrdenesSinTocarElLlavero) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> casos{
        {{},
         "{\"error\":\"uso: vkcofre estado | guardar | guardar-secreto (base64 por stdin) | leer | "
         "leer-secreto | "
         "borrar\",\"ok\":false}\n"},
        {{"Estado"}, "{\"error\":\"orden desconocida: Estado\",\"ok\":false}\n"},
        {{"guardar", "QQ=="},
         "{\"error\":\"la clave se entrega por stdin, no como argumento\",\"ok\":false}\n"},
        {{"guardar"}, "{\"error\":\"falta la clave en base64 por stdin\",\"ok\":false}\n"},
        {{"guardar-secreto"}, "{\"error\":\"lo que se guarda llega en base64 por stdin\",\"ok\":false}\n"},
    };
    for (const auto& [args, respuesta] : casos) {
        const Salida s =
            ejecutar(VKCOFRE_BIN, args, args.size() == 1 && args[0] == "guardar-secreto" ? "QQ=\n" : "");
        EXPECT_EQ(s.out, respuesta);
        EXPECT_EQ(s.err, "");
        EXPECT_EQ(s.estado, 1);
    }
}
#endif

TEST(Endurecimiento, ElProcesoSeVuelveNoVolcable) {
    // Runs the entry in this process with stdout sent elsewhere, then asks the kernel.
    const int copia = dup(STDOUT_FILENO);
    FILE* nulo = std::fopen("/dev/null", "w");
    ASSERT_TRUE(nulo);
    dup2(fileno(nulo), STDOUT_FILENO);
    char programa[] = "vkcofre";
    char* argv[] = {programa, nullptr};
    const int codigo = correrBoveda(1, argv, [] { return std::make_unique<LlaveroDoble>(); });
    dup2(copia, STDOUT_FILENO);
    close(copia);
    std::fclose(nulo);
    EXPECT_EQ(codigo, 1);
    EXPECT_EQ(prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 0);
    prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
}

}  // namespace
