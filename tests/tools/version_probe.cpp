// version_probe: reads Windows paths (UTF-8, one a line) on stdin and prints
// "path - a.b.c.d size N" or "path - <none> size N" for each, N being what
// GetFileVersionInfoSizeW gave, using only the Win32 version calls, so the
// POSIX build and the Windows build can be compared line by line.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace {

// UTF-8 to wchar_t text: UTF-16 where wchar_t has 2 bytes, else UTF-32.
// Invalid bytes become U+FFFD; the paths come from a file listing.
std::wstring Widen(const std::string& s) {
  std::wstring out;
  for (std::size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    unsigned long cp = extra == 0 ? c : extra == 1 ? (c & 0x1f) : extra == 2 ? (c & 0x0f) : (c & 0x07);
    bool ok = extra >= 0 && i + static_cast<std::size_t>(extra) < s.size();
    for (int k = 1; ok && k <= extra; ++k) {
      unsigned char d = static_cast<unsigned char>(s[i + k]);
      ok = (d & 0xc0) == 0x80;
      cp = (cp << 6) | (d & 0x3f);
    }
    if (!ok) {
      out.push_back(static_cast<wchar_t>(0xfffd));
      ++i;
      continue;
    }
    i += static_cast<std::size_t>(extra) + 1;
    if (sizeof(wchar_t) == 2 && cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<wchar_t>(0xd800 + (cp >> 10)));
      out.push_back(static_cast<wchar_t>(0xdc00 + (cp & 0x3ff)));
    } else {
      out.push_back(static_cast<wchar_t>(cp));
    }
  }
  return out;
}

std::string Version(const std::wstring& path, DWORD* size_out) {
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  *size_out = size;
  if (size == 0) return "<none>";
  // The size call's bytes, zeroed, and zeroed slack after them: Windows'
  // query parses a cut-short block as far as its key and length say, which
  // may be past `size`, and should meet zeros there, not the heap's garbage.
  // As in the scanner, only a block within the `size` bytes is believed.
  std::vector<unsigned char> data(std::size_t{size} + 4096);
  void* value = nullptr;
  UINT length = 0;
  if (!GetFileVersionInfoW(path.c_str(), handle, size, data.data()) ||
      !VerQueryValueW(data.data(), L"\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO)) {
    return "<none>";
  }
  auto at = static_cast<const unsigned char*>(value);
  if (at < data.data() || size < sizeof(VS_FIXEDFILEINFO) ||
      static_cast<std::size_t>(at - data.data()) > size - sizeof(VS_FIXEDFILEINFO)) {
    return "<none>";
  }
  VS_FIXEDFILEINFO info;
  std::memcpy(&info, value, sizeof info);
  if (info.dwSignature != 0xFEEF04BD) return "<none>";
  return std::to_string(HIWORD(info.dwFileVersionMS)) + "." + std::to_string(LOWORD(info.dwFileVersionMS)) +
         "." + std::to_string(HIWORD(info.dwFileVersionLS)) + "." +
         std::to_string(LOWORD(info.dwFileVersionLS));
}

}  // namespace

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    DWORD size = 0;
    std::string version = Version(Widen(line), &size);
    std::printf("%s - %s size %lu\n", line.c_str(), version.c_str(), static_cast<unsigned long>(size));
  }
  std::fflush(stdout);
  return 0;
}
