// The test build's hardware: the double, scripted by the JSON in VKOIDO_DOBLE. Only the
// vkoido_doble test program links this; the shipped vkoido reads no environment.
#include <chrono>
#include <cstdlib>
#include <thread>

#include "AudioHardwareDoble.h"

namespace {

std::uint32_t codigo(const std::string& s) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i)
        v = (v << 8) | static_cast<unsigned char>(i < s.size() ? s[i] : ' ');
    return v;
}

// Applies the script's timed events from a thread of its own.
class DobleGuionado final : public AudioHardwareDoble {
  public:
    explicit DobleGuionado(const nlohmann::json& g) {
        for (const auto& d : g.value("dispositivos", nlohmann::json::array())) {
            DispositivoDoble x;
            x.id = d.at("id").get<AudioObjectID>();
            x.uid = d.value("uid", "uid-" + std::to_string(x.id));
            x.nombre = d.value("nombre", "Salida " + std::to_string(x.id));
            x.transporte = codigo(d.value("transporte", "bltn"));
            x.vivo = d.value("vivo", true);
            x.tasaNominal = d.value("tasa", 48000.0);
            x.formatoTap = formatoFloatEntrelazado(d.value("tasaTap", x.tasaNominal), d.value("canales", 2U));
            agregar(x);
        }
        porDefecto(g.value("porDefecto", 0U));
        const auto estados = g.value("estados", nlohmann::json::object());
        for (const auto& [k, v] : estados.items())
            estado(k, v.get<OSStatus>());
        for (const auto& k : g.value("idCero", nlohmann::json::array()))
            idCero(k.get<std::string>());
        const auto fallos = g.value("fallosDeLectura", nlohmann::json::object());
        for (const auto& [k, v] : fallos.items())
            falloDeLectura(codigo(k), v.get<OSStatus>());
        if (g.contains("alimentar")) {
            const auto& a = g["alimentar"];
            alimentar(a.value("cadaMs", 10), a.value("tono", 1000.0), a.value("amplitud", 0.5F));
        }
        eventos_ = g.value("eventos", nlohmann::json::array());
        if (!eventos_.empty()) hilo_ = std::thread([this] { correr(); });
    }
    ~DobleGuionado() override {
        terminar_ = true;
        if (hilo_.joinable()) hilo_.join();
    }

  private:
    void correr() {
        const auto inicio = std::chrono::steady_clock::now();
        for (const auto& e : eventos_) {
            const auto cuando = inicio + std::chrono::duration<double>(e.value("en", 0.0));
            while (!terminar_ && std::chrono::steady_clock::now() < cuando)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (terminar_) return;
            if (e.contains("porDefecto")) porDefecto(e["porDefecto"].get<AudioObjectID>());
            if (e.contains("tasas")) {
                const auto& t = e["tasas"];
                tasas(t.at(0).get<AudioObjectID>(), t.at(1).get<double>(), t.at(2).get<double>());
            }
            if (e.contains("vivo")) vivo(e["vivo"].at(0).get<AudioObjectID>(), e["vivo"].at(1).get<bool>());
            const auto estados = e.value("estados", nlohmann::json::object());
            for (const auto& [k, v] : estados.items())
                estado(k, v.get<OSStatus>());
            for (const auto& s : e.value("disparar", nlohmann::json::array()))
                disparar(codigo(s.get<std::string>()));
        }
    }

    nlohmann::json eventos_;
    std::atomic<bool> terminar_{false};
    std::thread hilo_;
};

}  // namespace

std::unique_ptr<AudioHardware> audioHardwareDelSistema() {
    const char* guion = std::getenv("VKOIDO_DOBLE");
    return std::make_unique<DobleGuionado>(nlohmann::json::parse(guion != nullptr ? guion : "{}"));
}
