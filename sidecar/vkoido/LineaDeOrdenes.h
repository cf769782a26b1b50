#pragma once
// The command line: vkoido <salida.wav> [--seconds N].
#include <optional>

inline constexpr const char* kUso = "uso: vkoido <salida.wav> [--seconds N]";

// The limit in seconds: N after the first "--seconds" (searching from argv[0]). Nothing when
// the option is absent or last, or N is empty, begins with white space, or is not a whole
// C-locale double (strtod: decimal, exponent, hexadecimal, inf and nan forms).
std::optional<double> limiteDeSegundos(int argc, const char* const* argv);
