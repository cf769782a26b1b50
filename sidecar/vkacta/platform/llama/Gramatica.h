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

// The most characters an answer to this grammar may still need to close, from any point: the
// string it is in ended (an escape finished first), and every list and object open around it
// closed with the least the grammar asks (the properties still missing, empty). An answer that
// closes whenever it can takes no more tokens than this, every token being at least a character.
int caracteresParaCerrar(const GenerationSchema& esquema);

// Whether the grammar's verdict on a token's first byte alone holds for every token starting with
// that byte, so tokens can be left out by it before the grammar looks at them. True of grammars of
// literals and positive character classes, as `gramaticaGbnf` writes them; not of a negated class
// (the engine turns away the first byte of a split character when any character it could start is
// excluded) nor of token references (they judge tokens, not text), so any hint of them says no.
bool admitePodaPorPrimerByte(const std::string& gbnf);

}  // namespace vkacta
