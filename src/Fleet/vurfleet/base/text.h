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

// Unicode's simple case folding (ICU), for comparing without regard to
// case: one code point for one, so `?` in a pattern still matches one
// character; final sigma folds to sigma. The text should be strict UTF-8;
// bytes that are not are kept byte for byte.
std::string FoldCase(std::string_view text);

// The upper case of each folded code point: the form in which machine names
// are kept and shown, so that every spelling that folds alike is shown alike,
// whichever file came first. FoldCase(UpperCase(t)) == FoldCase(t); a code
// point whose upper case would fold otherwise (dotless i) stays folded.
std::string UpperCase(std::string_view text);

// A hash of bytes that never changes (FNV-1a, 64 bits, finished by a mixer):
// it may be stored. Not a defence against chosen collisions; what it finds
// is compared.
std::uint64_t StableHash(std::string_view bytes);

// The cells a terminal gives the text, which aligned columns allow for:
// East Asian wide and fullwidth characters take two, combining marks,
// format characters and conjoining Hangul vowels and finals none, every
// other code point (and each byte that is not UTF-8) one. Meant for text
// that Printable has made free of controls.
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
