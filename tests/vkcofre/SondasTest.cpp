// The probes and the state report.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>

#include "Corrida.h"
#include "Vault.h"

namespace {

const char* const kSinPermiso =
    "al llavero protegido le falta el permiso de identificador de aplicación, que solo llega con un perfil "
    "de "
    "aprovisionamiento dentro de la app";

TEST(Biometria, RespuestaYMotivoDelContexto) {
    LlaveroDoble d;
    Boveda b(d, -1, -1);
    d.evaluacion = {true, std::nullopt};
    Sonda s = b.biometriaDisponible();
    EXPECT_TRUE(s.valor);
    EXPECT_FALSE(s.motivo);
    EXPECT_EQ(d.llamadas, (std::vector<std::string>{"LAContext", "canEvaluatePolicy 2"}));
    d.evaluacion = {false, "No hay contraseña"};
    s = b.biometriaDisponible();
    EXPECT_FALSE(s.valor);
    EXPECT_EQ(s.motivo, "No hay contraseña");
    d.evaluacion = {true, "aviso"};  // an error may come with either answer
    EXPECT_EQ(b.biometriaDisponible().motivo, "aviso");
}

TEST(LlaveroProtegido, CadaFilaDeLaTabla) {
    struct Caso {
        std::deque<std::optional<OSStatus>> alta, busqueda;
        bool valor;
        std::optional<std::string> motivo;
    };
    const std::vector<Caso> casos{
        {{}, {}, true, std::nullopt},
        {{}, {-25300}, false, "el llavero guarda la clave pero después no la encuentra"},
        {{-34018}, {}, false, kSinPermiso},
        {{-25291}, {}, false, "OSStatus -25291"},
        {{-25299}, {}, false, "OSStatus -25299"},
        {{12}, {}, false, "OSStatus 12"},
        {{0},
         {},
         false,
         "el llavero guarda la clave pero después no la encuentra"},  // claimed but never stored
    };
    for (const Caso& caso : casos) {
        LlaveroDoble d;
        d.guion["SecItemAdd"] = caso.alta;
        d.guion["SecItemCopyMatching"] = caso.busqueda;
        Boveda b(d, -1, -1);
        const Sonda s = b.llaveroProtegidoUtilizable();
        EXPECT_EQ(s.valor, caso.valor);
        EXPECT_EQ(s.motivo, caso.motivo);
        EXPECT_TRUE(d.items.empty()) << "the probe item is always deleted";
        // Add, maybe look up, always delete: all under one probe account.
        std::set<std::string> cuentas;
        for (const Consulta& q : d.consultas)
            cuentas.insert(*valorDe<std::string>(q, SecClave::kSecAttrAccount));
        ASSERT_EQ(cuentas.size(), 1U);
        EXPECT_TRUE(std::regex_match(
            *cuentas.begin(),
            std::regex("sonda-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
            << *cuentas.begin();
        const bool alta0 = caso.alta.empty() || caso.alta.front() == 0;
        EXPECT_EQ(d.llamadas.back().rfind("SecItemDelete sonda-", 0), 0U);
        EXPECT_EQ(d.consultas.size(), alta0 ? 3U : 2U) << "no look-up after a refused add";
    }
}

TEST(LlaveroProtegido, LaSondaGuarda32CerosSinEtiquetaYConControl) {
    LlaveroDoble d;
    Boveda b(d, -1, -1);
    b.llaveroProtegidoUtilizable();
    const Consulta& alta = d.consultas.front();
    EXPECT_EQ(alta.size(), 6U);
    EXPECT_EQ(valorDe<std::string>(alta, SecClave::kSecAttrLabel), nullptr);
    const auto& datos = *valorDe<std::shared_ptr<const BytesSeguros>>(alta, SecClave::kSecValueData);
    EXPECT_EQ(textoDe(*datos), std::string(32, '\0'));
    EXPECT_TRUE(valorDe<std::shared_ptr<const SecAccessControl>>(alta, SecClave::kSecAttrAccessControl));
}

TEST(LlaveroProtegido, SinControlDeAccesoNoTocaElLlavero) {
    LlaveroDoble d;
    d.controlDeAccesoFalla = true;
    Boveda b(d, -1, -1);
    const Sonda s = b.llaveroProtegidoUtilizable();
    EXPECT_FALSE(s.valor);
    EXPECT_EQ(s.motivo, "sin control de acceso");
    EXPECT_TRUE(d.consultas.empty());
}

TEST(LlaveroProtegido, SondasConcurrentesUsanCuentasDistintasYNoDejanNada) {
    constexpr int kHilos = 8;
    std::vector<LlaveroDoble> dobles(kHilos);
    std::vector<std::string> cuentas(kHilos);
    std::vector<std::thread> hilos;
    for (int i = 0; i < kHilos; ++i)
        hilos.emplace_back([&, i] {
            Boveda b(dobles[static_cast<size_t>(i)], -1, -1);
            EXPECT_TRUE(b.llaveroProtegidoUtilizable().valor);
            cuentas[static_cast<size_t>(i)] = *valorDe<std::string>(
                dobles[static_cast<size_t>(i)].consultas.front(), SecClave::kSecAttrAccount);
        });
    for (auto& h : hilos)
        h.join();
    EXPECT_EQ(std::set<std::string>(cuentas.begin(), cuentas.end()).size(), static_cast<size_t>(kHilos));
    for (const auto& d : dobles)
        EXPECT_TRUE(d.items.empty());
}

TEST(FirmadoSinEquipo, SoloUnaFirmaValidaSinEquipo) {
    const std::vector<std::pair<Firma, bool>> casos{{Firma::sinEquipo, true},
                                                    {Firma::conEquipo, false},
                                                    {Firma::sinFirmar, false},
                                                    {Firma::danada, false}};
    for (const auto& [firma, esperado] : casos) {
        LlaveroDoble d;
        d.propio = {firma, "EQUIPO1234", "com.veskora.desktop.llavero"};
        Boveda b(d, -1, -1);
        EXPECT_EQ(b.firmadoSinEquipo(), esperado) << static_cast<int>(firma);
    }
    for (const std::string& paso :
         std::vector<std::string>{"SecCodeCopySelf", "SecCodeCheckValidity", "SecCodeCopyStaticCode",
                                  "SecCodeCopySigningInformation"}) {
        LlaveroDoble d;
        d.guion[paso] = {-1};
        Boveda b(d, -1, -1);
        EXPECT_FALSE(b.firmadoSinEquipo()) << paso;
    }
    LlaveroDoble d;
    d.sinInformacionDeFirma = true;
    Boveda b(d, -1, -1);
    EXPECT_FALSE(b.firmadoSinEquipo());
    EXPECT_EQ(d.llamadas.back(), "SecCodeCopySigningInformation 2");
}

TEST(Estado, InformeCompletoConMotivosNulos) {
    LlaveroDoble d;
    d.poner("secreto", "s");
    const Corrida c = correr(d, {"estado"});
    EXPECT_EQ(c.estado, 0);
    EXPECT_EQ(c.respuesta(),
              nlohmann::json::parse(R"({"ok":true,"biometria":true,"motivo":null,"llavero":true,
        "motivoLlavero":null,"guardada":false,"secreto":true})"));
    // Probes in order: authentication, keychain, then the two presence tests. Nobody is asked.
    std::vector<std::string> orden;
    for (const auto& l : d.llamadas)
        if (l.starts_with("canEvaluatePolicy") || l.starts_with("SecItem"))
            orden.push_back(l.substr(0, l.find(" sonda-")));
    EXPECT_EQ(orden, (std::vector<std::string>{"canEvaluatePolicy 2", "SecItemAdd", "SecItemCopyMatching",
                                               "SecItemDelete", "SecItemCopyMatching clave-maestra",
                                               "SecItemCopyMatching secreto"}));
    for (const auto& l : d.llamadas)
        EXPECT_FALSE(l.starts_with("prompt") || l.starts_with("SecCode")) << l;
}

TEST(Estado, ConMotivosYSinPermisoDelLlavero) {
    LlaveroDoble d;
    d.evaluacion = {false, "Biometría no disponible"};
    // The protected keychain refuses the program: the probe says so, and presence tests
    // still count the refusal as present.
    d.guion["SecItemAdd"] = {-34018};
    d.guion["SecItemCopyMatching"] = {-34018, -34018};
    const Corrida c = correr(d, {"estado", "x"});
    EXPECT_EQ(c.estado, 0);
    EXPECT_EQ(c.respuesta(), nlohmann::json({{"ok", true},
                                             {"biometria", false},
                                             {"motivo", "Biometría no disponible"},
                                             {"llavero", false},
                                             {"motivoLlavero", kSinPermiso},
                                             {"guardada", true},
                                             {"secreto", true}}));
}

}  // namespace
