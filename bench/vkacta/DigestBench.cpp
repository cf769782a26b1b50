// Prints: constrained vs unconstrained decoding speed on one generated model, prompt tokens
// evaluated for a five-part transcript with and without prefix reuse, and chunking
// throughput on a 10 MB transcript. One run, figures only.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "LlamaLanguageModel.h"
#include "MeetingDigest.h"
#include "ModeloDePrueba.h"
#include "Summary.h"
#include "Transcript.h"

namespace {

namespace fs = std::filesystem;
using namespace vkacta;

double ahora() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string lineaDeReunion(int i) {
    static const char* const kFrases[] = {
        "Ana: Repasamos el presupuesto del trimestre y el retraso con el proveedor de envases.",
        "Luis: Propongo que el lunes revisemos las cifras con contabilidad antes de decidir nada.",
        "Marta: De acuerdo; yo preparo el informe de ventas y lo comparto el miércoles.",
        "Jorge: Hay que llamar al cliente de Valparaíso por la reclamación del pedido 1432.",
    };
    return kFrases[i % 4] + std::string(" (") + std::to_string(i) + ")\n";
}

void decodificacion(const fs::path& modelo) {
    LlamaLanguageModel m(modelo);
    if (!m.availability().isAvailable()) return;
    MotorLlama& motor = *m.motor();
    GenerationOptions opciones;
    // The default answer budget; the string never closes on its own, so the answer runs to the
    // budget and is closed in its last tokens.
    opciones.maximumResponseTokens = 1024;
    const std::string prompt = promptUnico(lineaDeReunion(0));
    const auto esquema = MeetingDigest::generationSchema();
    double tiempoCon = 0, tiempoSin = 0;
    int64_t tokensCon = 0, tokensSin = 0, mascaras = 0, rechazos = 0;
    for (int ronda = 0; ronda < 5; ++ronda) {  // interleaved, so machine load hits both alike
        auto c0 = motor.cuentas();
        (void)motor.responder(std::string(kInstrucciones), prompt, esquema, true, opciones);
        auto c1 = motor.cuentas();
        tiempoCon += c1.segundosGenerando - c0.segundosGenerando;
        tokensCon += c1.tokensGenerados - c0.tokensGenerados;
        mascaras += c1.mascarasCompletas - c0.mascarasCompletas;
        rechazos += c1.rechazos - c0.rechazos;
        (void)motor.responderLibre(MotorLlama::textoDeSistema(std::string(kInstrucciones), esquema, true),
                                   prompt, opciones);
        auto c2 = motor.cuentas();
        tiempoSin += c2.segundosGenerando - c1.segundosGenerando;
        tokensSin += c2.tokensGenerados - c1.tokensGenerados;
    }
    const double con = static_cast<double>(tokensCon) / tiempoCon;
    const double sin = static_cast<double>(tokensSin) / tiempoSin;
    std::printf(
        "decodificación con gramática:  %8.1f tokens/s (%lld tokens, %lld rechazados, %lld máscaras "
        "completas)\n",
        con, static_cast<long long>(tokensCon), static_cast<long long>(rechazos),
        static_cast<long long>(mascaras));
    std::printf("decodificación sin gramática:  %8.1f tokens/s (%lld tokens)\n", sin,
                static_cast<long long>(tokensSin));
    std::printf("con / sin:                     %8.1f %%  (objetivo: al menos 90 %%)\n", 100.0 * con / sin);
}

void prefijo(const fs::path& modelo) {
    std::string transcript;
    for (int i = 0; transcript.size() < 5 * 5800; ++i)
        transcript += lineaDeReunion(i);
    for (const bool reusar : {false, true}) {
        AjustesDelMotor ajustes;
        ajustes.reusarPrefijo = reusar;
        LlamaLanguageModel m(modelo, ajustes);
        Entorno entorno;
        entorno.leerEntrada = [&] { return std::optional<std::string>(transcript); };
        entorno.escribirSalida = [](std::string_view) { return true; };
        entorno.nota = [](std::string_view) {};
        entorno.segundos = ahora;
        const double t0 = ahora();
        const auto fallo = digerir(m, entorno);
        const double t = ahora() - t0;
        if (fallo) {
            std::printf("digest de 5 partes: falló: %s\n", fallo->c_str());
            return;
        }
        const auto& c = m.motor()->cuentas();
        std::printf(
            "5 partes + fusión, %s reuso del prefijo: %lld pedidos, %6lld tokens de prompt evaluados, %.2f "
            "s\n",
            reusar ? "con" : "sin", static_cast<long long>(c.pedidos),
            static_cast<long long>(c.tokensEvaluados), t);
    }
}

void troceo() {
    std::string texto;
    for (int i = 0; texto.size() < 10 * 1024 * 1024; ++i)
        texto += lineaDeReunion(i);
    const double t0 = ahora();
    const auto partes = chunk(texto, kLimiteDeBloque);
    const double t = ahora() - t0;
    std::printf("troceo de %.1f MB: %zu partes en %.3f s (%.1f MB/s; objetivo: como mucho 1 s)\n",
                static_cast<double>(texto.size()) / 1048576.0, partes.size(), t,
                static_cast<double>(texto.size()) / 1048576.0 / t);
}

}  // namespace

int main() {
    const fs::path dir = fs::temp_directory_path() / ("vkacta-bench-" + std::to_string(getpid()));
    const fs::path nunca = dir / "nunca.gguf";
    const fs::path cierra = dir / "cierra.gguf";
    for (const auto& [ruta, orden] : {std::pair{nunca, vkacta::prueba::Orden::nuncaCierra},
                                      std::pair{cierra, vkacta::prueba::Orden::cierra}}) {
        const std::string e =
            vkacta::prueba::escribirModeloDePrueba(vkacta::prueba::vocabularioQwen2(), ruta, orden);
        if (!e.empty()) {
            std::fprintf(stderr, "vkacta_bench: %s\n", e.c_str());
            return 1;
        }
    }
    decodificacion(nunca);
    prefijo(cierra);
    troceo();
    fs::remove_all(dir);
    return 0;
}
