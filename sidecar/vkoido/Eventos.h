#pragma once
// The event stream (standard output: one compact JSON object per line) and the notes
// (standard error: "[tap] " and a line). Main thread only.
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

using Linea = nlohmann::ordered_json;

// Writes the object and a line feed at once, or as soon as the reader takes it: a line is
// written whole or not at all, never torn or glued to the next, whatever standard output is
// (a pipe drained slowly, a non-blocking descriptor); the main thread never waits for the
// reader. A line that cannot be serialised (text that is not UTF-8, a number that is not
// finite) is dropped without a word; the run goes on.
void emit(const Linea& linea);

// "[tap] " + texto + "\n" in one write.
void note(std::string_view texto);

// "vkoido: " + texto + "\n" in one write, then exit status 1.
[[noreturn]] void fail(std::string_view texto);

// printf-style formatting in the C locale ("%.1f" gives a point, never a comma).
std::string formato(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Writes what a slow reader left pending, without waiting (the run loop, every turn).
void vaciarEventos();
// The same, waiting up to `ms` for the reader (at the end of the run).
void vaciarEventos(int ms);
inline constexpr int kEsperaAlSalir = 5000;

// Where lines and notes go (descriptors); the unit tests point them at files of their own.
void dirigirEventos(int salida, int errores);
