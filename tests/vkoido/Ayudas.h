#pragma once
// Helpers shared by the unit tests: fake clocks, a recording write function, a writer over a
// temporary track, and the event stream captured into files.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "AudioHardwareDoble.h"
#include "Eventos.h"
#include "TapWriter.h"

struct RelojFalso {
    std::atomic<double> continuo{1000.0};
    std::atomic<double> dormida{5.0};
    Relojes relojes() {
        return Relojes{[this] { return continuo.load(); }, [this] { return dormida.load(); }};
    }
};

// Records every append (frames and samples); fails from the n-th call on when asked.
struct Grabadora {
    std::mutex m;
    std::vector<std::uint32_t> trozos;
    std::vector<float> muestras;
    int fallarDesde = -1;
    int llamadas = 0;
    TapWriter::Escritura escritura() {
        return [this](ArchivoDePista&, const BufferPCM& b) -> std::optional<std::string> {
            std::lock_guard<std::mutex> g(m);
            if (fallarDesde >= 0 && llamadas++ >= fallarDesde)
                return "disco lleno " + std::to_string(llamadas);
            trozos.push_back(b.frameLength());
            muestras.insert(muestras.end(), b.floatChannelData()[0],
                            b.floatChannelData()[0] + b.frameLength());
            return std::nullopt;
        };
    }
};

inline std::string rutaTemporal() {
    static int n = 0;
    return (std::filesystem::temp_directory_path() /
            ("vkoido-w-" + std::to_string(getpid()) + "-" + std::to_string(n++) + ".wav"))
        .string();
}

inline std::shared_ptr<TapWriter> nuevoWriter(RelojFalso& r, Grabadora& g, double tasa = 48000,
                                              std::uint32_t canales = 2) {
    const auto in = *FormatoDeAudio::desdeDescripcion(formatoFloatEntrelazado(tasa, canales));
    const auto out = *FormatoDeAudio::estandar(16000, 1);
    std::string e;
    const std::string ruta = rutaTemporal();
    auto archivo = ArchivoDePista::crear(ruta, e);
    std::filesystem::remove(ruta);  // the open file stays usable
    return std::make_shared<TapWriter>(std::move(archivo), Conversor::crear(in, out), out, in, r.relojes(),
                                       g.escritura());
}

struct EventosCapturados {
    std::string rutaOut = rutaTemporal(), rutaErr = rutaTemporal();
    std::FILE* out = std::fopen(rutaOut.c_str(), "w+");
    std::FILE* err = std::fopen(rutaErr.c_str(), "w+");
    EventosCapturados() { dirigirEventos(fileno(out), fileno(err)); }
    ~EventosCapturados() {
        dirigirEventos(1, 2);
        std::fclose(out);
        std::fclose(err);
        std::filesystem::remove(rutaOut);
        std::filesystem::remove(rutaErr);
    }
    static std::string leer(const std::string& ruta) {
        std::ifstream f(ruta);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    std::string notas() const { return leer(rutaErr); }
    std::vector<nlohmann::json> lineas() const {
        std::vector<nlohmann::json> v;
        std::istringstream in(leer(rutaOut));
        for (std::string l; std::getline(in, l);)
            v.push_back(nlohmann::json::parse(l));
        return v;
    }
    int cuenta(const std::string& evento) const {
        int n = 0;
        for (const auto& l : lineas())
            n += l.value("event", "") == evento ? 1 : 0;
        return n;
    }
};
