// UTF-16 (wide) text to UTF-8 for messages.
#pragma once

#include <cstddef>
#include <string>

namespace vur {

constexpr std::size_t kConversionAreaSize = 4096;

// Converts wide text to UTF-8 in one shared area of kConversionAreaSize bytes
// and returns that area. A result is good for one message: the next call
// overwrites it. Text whose UTF-8 form does not fit is cut at a character
// boundary; the result is always terminated.
const char* ToUtf8(const std::wstring& text);
const char* ToUtf8(const wchar_t* text);

// Converts the text up to its terminator into `out` (with a terminator),
// cutting it at a character boundary when it does not fit in `out_size`
// bytes. Leaves the thread's last-error code as it found it. Returns the
// number of bytes written before the terminator.
std::size_t ConvertToUtf8(const wchar_t* text, char* out, std::size_t out_size);

}  // namespace vur
