#pragma once
// Text routines of the digest: character counting, blank test, cutting a transcript into
// parts of whole lines, and rendering a digest as plain text. Pure functions.
//
// A character is an extended grapheme cluster: "e" plus a combining accent is one, an emoji
// ZWJ sequence is one, and CR LF is one that is not a line feed. Bytes that are not valid
// UTF-8 count one character each, so the routines stay total on any input.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "MeetingDigest.h"

namespace vkacta {

// Number of characters in `texto`.
std::int64_t longitud(std::string_view texto);

// True when nothing is left after trimming white space from both ends: every code point is of
// general category Z, U+0009 to U+000D or U+0085.
bool esBlanco(std::string_view texto);

// Cuts `text` into parts of at most `limit` characters made of whole lines. A text within the
// limit is returned as is; otherwise every part is a run of lines, each followed by one line
// feed, and a line longer than the limit is a part of its own. A blank remainder is dropped.
std::vector<std::string> chunk(std::string_view text, std::int64_t limit);

// The digest as a short text: the summary, then "Decisiones: " and "Pendientes: " lines
// when there are any.
std::string render(const MeetingDigest& digest);

}  // namespace vkacta
