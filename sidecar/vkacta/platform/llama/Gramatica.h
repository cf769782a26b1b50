#pragma once
// GBNF grammar for a generation schema, so a constrained answer always parses as the schema's
// JSON: compact (no white space between tokens), every property present, in declared order.
#include <string>

#include "GenerationSchema.h"

namespace vkacta {

// The grammar text; its start symbol is "root". Object rules are named after their type; the
// same object used in several places gets one rule.
std::string gramaticaGbnf(const GenerationSchema& esquema);

}  // namespace vkacta
