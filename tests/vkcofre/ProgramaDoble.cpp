// The vault's program against the keychain double: the real run (hardening, stdin, replies,
// statuses), with the double's state kept in a JSON file named by VKCOFRE_DOBLE between runs.
// Test builds only; the shipped program reads no environment.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "LlaveroDoble.h"
#include "Vault.h"

namespace {

using nlohmann::json;

Firma firmaDe(const std::string& s) {
    if (s == "conEquipo") return Firma::conEquipo;
    if (s == "sinFirmar") return Firma::sinFirmar;
    if (s == "danada") return Firma::danada;
    return Firma::sinEquipo;
}

CodigoDoble codigoDe(const json& j) {
    return {firmaDe(j.value("firma", "sinEquipo")), j.value("equipo", ""), j.value("identificador", "")};
}

void cargar(LlaveroDoble& d, const json& j) {
    if (j.contains("items") && j["items"].is_array())
        for (const auto& i : j["items"]) {
            const std::string b64 = i.at("datos");
            auto bytes = desdeBase64(reinterpret_cast<const unsigned char*>(b64.data()), b64.size());
            d.poner(i.at("cuenta"), bytes ? textoDe(*bytes) : std::string());
            d.items.back().servicio = i.value("servicio", d.items.back().servicio);
            d.items.back().etiqueta = i.value("etiqueta", "");
        }
    if (j.contains("guion") && j["guion"].is_object())
        for (const auto& [op, estados] : j["guion"].items())
            for (const auto& e : estados)
                d.guion[op].push_back(e.is_null() ? std::nullopt
                                                  : std::optional<OSStatus>(e.get<OSStatus>()));
    const std::string p = j.value("presencia", "aprueba");
    d.presencia = p == "cancela" ? Presencia::cancela : p == "falla" ? Presencia::falla : Presencia::aprueba;
    d.controlDeAccesoFalla = j.value("controlDeAccesoFalla", false);
    d.sinMemoriaEn = j.value("sinMemoriaEn", "");
    if (j.contains("propio")) d.propio = codigoDe(j["propio"]);
    if (j.contains("padre")) d.procesos[d.padre] = codigoDe(j["padre"]);
    if (j.contains("biometria"))
        d.evaluacion = {j["biometria"].value("puede", true),
                        j["biometria"].contains("motivo")
                            ? std::optional<std::string>(j["biometria"]["motivo"])
                            : std::nullopt};
}

json guardarEstado(const LlaveroDoble& d, json j) {
    j["items"] = json::array();
    for (const auto& i : d.items)
        j["items"].push_back({{"cuenta", i.cuenta},
                              {"servicio", i.servicio},
                              {"etiqueta", i.etiqueta},
                              {"datos", i.datos ? textoDe(aBase64(*i.datos)) : ""}});
    j["llamadas"] = d.llamadas;
    return j;
}

// Writes the keychain back when the run lets go of its platform. With "abre", keeps that file
// open meanwhile, as a real backend keeps descriptors of its own (a bus socket, an eventfd).
class LlaveroEnFichero : public LlaveroDoble {
  public:
    LlaveroEnFichero(std::string ruta, json estado) : ruta_(std::move(ruta)), estado_(std::move(estado)) {
        cargar(*this, estado_);
        if (estado_.contains("abre"))
            abierto_ =
                ::open(estado_["abre"].get<std::string>().c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    }
    ~LlaveroEnFichero() override {
        if (abierto_ >= 0) ::close(abierto_);
        if (ruta_.empty()) return;
        std::ofstream(ruta_) << guardarEstado(*this, estado_).dump();
    }
    LlaveroEnFichero(const LlaveroEnFichero&) = delete;
    LlaveroEnFichero& operator=(const LlaveroEnFichero&) = delete;

  private:
    std::string ruta_;
    json estado_;
    int abierto_ = -1;
};

}  // namespace

int main(int argc, char** argv) {
    const char* ruta = std::getenv("VKCOFRE_DOBLE");
    json estado = json::object();
    if (ruta != nullptr) {
        std::ifstream f(ruta);
        if (f) estado = json::parse(f, nullptr, false);
        if (estado.is_discarded() || !estado.is_object()) estado = json::object();
    }
    return correrBoveda(
        argc, argv, [&] { return std::make_unique<LlaveroEnFichero>(ruta != nullptr ? ruta : "", estado); });
}
