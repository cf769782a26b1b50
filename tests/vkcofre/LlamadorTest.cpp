// Who may read: the parent must be the application, unless the vault is signed without a team.
#include <gtest/gtest.h>

#include "Corrida.h"
#include "Vault.h"

namespace {

constexpr const char* kRechazo = "solo la app puede pedir la clave";

LlaveroDoble conEquipo() {
    LlaveroDoble d;
    d.propio = {Firma::conEquipo, "EQUIPO1234", "com.veskora.desktop.llavero"};
    d.procesos[d.padre] = {Firma::conEquipo, "EQUIPO1234", "com.veskora.desktop"};
    d.poner("clave-maestra", std::string(32, 'k'));
    d.poner("secreto", "s");
    return d;
}

TEST(Llamador, ElRequisitoNombraEquipoYLasDosApps) {
    EXPECT_EQ(Boveda::requisitoDeLaApp({"ABCDE12345", "com.veskora.desktop", "com.veskora.desktop.beta"}),
              "anchor apple generic and certificate leaf[subject.OU] = \"ABCDE12345\" and (identifier "
              "\"com.veskora.desktop\" or identifier \"com.veskora.desktop.beta\")");
}

TEST(Llamador, LaAppFirmadaPorElEquipoLee) {
    for (const std::string& id :
         std::vector<std::string>{"com.veskora.desktop", "com.veskora.desktop.beta"}) {
        LlaveroDoble d = conEquipo();
        d.procesos[d.padre].identificador = id;
        const Corrida c = correr(d, {"leer-secreto"});
        EXPECT_EQ(c.estado, 0) << c.salida;
        EXPECT_EQ(c.respuesta()["clave"], "cw==");
        // The parent is looked up by its pid and checked against the compiled requirement.
        EXPECT_EQ(d.requisitos, (std::vector<std::string>{Boveda::requisitoDeLaApp(d.identidad)}));
    }
}

TEST(Llamador, SinEquipoNoSeComprueba) {
    LlaveroDoble d = conEquipo();
    d.propio.firma = Firma::sinEquipo;
    d.procesos.clear();
    EXPECT_EQ(correr(d, {"leer"}).estado, 0);
    for (const auto& l : d.llamadas)
        EXPECT_TRUE(l != "SecRequirementCreateWithString" && l != "getppid" &&
                    l != "SecCodeCopyGuestWithAttributes")
            << l;
}

TEST(Llamador, CadaCausaDeRechazoDaLoMismoSinTocarElLlavero) {
    struct Caso {
        const char* nombre;
        void (*preparar)(LlaveroDoble&);
    };
    const Caso casos[] = {
        {"requisito sin compilar",
         [](LlaveroDoble& d) { d.guion["SecRequirementCreateWithString"] = {-67052}; }},
        {"padre no encontrado", [](LlaveroDoble& d) { d.procesos.clear(); }},
        {"padre que no es la app (una terminal)",
         [](LlaveroDoble& d) {
             d.procesos[d.padre] = {Firma::sinFirmar, "", "bash"};
         }},
        {"padre con la firma rota", [](LlaveroDoble& d) { d.procesos[d.padre].firma = Firma::danada; }},
        {"padre de otro equipo", [](LlaveroDoble& d) { d.procesos[d.padre].equipo = "OTRO567890"; }},
        {"padre del equipo con otro identificador",
         [](LlaveroDoble& d) { d.procesos[d.padre].identificador = "com.veskora.desktop.otra"; }},
        {"padre firmado sin equipo", [](LlaveroDoble& d) { d.procesos[d.padre].firma = Firma::sinEquipo; }},
        // Only a valid signature without a team skips the check; an unsigned vault does not.
        {"vault sin firmar, padre una terminal",
         [](LlaveroDoble& d) {
             d.propio.firma = Firma::sinFirmar;
             d.procesos[d.padre] = {Firma::sinFirmar, "", "bash"};
         }},
        {"vault con la firma rota",
         [](LlaveroDoble& d) {
             d.propio.firma = Firma::danada;
             d.procesos[d.padre].equipo = "OTRO567890";
         }},
    };
    for (const Caso& caso : casos) {
        for (const std::string& orden : std::vector<std::string>{"leer", "leer-secreto"}) {
            LlaveroDoble d = conEquipo();
            caso.preparar(d);
            const Corrida c = correr(d, {orden});
            EXPECT_EQ(c.respuesta(), nlohmann::json({{"ok", false}, {"error", kRechazo}})) << caso.nombre;
            EXPECT_EQ(c.estado, 1) << caso.nombre;
            EXPECT_TRUE(d.consultas.empty()) << caso.nombre << ": keychain touched";
            for (const auto& l : d.llamadas)
                EXPECT_NE(l, "LAContext") << caso.nombre;
        }
    }
}

TEST(Llamador, SoloLasOrdenesDeLectura) {
    LlaveroDoble d = conEquipo();
    d.procesos.clear();  // a terminal
    EXPECT_EQ(correr(d, {"leer"}).estado, 1);
    d.llamadas.clear();
    EXPECT_EQ(correr(d, {"estado"}).estado, 0);
    EXPECT_EQ(correr(d, {"guardar"}, base64De(std::string(32, 'n')) + "\n").estado, 0);
    EXPECT_EQ(correr(d, {"borrar"}).estado, 0);
    for (const auto& l : d.llamadas)
        EXPECT_NE(l, "getppid") << "only the first leer checks the caller";
}

}  // namespace
