// UTF-16 (wide) text to UTF-8 for messages.
#pragma once

#include <cstddef>
#include <string>

namespace vur {

constexpr std::size_t kConversionAreaSize = 4096;
// Where the control characters U+0001..U+001F go in converted text: U+F000
// plus their code (a line feed is printed as U+F00A, the bytes EF 80 8A).
constexpr wchar_t kControlBase = 0xF000;

// Converts wide text to UTF-8 in one shared area of kConversionAreaSize bytes
// and returns that area. Control characters are mapped (kControlBase), so the
// text never breaks a line. A result is good for one message: the next call
// overwrites it. Text whose UTF-8 form does not fit is cut at a character
// boundary; the result is always terminated.
const char* ToUtf8(const std::wstring& text);
const char* ToUtf8(const wchar_t* text);

// Converts the text up to its terminator into `out` (with a terminator). When
// it does not fit in `out_size` bytes, it is cut at a character boundary, or,
// given `whole`, converted whole into *whole instead. Leaves the thread's
// last-error code as it found it, so a code pending from an earlier call
// still reaches its reader. Returns the converted text: `out` or whole->c_str().
const char* ConvertToUtf8(const wchar_t* text, char* out, std::size_t out_size,
                          std::string* whole = nullptr);

}  // namespace vur
