// libFuzzer target for the file-name mapping of the POSIX listing: any bytes
// decode to a name that Windows could hold (no forbidden character, no
// character that would break a report line) and encode back to themselves.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/posix/machine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  std::wstring name = vur::posix::DecodeName(bytes, size);
  if (name.size() > size) __builtin_trap();
  for (wchar_t c : name) {
    if ((c >= 1 && c < 0x20) || c == L'"' || c == L'*' || c == L':' || c == L'<' || c == L'>' ||
        c == L'?' || c == L'\\' || c == L'|') {
      __builtin_trap();
    }
  }
  if (vur::posix::EncodeName(name.data(), name.size()) != std::string(bytes, size)) __builtin_trap();
  // Registry text keeps every character and round-trips too.
  std::wstring text = vur::posix::DecodeUtf8(bytes, size);
  if (vur::posix::EncodeUtf8(text.data(), text.size()) != std::string(bytes, size)) __builtin_trap();
  return 0;
}
