// The command line, the input line and the reply contract.
#include <gtest/gtest.h>

#include "Corrida.h"

namespace {

const std::string kClave32 = base64De(std::string(32, '\x07'));

void esError(const Corrida& c, const std::string& texto, int estado) {
    const auto r = c.respuesta();
    EXPECT_EQ(r, nlohmann::json({{"ok", false}, {"error", texto}})) << c.salida;
    EXPECT_EQ(c.estado, estado);
}

TEST(Ordenes, SinOrdenDaElUsoYNoTocaElLlavero) {
    LlaveroDoble d;
    esError(
        correr(d, {}),
        "uso: vkcofre estado | guardar | guardar-secreto (base64 por stdin) | leer | leer-secreto | borrar",
        1);
    EXPECT_TRUE(d.llamadas.empty());
}

TEST(Ordenes, LasPalabrasSeComparanEnterasYConMayusculas) {
    for (const std::string& palabra :
         std::vector<std::string>{"Estado", "LEER", "guardar ", "", "borra", "leer-secretos", "-h"}) {
        LlaveroDoble d;
        esError(correr(d, {palabra}), "orden desconocida: " + palabra, 1);
        EXPECT_TRUE(d.llamadas.empty()) << palabra;
    }
}

TEST(Ordenes, UnaPalabraQueNoEsUtf8SigueDandoUnaLinea) {
    LlaveroDoble d;
    const Corrida c = correr(d, {"\xff\xfe"});
    EXPECT_EQ(c.estado, 1);
    EXPECT_EQ(c.respuesta()["error"], "orden desconocida: \xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Ordenes, LasQueNoGuardanIgnoranArgumentosDeMas) {
    for (const std::string& orden : std::vector<std::string>{"estado", "leer", "leer-secreto", "borrar"}) {
        LlaveroDoble con, sin;
        con.poner("clave-maestra", std::string(32, 'k'));
        con.poner("secreto", "s");
        sin.poner("clave-maestra", std::string(32, 'k'));
        sin.poner("secreto", "s");
        const Corrida a = correr(con, {orden, "de", "mas"}, "QUJD\n");
        const Corrida b = correr(sin, {orden});
        EXPECT_EQ(a.estado, 0) << orden;
        EXPECT_EQ(a.leidos, 0) << orden << ": standard input is not read";
        if (orden != "estado") {
            EXPECT_EQ(a.salida, b.salida) << orden;
        }
        EXPECT_EQ(con.items.size(), sin.items.size()) << orden;
    }
}

TEST(Ordenes, GuardarConArgumentoLoRechazaSinLeerNiGuardar) {
    for (const std::string& orden : std::vector<std::string>{"guardar", "guardar-secreto"}) {
        LlaveroDoble d;
        const Corrida c = correr(d, {orden, kClave32}, kClave32 + "\n");
        esError(c, "la clave se entrega por stdin, no como argumento", 1);
        EXPECT_EQ(c.leidos, 0);
        EXPECT_TRUE(d.llamadas.empty());
    }
}

TEST(Ordenes, SinLineaOConLineaVaciaFaltaLaClave) {
    for (const std::string& entrada : std::vector<std::string>{"", "\n", "\r\n", "\n" + kClave32 + "\n"}) {
        LlaveroDoble d;
        esError(correr(d, {"guardar"}, entrada), "falta la clave en base64 por stdin", 1);
        EXPECT_TRUE(d.items.empty());
    }
}

TEST(Ordenes, SoloSeLeeLaPrimeraLinea) {
    LlaveroDoble d;
    const std::string otra = base64De(std::string(32, 'x'));
    const Corrida c = correr(d, {"guardar"}, kClave32 + "\n" + otra + "\n");
    EXPECT_EQ(c.estado, 0) << c.salida;
    EXPECT_EQ(c.leidos, static_cast<long>(kClave32.size() + 1));
    ASSERT_NE(d.item("clave-maestra"), nullptr);
    EXPECT_EQ(textoDe(*d.item("clave-maestra")->datos), std::string(32, '\x07'));
}

TEST(Ordenes, FinDeLineaLfCrLfONingunoYNadaMasSeRecorta) {
    for (const std::string& entrada :
         std::vector<std::string>{kClave32 + "\n", kClave32 + "\r\n", kClave32}) {
        LlaveroDoble d;
        EXPECT_EQ(correr(d, {"guardar"}, entrada).estado, 0);
    }
    for (const std::string& entrada :
         std::vector<std::string>{kClave32 + " \n", " " + kClave32 + "\n", kClave32 + "\r",
                                  kClave32 + "\r\r\n", kClave32 + "\t\n"}) {
        LlaveroDoble d;
        esError(correr(d, {"guardar"}, entrada), "lo que se guarda llega en base64 por stdin", 1);
        EXPECT_TRUE(d.items.empty());
    }
}

TEST(Ordenes, UnaCorridaFallidaNuncaEscribeUnExitoAntes) {
    LlaveroDoble d;
    d.guion["SecItemAdd"] = {-34018};
    const Corrida c = correr(d, {"guardar-secreto"}, "QUJD\n");
    esError(c, "no se pudo guardar en el llavero (OSStatus -34018)", 1);
}

}  // namespace
