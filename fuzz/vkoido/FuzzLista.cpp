// Buffer lists and formats as the platform might hand them over, and the limit argument:
// whatever comes in, the writer neither crashes nor reads outside what it was given.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "LineaDeOrdenes.h"
#include "TapWriter.h"

namespace {

struct Lector {
    const std::uint8_t* p;
    std::size_t n;
    template <typename T>
    T leer() {
        T v{};
        const std::size_t k = n < sizeof v ? n : sizeof v;
        if (k == 0) return v;  // an empty input arrives as a null pointer
        std::memcpy(&v, p, k);
        p += k;
        n -= k;
        return v;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Lector l{data, size};
    AudioStreamBasicDescription d = l.leer<AudioStreamBasicDescription>();
    // Keep the resampler's ratio within what an output device can have: extreme ratios only
    // make each run slow.
    if (!(d.mSampleRate >= 1000 && d.mSampleRate <= 400000)) d.mSampleRate = 48000;
    const auto nBuffers = static_cast<std::uint32_t>(l.leer<std::uint8_t>() % (kMaxBuffersPorLista + 1));
    // The first list handed over is the same one cut short (empty at 0): a converter must take
    // lists of any length in a row.
    const unsigned corte = l.leer<std::uint8_t>();
    AudioBufferList lista;
    lista.mNumberBuffers = nBuffers;
    std::vector<std::vector<std::uint8_t>> memoria(nBuffers);
    for (std::uint32_t i = 0; i < nBuffers; ++i) {
        lista.mBuffers[i].mNumberChannels = l.leer<std::uint8_t>();
        const auto bytes = l.leer<std::uint16_t>();
        memoria[i].resize(bytes);
        const std::size_t k = l.n < bytes ? l.n : bytes;
        if (k > 0) std::memcpy(memoria[i].data(), l.p, k);
        lista.mBuffers[i].mDataByteSize = bytes;
        lista.mBuffers[i].mData = memoria[i].data();
    }
    const std::string resto(reinterpret_cast<const char*>(l.p), l.n);

    const char* argv[] = {"vkoido", "t.wav", "--seconds", resto.c_str()};
    (void)limiteDeSegundos(4, argv);

    const auto in = FormatoDeAudio::desdeDescripcion(d);
    const auto out = FormatoDeAudio::estandar(16000, 1);
    if (!in || !out) return 0;
    auto conversor = Conversor::crear(*in, *out);
    if (!conversor) return 0;
    Relojes quietos{[] { return 1.0; }, [] { return 0.0; }};
    TapWriter w(nullptr, std::move(conversor), *out, *in, quietos);
    AudioBufferList primera = lista;
    for (std::uint32_t i = 0; i < nBuffers; ++i)
        primera.mBuffers[i].mDataByteSize = lista.mBuffers[i].mDataByteSize * corte / 255U;
    w.handle(primera);
    w.handle(lista);
    w.handle(lista);
    std::lock_guard<std::mutex> g(w.lock);
    if (w.peak < 0 || std::isnan(w.peak)) __builtin_trap();
    return 0;
}
