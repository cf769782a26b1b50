#pragma once
// The digest flow: availability, transcript from standard input, one request per part plus a
// fuse request, and the digest as one JSON object on standard output.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "LanguageModel.h"
#include "MeetingDigest.h"

namespace vkacta {

inline constexpr std::int64_t kLimiteDeBloque = 6000;  // characters per request

// The same for every session.
extern const std::string_view kInstrucciones;

std::string promptUnico(std::string_view parte);
std::string promptDeParte(std::size_t i, std::size_t m, std::string_view parte);
std::string promptDeFusion(const std::vector<std::string>& parciales);

// The result object: compact, keys sorted, '/' escaped, UTF-8 kept, no line feed after it.
// Empty when it cannot be written (a text that is not UTF-8, a non-finite time).
std::optional<std::string> serializar(const MeetingDigest& digest, double segundos);

// What the flow reads, writes and measures. `run` uses the process's streams and a clock
// that neither jumps with the wall clock nor stops in suspend; tests script their own.
struct Entorno {
    std::function<std::optional<std::string>()> leerEntrada;  // empty: the read failed
    std::function<bool(std::string_view)> escribirSalida;     // false: the write failed
    std::function<void(std::string_view)> nota;
    std::function<double()> segundos;  // any origin; only differences are used
};

// The whole flow. Empty when the JSON has been written; otherwise the fatal message (without
// the "vkacta: " prefix) and nothing has reached the output.
std::optional<std::string> digerir(LanguageModel& modelo, const Entorno& entorno);

// "[llm] " + message + line feed on standard error, in one write.
void note(std::string_view mensaje);
// "vkacta: " + message + line feed on standard error, in one write; exit status 1.
[[noreturn]] void fail(std::string_view mensaje);

// The flow on the process's streams; returns only after the JSON has been written, every
// failure ends the process through `fail`.
void run(LanguageModel& modelo);

// Program entry (Entrada.cpp, in the executable only): the system's model, `run`, exit status 0.
int entrada(int argc, char** argv);

}  // namespace vkacta
