// Storing, reading, deleting and testing items, against the keychain double.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "Corrida.h"
#include "Vault.h"

namespace {

void esError(const Corrida& c, const std::string& texto, int estado) {
    EXPECT_EQ(c.respuesta(), nlohmann::json({{"ok", false}, {"error", texto}})) << c.salida;
    EXPECT_EQ(c.estado, estado);
}

void esExito(const Corrida& c) {
    EXPECT_EQ(c.respuesta(), nlohmann::json({{"ok", true}})) << c.salida;
    EXPECT_EQ(c.estado, 0);
}

std::string bytesGuardados(const LlaveroDoble& d, const std::string& cuenta) {
    const ItemDoble* i = d.item(cuenta);
    return i && i->datos ? textoDe(*i->datos) : std::string("<nada>");
}

TEST(Base64, AceptaSoloElAlfabetoEstandarConRelleno) {
    EXPECT_EQ(bytesDe("QUJD"), "ABC");
    EXPECT_EQ(bytesDe("QUI="), "AB");
    EXPECT_EQ(bytesDe("QQ=="), "A");
    EXPECT_EQ(bytesDe("+/+/"), "\xfb\xff\xbf");
    for (const std::string& malo :
         std::vector<std::string>{"QQ", "QQ=", "QUI", "QQ===", "Q===", "QUJD=", "-_-_", "QU JD", "QUJD\n",
                                  "QU\nJD", " QUJD", "QUJD ", "QQ==QUJD", "=QUJ", "QU=D", "QUJ\xC3\xA9"}) {
        EXPECT_FALSE(desdeBase64(reinterpret_cast<const unsigned char*>(malo.data()), malo.size())) << malo;
    }
    // Only the canonical form: padding bits must be zero.
    for (const std::string& malo : std::vector<std::string>{"QR==", "QUJ="}) {
        EXPECT_FALSE(desdeBase64(reinterpret_cast<const unsigned char*>(malo.data()), malo.size())) << malo;
    }
    EXPECT_EQ(base64De(std::string("\xfb\xff\xbf\x00", 4)), "+/+/AA==");
}

TEST(Guardar, LaClaveMaestraTieneQueSer32Bytes) {
    for (std::size_t n : {31U, 33U, 1U, 64U}) {
        LlaveroDoble d;
        esError(correr(d, {"guardar"}, base64De(std::string(n, 'a')) + "\n"),
                "la clave debe ser 32 bytes en base64", 1);
        EXPECT_TRUE(d.llamadas.empty()) << n;
    }
    LlaveroDoble d;
    const std::string clave(32, '\xA5');
    ASSERT_EQ(base64De(clave).size(), 44U);
    esExito(correr(d, {"guardar"}, base64De(clave) + "\n"));
    EXPECT_EQ(bytesGuardados(d, "clave-maestra"), clave);
    EXPECT_EQ(d.item("secreto"), nullptr);
}

TEST(Guardar, ElSecretoAceptaDesdeUnByteSinLimite) {
    std::string largo(300000, '\0');
    for (std::size_t i = 0; i < largo.size(); ++i)
        largo[i] = static_cast<char>(i * 7 + 3);
    for (const std::string& secreto : {std::string("\x00", 1), std::string(31, 's'), largo}) {
        LlaveroDoble d;
        esExito(correr(d, {"guardar-secreto"}, base64De(secreto) + "\r\n"));
        EXPECT_EQ(bytesGuardados(d, "secreto"), secreto);
        EXPECT_EQ(d.item("clave-maestra"), nullptr);
    }
}

TEST(Guardar, LoQueNoEsBase64OSinBytesSeRechazaSinTocarElLlavero) {
    for (const std::string& entrada :
         std::vector<std::string>{"QUJ", "QUJ=", "QU JD", "QUJD-_", "QUJD===", "====", "****", "QQ"}) {
        LlaveroDoble d;
        esError(correr(d, {"guardar-secreto"}, entrada + "\n"), "lo que se guarda llega en base64 por stdin",
                1);
        EXPECT_TRUE(d.llamadas.empty()) << entrada;
    }
}

TEST(Guardar, ElItemLlevaServicioCuentaEtiquetaYControlDeAcceso) {
    LlaveroDoble d;
    esExito(correr(d, {"guardar"}, base64De(std::string(32, 'k')) + "\n"));
    esExito(correr(d, {"guardar-secreto"}, "c2VjcmV0bw==\n"));
    const ItemDoble* clave = d.item("clave-maestra");
    const ItemDoble* secreto = d.item("secreto");
    ASSERT_TRUE(clave && secreto);
    EXPECT_EQ(clave->etiqueta, "Veskora · clave de cifrado");
    EXPECT_EQ(secreto->etiqueta, "Veskora · clave de recuperación");
    for (const ItemDoble* i : {clave, secreto}) {
        EXPECT_TRUE(i->proteccionDeDatos);
        ASSERT_TRUE(i->control);
        EXPECT_EQ(i->control->flags, kSecAccessControlUserPresence);
        EXPECT_EQ(i->control->accesibilidad, SecAttrAccessible::kSecAttrAccessibleWhenUnlockedThisDeviceOnly);
    }
    // Delete first, then add; every query names the data-protection keychain.
    EXPECT_EQ(d.llamadas,
              (std::vector<std::string>{"SecAccessControlCreateWithFlags 1", "SecItemDelete clave-maestra",
                                        "SecItemAdd clave-maestra", "SecAccessControlCreateWithFlags 1",
                                        "SecItemDelete secreto", "SecItemAdd secreto"}));
    for (const Consulta& q : d.consultas)
        EXPECT_TRUE(*valorDe<bool>(q, SecClave::kSecUseDataProtectionKeychain));
    EXPECT_EQ(d.consultas[1].size(), 7U);  // base, data, access control, label
}

TEST(Guardar, GuardarDosVecesDejaSoloLaSegunda) {
    LlaveroDoble d;
    esExito(correr(d, {"guardar-secreto"}, base64De("primero") + "\n"));
    esExito(correr(d, {"guardar-secreto"}, base64De("segundo") + "\n"));
    EXPECT_EQ(d.items.size(), 1U);
    const Corrida c = correr(d, {"leer-secreto"});
    EXPECT_EQ(c.respuesta()["clave"], base64De("segundo"));
}

TEST(Guardar, SinControlDeAccesoOConElAltaRechazada) {
    LlaveroDoble d;
    d.poner("clave-maestra", std::string(32, 'v'));
    d.controlDeAccesoFalla = true;
    esError(correr(d, {"guardar"}, base64De(std::string(32, 'n')) + "\n"),
            "no se pudo crear el control de acceso del llavero", 1);
    EXPECT_EQ(bytesGuardados(d, "clave-maestra"), std::string(32, 'v')) << "nothing deleted";

    d.controlDeAccesoFalla = false;
    d.guion["SecItemAdd"] = {-34018};
    esError(correr(d, {"guardar"}, base64De(std::string(32, 'n')) + "\n"),
            "no se pudo guardar en el llavero (OSStatus -34018)", 1);
    EXPECT_EQ(d.item("clave-maestra"), nullptr);

    d.guion["SecItemAdd"] = {7};
    esError(correr(d, {"guardar-secreto"}, "QQ==\n"), "no se pudo guardar en el llavero (OSStatus 7)", 1);
}

TEST(Guardar, UnBorradoFallidoAntesDelAltaNoSeMira) {
    LlaveroDoble d;
    d.guion["SecItemDelete"] = {-25293};
    esExito(correr(d, {"guardar-secreto"}, "QQ==\n"));
    EXPECT_EQ(bytesGuardados(d, "secreto"), "A");
}

TEST(Leer, DevuelveLosBytesEnBase64CanonicoTrasElAviso) {
    LlaveroDoble d;
    const std::string clave = std::string("\x00\xff\x10", 3) + std::string(29, '\x80');
    d.poner("clave-maestra", clave);
    d.poner("secreto", "z");
    const Corrida c = correr(d, {"leer"});
    EXPECT_EQ(c.salida, "{\"clave\":\"" + base64De(clave) + "\",\"ok\":true}\n");
    EXPECT_EQ(c.estado, 0);
    EXPECT_NE(std::find(d.llamadas.begin(), d.llamadas.end(), "prompt desbloquear tus reuniones"),
              d.llamadas.end());

    const Corrida s = correr(d, {"leer-secreto"});
    EXPECT_EQ(s.salida, "{\"clave\":\"eg==\",\"ok\":true}\n");
    EXPECT_NE(std::find(d.llamadas.begin(), d.llamadas.end(), "prompt abrir una carpeta con candado"),
              d.llamadas.end());
    const Consulta& q = d.consultas.back();
    EXPECT_EQ(q.size(), 4U + 3U);
    EXPECT_TRUE(*valorDe<bool>(q, SecClave::kSecReturnData));
    EXPECT_TRUE(valorDe<SecMatchLimit>(q, SecClave::kSecMatchLimit));
}

TEST(Leer, NadaGuardadoDa2YSinAviso) {
    LlaveroDoble d;
    d.poner("secreto", "s");
    esError(correr(d, {"leer"}), "no hay clave guardada en el llavero", 2);
    d.items.clear();
    d.poner("clave-maestra", std::string(32, 'k'));
    esError(correr(d, {"leer-secreto"}), "no hay clave guardada en el llavero", 2);
    for (const auto& l : d.llamadas)
        EXPECT_FALSE(l.starts_with("prompt")) << l;
}

TEST(Leer, AvisoCanceladoOFallidoDa3) {
    for (Presencia p : {Presencia::cancela, Presencia::falla}) {
        LlaveroDoble d;
        d.poner("secreto", "s");
        d.presencia = p;
        esError(correr(d, {"leer-secreto"}), "Desbloqueo cancelado o fallido", 3);
        EXPECT_EQ(bytesGuardados(d, "secreto"), "s");
    }
}

TEST(Leer, EstadosDelLlaveroSinClave) {
    LlaveroDoble d;
    d.poner("clave-maestra", std::string(32, 'k'));
    d.guion["SecItemCopyMatching"] = {0};  // success, but nothing in the result slot
    esError(correr(d, {"leer"}), "el llavero devolvió algo que no es una clave", 1);
    d.datosComoAtributos = true;
    esError(correr(d, {"leer"}), "el llavero devolvió algo que no es una clave", 1);
    d.datosComoAtributos = false;
    d.guion["SecItemCopyMatching"] = {-25308};
    esError(correr(d, {"leer"}), "no se pudo leer del llavero (OSStatus -25308)", 1);
    d.guion["SecItemCopyMatching"] = {-25291};
    esError(correr(d, {"leer"}), "no se pudo leer del llavero (OSStatus -25291)", 1);
    d.guion["SecItemCopyMatching"] = {2147483647};
    esError(correr(d, {"leer"}), "no se pudo leer del llavero (OSStatus 2147483647)", 1);
    d.guion["SecItemCopyMatching"] = {-128};
    esError(correr(d, {"leer"}), "Desbloqueo cancelado o fallido", 3);
    d.guion["SecItemCopyMatching"] = {-25293};
    esError(correr(d, {"leer"}), "Desbloqueo cancelado o fallido", 3);
}

TEST(Borrar, BorraAmbasEnOrdenYDosVecesTambienEsExito) {
    LlaveroDoble d;
    d.poner("clave-maestra", std::string(32, 'k'));
    d.poner("secreto", "s");
    d.poner("otra", "o");
    esExito(correr(d, {"borrar"}));
    esExito(correr(d, {"borrar"}));
    EXPECT_EQ(d.llamadas, (std::vector<std::string>{"SecItemDelete clave-maestra", "SecItemDelete secreto",
                                                    "SecItemDelete clave-maestra", "SecItemDelete secreto"}));
    EXPECT_EQ(d.items.size(), 1U);
    for (const Consulta& q : d.consultas)
        EXPECT_EQ(q.size(), 4U) << "no authentication context";
}

TEST(Borrar, UnBorradoFallidoDetieneLoQueSigue) {
    LlaveroDoble d;
    d.poner("clave-maestra", std::string(32, 'k'));
    d.poner("secreto", "s");
    d.guion["SecItemDelete"] = {-25293};
    esError(correr(d, {"borrar"}), "no se pudo borrar del llavero (OSStatus -25293)", 1);
    EXPECT_EQ(d.items.size(), 2U);
    EXPECT_EQ(d.llamadas.size(), 1U);

    d.guion["SecItemDelete"] = {std::nullopt, -34018};
    esError(correr(d, {"borrar"}), "no se pudo borrar del llavero (OSStatus -34018)", 1);
    EXPECT_EQ(d.item("clave-maestra"), nullptr);
    EXPECT_EQ(bytesGuardados(d, "secreto"), "s");
}

TEST(Hay, FalsoSoloCuandoNoSeEncuentra) {
    LlaveroDoble d;
    Boveda b(d, -1, -1);
    EXPECT_FALSE(b.hay("secreto"));
    d.poner("secreto", "s");
    EXPECT_TRUE(b.hay("secreto"));
    EXPECT_FALSE(b.hay("clave-maestra"));
    for (OSStatus e : {0, -25308, -34018, -25291, -128, 1}) {
        d.guion["SecItemCopyMatching"] = {e};
        EXPECT_TRUE(b.hay("clave-maestra")) << e;
    }
    d.guion["SecItemCopyMatching"] = {-25300};
    EXPECT_FALSE(b.hay("secreto"));

    // No data, no prompt, no match limit, interaction forbidden.
    const Consulta& q = d.consultas.back();
    EXPECT_EQ(q.size(), 6U);
    EXPECT_TRUE(*valorDe<bool>(q, SecClave::kSecReturnAttributes));
    EXPECT_EQ(valorDe<bool>(q, SecClave::kSecReturnData), nullptr);
    const auto* ctx = valorDe<std::shared_ptr<LAContext>>(q, SecClave::kSecUseAuthenticationContext);
    ASSERT_TRUE(ctx && *ctx);
    EXPECT_TRUE((*ctx)->interactionNotAllowed());
    for (const auto& l : d.llamadas)
        EXPECT_FALSE(l.starts_with("prompt")) << l;
}

TEST(Hay, DespuesDeBorrarNoHayNada) {
    LlaveroDoble d;
    d.poner("clave-maestra", std::string(32, 'k'));
    d.poner("secreto", "s");
    correr(d, {"borrar"});
    Boveda b(d, -1, -1);
    EXPECT_FALSE(b.hay("clave-maestra"));
    EXPECT_FALSE(b.hay("secreto"));
}

TEST(ConsultaBase, CuatroEntradas) {
    LlaveroDoble d;
    Boveda b(d, -1, -1);
    const Consulta q = b.consultaBase("secreto");
    EXPECT_EQ(q.size(), 4U);
    EXPECT_EQ(*valorDe<SecClass>(q, SecClave::kSecClass), SecClass::kSecClassGenericPassword);
    EXPECT_EQ(*valorDe<std::string>(q, SecClave::kSecAttrService), VK_SERVICIO_BOVEDA);
    EXPECT_EQ(*valorDe<std::string>(q, SecClave::kSecAttrAccount), "secreto");
    EXPECT_TRUE(*valorDe<bool>(q, SecClave::kSecUseDataProtectionKeychain));
}

TEST(Entrada, LineaLargaYSinFinDeLinea) {
    const std::string linea(100000, 'Q');
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    std::thread escritor([&] {
        (void)!write(p[1], linea.data(), linea.size());
        close(p[1]);
    });
    const BytesSeguros leida = leerPrimeraLinea(p[0]);
    escritor.join();
    close(p[0]);
    EXPECT_EQ(textoDe(leida), linea);
}

}  // namespace
