#pragma once
// The capture over the default output: a process tap, a private aggregate device over it and
// an IOProc that hands every input buffer list to the writer on the write queue.
// Every operation here runs on the main thread.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/Audio.h"
#include "platform/AudioHardware.h"
#include "platform/Despacho.h"

class TapWriter;

struct Salida {
    AudioObjectID id = 0;  // never 0 in a Salida
    std::string uid;
};

// Copies name the same platform objects; only desarmar() and the failure paths destroy them.
struct Captura {
    Salida salida;
    AudioObjectID tapID = 0;
    AudioObjectID agregadoID = 0;
    FormatoDeAudio formato;
    std::optional<AudioDeviceIOProcID> procID;
};

// A complete Spanish sentence, shown unchanged.
struct FalloDeCaptura {
    std::string motivo;
};

// The aggregate device's name, the same for every capture.
inline constexpr const char* kNombreDelAgregado = "Veskora Tap";

std::optional<Salida> salidaPorDefecto(AudioHardware& hw);
std::string nombreDeSalida(AudioHardware& hw, AudioObjectID id);
std::optional<FormatoDeAudio> formatoQueEntrega(AudioHardware& hw, AudioObjectID tap, AudioObjectID agregado);

// Seconds of audio the platform holds for the capture and has not delivered yet ('ltnc'),
// below 0 when the audio to come starts later than now; 0 when it cannot tell.
double segundosEnVuelo(AudioHardware& hw, const Captura& c);

// Tap and aggregate device built, no IOProc; nothing stays built on failure.
std::optional<Captura> armarCaptura(AudioHardware& hw, const Salida& salida, FalloDeCaptura& fallo);
// The IOProc created and the device started; on failure the capture is already torn down.
std::optional<Captura> arrancar(AudioHardware& hw, Captura c, std::shared_ptr<TapWriter> writer,
                                ColaSerie& cola, FalloDeCaptura& fallo);
// Stop, drain the write queue, destroy IOProc, aggregate device and tap. Statuses not looked at.
void desarmar(AudioHardware& hw, const Captura& c, ColaSerie& cola);
