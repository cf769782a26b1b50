#pragma once
// GBNF grammar for a generation schema, so a constrained answer always parses as the schema's
// JSON: compact (no white space between tokens), every property present, in declared order.
// Strings and lists are bounded far past anything a real digest holds, so even a model stuck in
// a loop has to close them: the answer cannot run on for ever.
#include <string>

#include "GenerationSchema.h"

namespace vkacta {

inline constexpr int kCaracteresMaximos = 1500;  // per string, an escape counting as one
inline constexpr int kEntradasMaximas = 100;     // per list

// The grammar text; its start symbol is "root". Object rules are named after their type; the
// same object used in several places gets one rule.
std::string gramaticaGbnf(const GenerationSchema& esquema);

}  // namespace vkacta
