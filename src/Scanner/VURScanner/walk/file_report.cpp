#include <cstdint>
#include <cstring>
#include <string>

#include "diag/text.h"
#include "platform/contained_call.h"
#include "run/scanner.h"

namespace vur {
namespace {

constexpr DWORD kFixedFileInfoSignature = 0xFEEF04BD;

// Whether the path ends in `extension`, compared without regard to case. An
// extension as long as the path or longer never matches.
bool EndsWith(const std::wstring& path, const std::wstring& extension) {
  if (extension.size() >= path.size()) return false;
  const wchar_t* tail = path.c_str() + (path.size() - extension.size());
  return CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, tail,
                        static_cast<int>(extension.size()), extension.c_str(),
                        static_cast<int>(extension.size())) == CSTR_EQUAL;
}

}  // namespace

bool NeedsVerbatimPath(const wchar_t* name, std::size_t length) {
  if (length == 0) return false;
  if (name[length - 1] == L'.' || name[length - 1] == L' ') return true;
  for (std::size_t i = 0; i < length; ++i)
    if (static_cast<unsigned long>(name[i]) < 0x20) return true;
  return false;
}

void Scanner::OutputFileInfo(std::wstring file_path, const ExtensionSet& extensions,
                             bool verbatim) {
  bool matched = false;
  for (const std::wstring& extension : extensions) {
    if (EndsWith(file_path, extension)) {
      matched = true;
      break;
    }
  }
  if (!matched) {
    spare_path_ = std::move(file_path);  // for the walker's next path
    return;
  }
  if (!verbatim) {
    std::size_t name_at = file_path.rfind(L'\\') + 1;  // npos + 1 is 0
    verbatim = NeedsVerbatimPath(file_path.c_str() + name_at, file_path.size() - name_at);
  }

  const VS_FIXEDFILEINFO* info = nullptr;
  try {
    // A DEBUG line that reaches no log file needs no conversion.
    if (Logs(log_, LogLevel::kDebug))
      Log(log_, LogLevel::kDebug, "# GetFileVersion() %s ", ToUtf8(file_path));
    info = GetFileVersion(verbatim ? L"\\\\?\\" + file_path : file_path);
  } catch (...) {
    Log(log_, LogLevel::kError, "\n# ERROR: Exception in GetFileVersion() %s\n", ToUtf8(file_path));
    return;
  }

  // The path goes into the scanner's own buffer, not the shared conversion
  // area, which the probe's messages have used meanwhile. A path too long for
  // the buffer is still reported whole, from a buffer of its own; a code the
  // probe left pending stays for the walker's checkpoint either way.
  std::string long_path;
  const char* path_text =
      ConvertToUtf8(file_path.c_str(), report_text_, sizeof report_text_, &long_path);

  if (info != nullptr) {
    Log(log_, LogLevel::kInfo, "%s - %u.%u.%u.%u\n", path_text,
        static_cast<unsigned>(info->dwFileVersionMS >> 16),
        static_cast<unsigned>(info->dwFileVersionMS & 0xFFFF),
        static_cast<unsigned>(info->dwFileVersionLS >> 16),
        static_cast<unsigned>(info->dwFileVersionLS & 0xFFFF));
  } else {
    Log(log_, LogLevel::kInfo, "%s - <none>\n", path_text);
  }
  spare_path_ = std::move(file_path);
}

const VS_FIXEDFILEINFO* Scanner::GetFileVersion(std::wstring file_path) {
  // Each platform call runs with its faults contained: a damaged file that
  // makes the platform's reader fault throws PlatformFault, which the report
  // handles as any exception of the probe.
  const wchar_t* path = file_path.c_str();
  Log(log_, LogLevel::kDebug, "| GFVISW ");
  DWORD handle = 0;
  DWORD size = ContainFaults(path, [&] { return GetFileVersionInfoSizeW(path, &handle); });
  DWORD code = GetLastError();
  if (code == ERROR_RESOURCE_TYPE_NOT_FOUND) {
    Log(log_, LogLevel::kDebug, "| ERROR_RESOURCE_TYPE_NOT_FOUND\n");
    SetLastError(ERROR_SUCCESS);
    return nullptr;
  }
  if (code == ERROR_RESOURCE_DATA_NOT_FOUND) {
    Log(log_, LogLevel::kDebug, "| ERROR_RESOURCE_DATA_NOT_FOUND\n");
    SetLastError(ERROR_SUCCESS);
    return nullptr;
  }
  if (ReportLastError(log_) != 0) return nullptr;
  if (size == 0) {
    Log(log_, LogLevel::kDebug, "| returned <= 0\n");
    return nullptr;
  }

  buffer_->GrowToFit(size);
  Log(log_, LogLevel::kDebug, "| GFVIW ");
  // The capacity, not the size: a resource over the buffer's limit is read
  // cut short.
  void* data = buffer_->Data();
  DWORD capacity = buffer_->Capacity();
  // The platform's reader copies only as many bytes as the file's data entry
  // states and reports success, and its query then parses whatever the
  // buffer holds: after a damaged file, the last file's block. So the bytes
  // the size call promised are cleared first, and only a block inside them
  // is believed; nothing of an earlier file can be read as this one's.
  const DWORD promised = size < capacity ? size : capacity;
  std::memset(data, 0, promised);
  if (!ContainFaults(path, [&] { return GetFileVersionInfoW(path, handle, capacity, data); })) {
    Log(log_, LogLevel::kDebug, "| returned false\n ");
    return nullptr;
  }
  if (GetLastError() == ERROR_INVALID_DATA) {
    Log(log_, LogLevel::kDebug, "| ERROR_INVALID_DATA\n");
    SetLastError(ERROR_SUCCESS);
    return nullptr;
  }
  if (ReportLastError(log_) != 0) return nullptr;

  Log(log_, LogLevel::kDebug, "| VQVW ");
  LPVOID block = nullptr;
  UINT length = 0;
  if (!ContainFaults(nullptr, [&] { return VerQueryValueW(data, L"\\", &block, &length); })) {
    Log(log_, LogLevel::kDebug, "| returned false\n");
    return nullptr;
  }
  Log(log_, LogLevel::kDebug, "| len=%i\n", static_cast<int>(length));
  // A malformed resource can give a root block that is short, that lies
  // outside the bytes cleared above (the platform's reader finds it after
  // the key text, which need not end inside them), or that is not the fixed
  // file information at all: no version then, rather than numbers read from
  // beyond the block, the buffer or this file's bytes.
  auto at = reinterpret_cast<std::uintptr_t>(block);
  auto begin = reinterpret_cast<std::uintptr_t>(data);
  if (block == nullptr || length < sizeof(VS_FIXEDFILEINFO) || at < begin ||
      promised < sizeof(VS_FIXEDFILEINFO) || at - begin > promised - sizeof(VS_FIXEDFILEINFO)) {
    return nullptr;
  }
  const auto* info = static_cast<const VS_FIXEDFILEINFO*>(block);
  if (info->dwSignature != kFixedFileInfoSignature) return nullptr;
  return info;
}

}  // namespace vur
