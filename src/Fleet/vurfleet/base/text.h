// UTF-8 text: strict decoding, and the case rules by which machine names,
// paths and patterns compare without regard to case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vurfleet {

// Decodes one code point of strict UTF-8 at `pos` and advances past it.
// Overlong forms, surrogates and values past U+10FFFF are refused; `pos` is
// then left where it was.
bool NextCodePoint(std::string_view text, std::size_t* pos, char32_t* code_point);

// Whether the whole text is strict UTF-8.
bool IsUtf8(std::string_view text);

void AppendUtf8(std::string* out, char32_t code_point);

// Lower case, for comparing without regard to case. Letters of the Latin,
// Greek and Cyrillic alphabets (and fullwidth Latin) are mapped, others kept;
// final sigma folds to sigma. The text must be strict UTF-8.
std::string FoldCase(std::string_view text);

// Upper case over the same letters: the form in which machine names are
// kept and shown, so that their spelling never depends on which file came
// first.
std::string UpperCase(std::string_view text);

// A hash of bytes that never changes (FNV-1a, 64 bits, finished by a mixer):
// it may be stored. Not a defence against chosen collisions; what it finds
// is compared.
std::uint64_t StableHash(std::string_view bytes);

// Code points, the width aligned columns allow for.
std::size_t DisplayWidth(std::string_view text);

// Whether a code point moves the cursor, changes a terminal's state, starts
// a line or reorders the text around it: C0 controls (a tab too), DEL, C1
// controls, the line and paragraph separators, and the bidirectional marks,
// embeddings, overrides and isolates.
bool IsControl(char32_t code_point);

// Text for a terminal or a log, from any bytes: each code point IsControl
// names is shown as "<U+XXXX>", each byte that is not part of strict UTF-8
// as "<0xXX>", everything else unchanged. Windows file names can hold
// neither '<' nor '>', so a path's own text never reads as such a form.
std::string Printable(std::string_view bytes);

}  // namespace vurfleet
