#include "RunTap.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <memory>

#include "Captura.h"
#include "Corrida.h"
#include "DeviceWatch.h"
#include "Eventos.h"
#include "LineaDeOrdenes.h"
#include "Relojes.h"
#include "TapWriter.h"
#include "platform/Audio.h"
#include "platform/AudioHardware.h"
#include "platform/Despacho.h"
#include "platform/InfoPlist.h"

#ifndef VK_PREFIJO
#define VK_PREFIJO "com.veskora"
#endif

namespace {

constexpr double kTurno = 0.1;

}  // namespace

void runTap(int argc, char** argv) {
    // The executable carries the plist in its own section; this keeps that object linked in.
    static_cast<void>(infoPlistXML().size());

    if (argc < 2) fail(kUso);
    const std::string ruta = argv[1];
    const std::optional<double> limite = limiteDeSegundos(argc, argv);

    std::unique_ptr<AudioHardware> hw = audioHardwareDelSistema();
    const std::optional<Salida> salida = salidaPorDefecto(*hw);
    if (!salida) fail("no hay una salida de audio por defecto");

    FalloDeCaptura fallo;
    std::optional<Captura> armada = armarCaptura(*hw, *salida, fallo);
    if (!armada) fail(fallo.motivo);

    std::string error;
    std::unique_ptr<ArchivoDePista> archivo = ArchivoDePista::crear(ruta, error);
    if (!archivo) fail("no se pudo crear " + ruta);
    const std::optional<FormatoDeAudio> pista = FormatoDeAudio::estandar(16000, 1);
    if (!pista) fail("no se pudo preparar la conversión a 16 kHz mono");
    std::unique_ptr<Conversor> conversor = Conversor::crear(armada->formato, *pista);
    if (!conversor) fail("no se pudo preparar la conversión a 16 kHz mono");

    auto writer = std::make_shared<TapWriter>(std::move(archivo), std::move(conversor), *pista,
                                              armada->formato, Relojes::delSistema());
    ColaSerie cola(VK_PREFIJO ".tap.write");
    writer->usarCola(cola);  // the padding and the header are written there, never here

    EstadoDeCorrida e{*hw, writer, cola, std::nullopt, 0, false};
    e.captura = arrancar(*hw, *armada, writer, cola, fallo);
    if (!e.captura) fail(fallo.motivo);

    note("capturando a " + ruta);
    emit(Linea{{"event", "started"}, {"output", nombreDeSalida(*hw, salida->id)}});

    std::shared_ptr<DeviceWatch> watch = DeviceWatch::registrar(*hw, ColaPrincipal::principal());

    auto corriendo = std::make_shared<bool>(true);
    BuclePrincipal bucle(ColaPrincipal::principal());
    bucle.agregarFuenteDeSenal(SIGINT, [corriendo] { *corriendo = false; });
    bucle.agregarFuenteDeSenal(SIGTERM, [corriendo] { *corriendo = false; });

    // Elapsed time on the continuous clock: a wall-clock step neither freezes nor hurries it.
    const double inicio = segundosContinuos();
    const double origen = segundosContinuos();
    double ultimoTick = segundosContinuos();
    e.ultimoIntento = segundosContinuos();

    while (*corriendo) {
        if (limite && segundosContinuos() - inicio >= *limite) break;
        // A turn lasts 0.1 s at most and ends at the tick's deadline: a tick every 0.25 s,
        // not at the first turn after it.
        const double hastaElTick = std::max(0.0, ultimoTick + kIntervaloDeTick - segundosContinuos());
        const auto turno = std::chrono::duration<double>(std::min(kTurno, hastaElTick));
        bucle.correrHasta(std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(turno));
        vaciarEventos();
        pasoDeVigilancia(e, *watch, segundosContinuos());
        const double ahora = segundosContinuos();
        if (ahora - ultimoTick < kIntervaloDeTick) continue;
        ultimoTick = ahora;
        tick(e, segundosContinuos() - origen - 0.5);
    }

    detener(e, ruta, segundosContinuos() - origen);
    vaciarEventos(kEsperaAlSalir);
}
