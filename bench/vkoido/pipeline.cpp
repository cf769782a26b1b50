// The road of one buffer, without a sound server: 48 kHz stereo float in 480-frame buffers
// through TapWriter::handle into a 16 kHz mono WAV. Prints one JSON line with the CPU time of
// the thread that ran it and the real-time factor per core.
//
//   vkoido_bench_pipeline [--minutos M] [--dir DIR] [--senal ENTRADA.wav]
//
// --senal also writes the same signal as a 48 kHz stereo float WAV (for a comparison with
// another converter). Files go to DIR (default /dev/shm, a tmpfs), and the track is removed.
#include <sndfile.h>
#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "TapWriter.h"
#include "platform/Audio.h"

namespace {

constexpr double kTasa = 48000;
constexpr std::uint32_t kCanales = 2;
constexpr std::uint32_t kFramesPorBuffer = 480;

double cpuDelHilo() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double pared() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Something like a voice: a few harmonics under a slow envelope, with a little noise, and
// different in each channel so the down-mix has work to do.
std::vector<float> senal(std::size_t frames) {
    std::vector<float> s(frames * kCanales);
    std::uint32_t azar = 12345;
    constexpr double dosPi = 6.283185307179586;
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / kTasa;
        const double envolvente = 0.5 + 0.5 * std::sin(dosPi * 3.0 * t);
        const double f0 = 140.0 + 30.0 * std::sin(dosPi * 0.5 * t);
        double v = 0;
        for (int h = 1; h <= 6; ++h)
            v += std::sin(dosPi * f0 * h * t) / h;
        azar = azar * 1664525U + 1013904223U;
        const double ruido = (static_cast<double>(azar >> 8) / 16777216.0 - 0.5) * 0.02;
        s[i * 2] = static_cast<float>(0.3 * envolvente * v + ruido);
        s[i * 2 + 1] = static_cast<float>(0.25 * envolvente * v - ruido);
    }
    return s;
}

bool escribirSenal(const std::string& ruta, const std::vector<float>& s) {
    SF_INFO info{};
    info.samplerate = static_cast<int>(kTasa);
    info.channels = static_cast<int>(kCanales);
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(ruta.c_str(), SFM_WRITE, &info);
    if (f == nullptr) return false;
    const auto n = static_cast<sf_count_t>(s.size() / kCanales);
    const bool ok = sf_writef_float(f, s.data(), n) == n;
    sf_close(f);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    double minutos = 10;
    std::string dir = "/dev/shm";
    std::string rutaSenal;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opcion = argv[i];
        if (opcion == "--minutos") minutos = std::atof(argv[i + 1]);
        if (opcion == "--dir") dir = argv[i + 1];
        if (opcion == "--senal") rutaSenal = argv[i + 1];
    }
    const auto frames = static_cast<std::size_t>(minutos * 60 * kTasa) / kFramesPorBuffer * kFramesPorBuffer;
    const std::vector<float> s = senal(frames);
    if (!rutaSenal.empty() && !escribirSenal(rutaSenal, s)) {
        std::fprintf(stderr, "no se pudo escribir %s\n", rutaSenal.c_str());
        return 1;
    }

    AudioStreamBasicDescription d;
    d.mSampleRate = kTasa;
    d.mFormatID = kAudioFormatLinearPCM;
    d.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    d.mChannelsPerFrame = kCanales;
    d.mBitsPerChannel = 32;
    d.mBytesPerFrame = kCanales * 4;
    d.mFramesPerPacket = 1;
    d.mBytesPerPacket = d.mBytesPerFrame;
    const auto entrada = FormatoDeAudio::desdeDescripcion(d);
    const auto salida = FormatoDeAudio::estandar(16000, 1);
    const std::string pista = dir + "/vkoido-bench-pista-" + std::to_string(::getpid()) + ".wav";
    std::string error;
    auto archivo = ArchivoDePista::crear(pista, error);
    if (!entrada || !salida || !archivo) {
        std::fprintf(stderr, "no se pudo preparar la prueba: %s\n", error.c_str());
        return 1;
    }
    auto conversor = Conversor::crear(*entrada, *salida);
    // Clocks that never move: the track is never cut or padded while we hurry through it.
    Relojes quietos{[] { return 0.0; }, [] { return 0.0; }};
    TapWriter writer(std::move(archivo), std::move(conversor), *salida, *entrada, quietos);

    AudioBufferList lista;
    lista.mNumberBuffers = 1;
    lista.mBuffers[0].mNumberChannels = kCanales;
    lista.mBuffers[0].mDataByteSize = kFramesPorBuffer * kCanales * sizeof(float);
    const double cpu0 = cpuDelHilo();
    const double pared0 = pared();
    for (std::size_t i = 0; i < frames; i += kFramesPorBuffer) {
        lista.mBuffers[0].mData = const_cast<float*>(s.data() + i * kCanales);
        writer.handle(lista);
    }
    {
        std::lock_guard<std::mutex> g(writer.lock);
        writer.file.reset();
    }
    const double cpu = cpuDelHilo() - cpu0;
    const double tiempo = pared() - pared0;
    const double audio = static_cast<double>(frames) / kTasa;
    std::printf(
        "{\"segundosDeAudio\":%.1f,\"cpu\":%.4f,\"pared\":%.4f,\"rtfPorNucleo\":%.1f,\"framesEscritos\":%lld}"
        "\n",
        audio, cpu, tiempo, audio / cpu, static_cast<long long>(writer.framesWritten));
    std::remove(pista.c_str());
    return writer.falloDeEscritura ? 1 : 0;
}
