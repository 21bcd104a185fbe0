// GetFileVersionInfoSizeW, GetFileVersionInfoW and VerQueryValueW on POSIX:
// the file's own resource directory, read with pread (headers and the version
// resource only, so a 2 GB file costs what a 20 KB one does; file_source.cpp).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "platform/posix/file_source.h"
#include "platform/posix/listing.h"
#include "platform/posix/machine.h"
#include "platform/posix/test_hooks.h"
#include "platform/posix/version_info_reader.h"

namespace vur::posix {
namespace {

// The file a successful GetFileVersionInfoSizeW located, kept open for the
// GetFileVersionInfoW call that follows it on the same path, which then
// neither reopens the file nor walks its directory again.
struct LocatedFile {
  std::wstring path;
  std::unique_ptr<FileSource> file;
  ResourceLocation where;
};
thread_local LocatedFile g_last_located;

// The caller's buffer GetFileVersionInfoW filled last. VerQueryValueW is given
// no size; within this buffer it parses as far as Windows' would, up to the
// buffer's end, rather than only as far as the block's own length word,
// which a damaged or cut-short block states wrongly. Forgotten at the next
// size call, so a buffer freed since is never taken for a live one.
struct FilledBuffer {
  const unsigned char* data = nullptr;
  std::size_t length = 0;
};
thread_local FilledBuffer g_filled;

// How many bytes from `block` VerQueryValueW may read.
std::size_t QueryExtent(const void* block) {
  const auto* p = static_cast<const unsigned char*>(block);
  if (g_filled.data != nullptr && p >= g_filled.data && p < g_filled.data + g_filled.length) {
    return static_cast<std::size_t>(g_filled.data + g_filled.length - p);
  }
  return static_cast<std::size_t>(p[0] | (p[1] << 8));
}

DWORD LocateIn(const FileSource& file, ResourceLocation* where) {
  DWORD error = LocateVersionResource(file, where);
  if (error != 0 && file.read_errno() != 0) return Win32ErrorFromErrno(file.read_errno(), true);
  return error;
}

DWORD Locate(const wchar_t* path, FileSource* file, ResourceLocation* where) {
  DWORD error = file->Open(path);
  return error != 0 ? error : LocateIn(*file, where);
}

bool IsRootSubBlock(const wchar_t* sub_block) {
  for (; *sub_block != L'\0'; ++sub_block) {
    if (*sub_block != L'\\') return false;
  }
  return true;
}

}  // namespace
}  // namespace vur::posix

using vur::posix::testing::Fault;
using vur::posix::testing::Op;
using vur::posix::testing::Armed;
using vur::posix::testing::TakeFault;

DWORD GetFileVersionInfoSizeW(LPCWSTR path, LPDWORD handle) {
  if (handle != nullptr) *handle = 0;
  vur::posix::g_filled = vur::posix::FilledBuffer();
  Fault fault{};
  bool faulted =
      Armed() && TakeFault(Op::kGetFileVersionInfoSize, path ? path : L"", &fault);
  if (faulted && !fault.succeed) {
    SetLastError(fault.code);
    return 0;
  }
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (vur::posix::NoteProbedPath(path)) vur::posix::PrefetchNewlyLikelyFiles();
  vur::posix::AdvancePrefetches();
  vur::posix::LocatedFile& last = vur::posix::g_last_located;
  // The file the listing has prefetched, or the file opened now.
  last.file = vur::posix::TakeListedSource(path);
  DWORD error = 0;
  if (last.file != nullptr) {
    last.file->StopPrefetch();
    if (!last.file->Located(&last.where)) error = vur::posix::LocateIn(*last.file, &last.where);
  } else {
    last.file = std::make_unique<vur::posix::FileSource>();
    error = vur::posix::Locate(path, last.file.get(), &last.where);
  }
  if (error != 0) {
    last.file.reset();
    SetLastError(error);
    return 0;
  }
  DWORD size = 0;
  vur::posix::VersionInfoSize(last.where, &size);  // LocateVersionResource checked that it fits
  last.path = path;
  SetLastError(faulted ? fault.code : ERROR_SUCCESS);
  return size;
}

BOOL GetFileVersionInfoW(LPCWSTR path, DWORD /*handle*/, DWORD length, LPVOID data) {
  vur::posix::g_filled = vur::posix::FilledBuffer();
  Fault fault{};
  bool faulted = Armed() && TakeFault(Op::kGetFileVersionInfo, path ? path : L"", &fault);
  bool short_copy = faulted && fault.copy_at_most >= 0;
  if (faulted && !fault.succeed && !short_copy) {
    SetLastError(fault.code);
    return FALSE;
  }
  if (path == nullptr || data == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Below 2 bytes the copy could not hold its own length word, and
  // VerQueryValueW, which gets no size, would read past it.
  if (length < 2) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  // The file the size call just located, or the file opened anew.
  vur::posix::LocatedFile located;
  DWORD error = 0;
  if (vur::posix::g_last_located.file && vur::posix::g_last_located.path == path) {
    located = std::move(vur::posix::g_last_located);
  } else {
    located.file = std::make_unique<vur::posix::FileSource>();
    error = vur::posix::Locate(path, located.file.get(), &located.where);
  }
  vur::posix::g_last_located = vur::posix::LocatedFile();
  std::size_t copied = 0;
  const vur::posix::FileSource& file = *located.file;
  vur::posix::ResourceLocation where = located.where;
  if (short_copy && where.size > static_cast<std::uint64_t>(fault.copy_at_most))
    where.size = static_cast<std::uint64_t>(fault.copy_at_most);
  if (error == 0 && !vur::posix::ReadVersionResource(file, where, data, length, &copied)) {
    error = file.read_errno() != 0 ? vur::posix::Win32ErrorFromErrno(file.read_errno(), true)
                                   : ERROR_RESOURCE_DATA_NOT_FOUND;
  }
  if (error != 0) {
    SetLastError(error);
    return FALSE;
  }
  vur::posix::g_filled = {static_cast<const unsigned char*>(data), length};
  if (faulted && fault.succeed) SetLastError(fault.code);
  return TRUE;
}

BOOL VerQueryValueW(LPCVOID block, LPCWSTR sub_block, LPVOID* buffer, PUINT length) {
  Fault fault{};
  bool faulted =
      Armed() && TakeFault(Op::kVerQueryValue, sub_block ? sub_block : L"", &fault);
  if (faulted && !fault.succeed) {
    SetLastError(fault.code);
    return FALSE;
  }
  if (block == nullptr || sub_block == nullptr || buffer == nullptr || length == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Only the root's fixed part is needed by the scanner; named sub-blocks
  // report the code Windows gives for a missing one.
  if (!vur::posix::IsRootSubBlock(sub_block)) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return FALSE;
  }
  const void* value = nullptr;
  UINT value_length = 0;
  vur::posix::QueryRootValue(block, vur::posix::QueryExtent(block), &value, &value_length);
  *buffer = const_cast<void*>(value);
  *length = value_length;
  if (faulted) SetLastError(fault.code);
  return TRUE;
}
