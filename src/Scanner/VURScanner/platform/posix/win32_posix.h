// The Win32 operations the scanner uses, implemented on POSIX.
//
// Every function here has the name, signature and error contract of its Win32
// namesake, so the core compiles unchanged on both platforms. Differences from
// Windows are stated at each declaration. The machine these functions describe
// (drives, registry) lives under one folder, the machine root:
// $VURSCANNER_ROOT, or /var/lib/vurscanner when that variable is unset.
//
// Text: WCHAR is wchar_t, which is UTF-32 here. File names are decoded from
// bytes as UTF-8; each byte that is not part of valid UTF-8 becomes one code
// point U+DC80..U+DCFF and is turned back into the same byte when the layer
// opens the file, so every name round-trips.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#define WINAPI
#define CALLBACK

using BYTE = unsigned char;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using BOOL = int;
using UINT = unsigned int;
using WCHAR = wchar_t;
using CHAR = char;
using LPBYTE = BYTE*;
using LPDWORD = DWORD*;
using PUINT = UINT*;
using LPVOID = void*;
using LPCVOID = const void*;
using PVOID = void*;
using LPSTR = char*;
using LPCSTR = const char*;
using LPCCH = const char*;
using LPWSTR = wchar_t*;
using LPCWSTR = const wchar_t*;
using LPCWCH = const wchar_t*;
using LPBOOL = BOOL*;
using LCID = DWORD;
using REGSAM = DWORD;
using LSTATUS = LONG;
using HANDLE = void*;
using INT_PTR = std::intptr_t;
using ULONG_PTR = std::uintptr_t;

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
struct HINSTANCE__;
using HMODULE = HINSTANCE__*;
using FARPROC = INT_PTR (*)();

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef MAX_PATH
#define MAX_PATH 260
#endif

// Last-error codes the layer sets. Values are those of Windows.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_OUTOFMEMORY = 14;
constexpr DWORD ERROR_NO_MORE_FILES = 18;
constexpr DWORD ERROR_WRITE_PROTECT = 19;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
constexpr DWORD ERROR_BUSY = 170;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_DIRECTORY = 267;
constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = 1113;
constexpr DWORD ERROR_IO_DEVICE = 1117;
constexpr DWORD ERROR_INVALID_FLAGS = 1004;
constexpr DWORD ERROR_RESOURCE_DATA_NOT_FOUND = 1812;
constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
constexpr DWORD ERROR_CANT_RESOLVE_FILENAME = 1921;

// Registry.
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000002u)))
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM READ_CONTROL = 0x00020000;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;

// Drives.
constexpr UINT DRIVE_UNKNOWN = 0;
constexpr UINT DRIVE_NO_ROOT_DIR = 1;
constexpr UINT DRIVE_REMOVABLE = 2;
constexpr UINT DRIVE_FIXED = 3;
constexpr UINT DRIVE_REMOTE = 4;
constexpr UINT DRIVE_CDROM = 5;
constexpr UINT DRIVE_RAMDISK = 6;

// Files.
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x1;
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x2;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

// CreateFileW, as far as a folder's identity needs it.
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD FILE_READ_ATTRIBUTES = 0x80;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD FILE_SHARE_DELETE = 0x4;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;
struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

struct BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
};
using LPBY_HANDLE_FILE_INFORMATION = BY_HANDLE_FILE_INFORMATION*;

struct WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[MAX_PATH];
  WCHAR cAlternateFileName[14];
};
using LPWIN32_FIND_DATAW = WIN32_FIND_DATAW*;

// Version resources.
struct VS_FIXEDFILEINFO {
  DWORD dwSignature;
  DWORD dwStrucVersion;
  DWORD dwFileVersionMS;
  DWORD dwFileVersionLS;
  DWORD dwProductVersionMS;
  DWORD dwProductVersionLS;
  DWORD dwFileFlagsMask;
  DWORD dwFileFlags;
  DWORD dwFileOS;
  DWORD dwFileType;
  DWORD dwFileSubtype;
  DWORD dwFileDateMS;
  DWORD dwFileDateLS;
};

// Text.
constexpr UINT CP_UTF8 = 65001;
constexpr DWORD WC_ERR_INVALID_CHARS = 0x80;
constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x800;
constexpr LCID LOCALE_USER_DEFAULT = 0x400;
constexpr LCID LOCALE_INVARIANT = 0x7f;
constexpr DWORD NORM_IGNORECASE = 0x1;
constexpr int CSTR_LESS_THAN = 1;
constexpr int CSTR_EQUAL = 2;
constexpr int CSTR_GREATER_THAN = 3;

#define HIWORD(l) (static_cast<WORD>((static_cast<DWORD>(l) >> 16) & 0xffff))
#define LOWORD(l) (static_cast<WORD>(static_cast<DWORD>(l) & 0xffff))

// Run-time library: share mode of _wfsopen.
constexpr int _SH_DENYRW = 0x10;
constexpr int _SH_DENYWR = 0x20;
constexpr int _SH_DENYNO = 0x40;

// The calling thread's last-error code; 0 at thread start. Successful calls
// of this layer leave it alone unless their declaration says otherwise.
//
// The layer also prepares the process before main, as Windows does for every
// program: SIGPIPE is ignored, so a write to a reader that has gone fails
// rather than ending the run, and a closed descriptor 0, 1 or 2 is reopened
// on /dev/null, so no file the program opens takes a standard stream's place.
DWORD GetLastError();
void SetLastError(DWORD code);

// Bit i set for each drive letter 'A' + i that the machine has: the drives
// file of the machine root, or the mounted file systems (C: is /).
DWORD GetLogicalDrives();

// The type of the drive whose root is "X:\" (a letter, a colon and a
// backslash; "X:" is accepted too). DRIVE_NO_ROOT_DIR for a letter the machine
// lacks or whose folder does not exist. Never changes the last-error code.
UINT GetDriveTypeW(LPCWSTR root_path);

// Registry under $VURSCANNER_ROOT/registry/. A key is a folder, a value a file
// holding its data (texts as UTF-8, NUL between the texts of a list); one
// line end at the end of a file is not part of the value. Every call returns
// its status and never changes the last-error code.
//
// RegCreateKeyExA opens the key, creating it and its parents when missing. A
// key that the process may not write, opened with any write right, gives
// ERROR_ACCESS_DENIED. Only HKEY_LOCAL_MACHINE is a root.
LSTATUS RegCreateKeyExA(HKEY key, LPCSTR sub_key, DWORD reserved, LPSTR klass, DWORD options,
                        REGSAM sam, const void* security, PHKEY result, LPDWORD disposition);
// Reads a value as wide text: the file's UTF-8 is decoded and each character
// takes sizeof(WCHAR) bytes, so *size is a multiple of sizeof(WCHAR). The type
// is always reported as REG_SZ. A missing value gives ERROR_FILE_NOT_FOUND and
// data larger than *size gives ERROR_MORE_DATA with *size set to the size
// needed; on any failure the caller's area is not touched.
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD size);
// Stores the bytes as given (for REG_SZ, the narrow text and its NUL),
// replacing the value's file atomically: a crash leaves the old value or the
// new one, never part of either.
LSTATUS RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD size);
LSTATUS RegCloseKey(HKEY key);

// Folder listing. Only the search pattern "X:\folder\*" is supported, or
// its form "\\?\X:\folder\*", which names the same folder here: the
// folder is mapped through the drive table. "." and ".." come first in every
// folder but a drive root, as on Windows; the rest come in the order the file
// system delivers them. A drive's listing stays on the mount of its root and
// never goes through a symbolic link: a link to a folder is listed with
// FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, and listing it, or
// a folder on which another file system or a bind mount is mounted, fails
// with ERROR_ACCESS_DENIED. A link to a file is a file, and so is a link that
// leads nowhere. A subfolder of the folder whose search was opened last is
// opened through that search, so it is the folder that listing showed even
// if a folder above it has been renamed or replaced since. Names are decoded as DecodeName in machine.h says: a
// character that Windows forbids in a name is listed as U+F000 plus its code. A failed call returns INVALID_HANDLE_VALUE (FindFirstFileW) or FALSE
// and sets the last-error code; FindNextFileW sets ERROR_NO_MORE_FILES at the
// end. Successful calls leave the code alone.
HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data);
BOOL FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data);
BOOL FindClose(HANDLE find);

// Opening a file or folder to ask what it is. Only OPEN_EXISTING with read
// or attribute access is supported (anything else: ERROR_INVALID_PARAMETER);
// a folder needs FILE_FLAG_BACKUP_SEMANTICS, as on Windows (else
// ERROR_ACCESS_DENIED). A symbolic link is followed, as Windows follows a
// reparse point. Paths as for the version calls, "\\?\" form included.
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE template_file);
// The volume serial number is the file system's device number folded to 32
// bits, the file index its inode number: together they tell one file or
// folder from every other on the machine, as on Windows.
BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info);
// Closes a handle CreateFileW returned; any other: ERROR_INVALID_HANDLE.
BOOL CloseHandle(HANDLE handle);

// Version resources, read from the file's PE (PE32 or PE32+) resource
// directory. Only the headers and the version resource are read. Missing file
// 2, missing folder 3, a folder 5; a file without resources (or not a PE
// image) ERROR_RESOURCE_DATA_NOT_FOUND, resources without a version
// ERROR_RESOURCE_TYPE_NOT_FOUND. On success GetFileVersionInfoSizeW sets the
// code to 0, as Windows does.
DWORD GetFileVersionInfoSizeW(LPCWSTR path, LPDWORD handle);
// Copies at most `length` bytes of the resource and leaves the rest of the
// buffer as it was, then marks a 32-bit block's end with "FE2X" where its
// length word says, room permitting, as Windows does. Differs: a `length`
// below 2 fails with ERROR_INSUFFICIENT_BUFFER.
BOOL GetFileVersionInfoW(LPCWSTR path, DWORD handle, DWORD length, LPVOID data);
// Only the root block "\\" is supported. Windows gets no size and parses as
// far as the key and the value's length say. Differs: in the buffer that
// GetFileVersionInfoW filled last on this thread (until the next version
// call), nothing past that buffer's end is read and the length is cut there;
// any other block is read no further than its own root length word.
BOOL VerQueryValueW(LPCVOID block, LPCWSTR sub_block, LPVOID* buffer, PUINT length);

// Case-blind comparison; letter case is folded for Latin, Greek and Cyrillic.
int CompareStringW(LCID locale, DWORD flags, LPCWCH s1, int n1, LPCWCH s2, int n2);
// Only CP_UTF8. A lone surrogate (among them U+DC80..U+DCFF, an undecodable
// byte of a file name) becomes U+FFFD, EF BF BD, as on Windows. A too small
// output area gives 0 with ERROR_INSUFFICIENT_BUFFER.
int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWCH text, int length, LPSTR out,
                        int out_size, LPCCH default_char, LPBOOL used_default);

// Modules. The layer behaves as 32-bit Windows: "Kernel32.dll" loads, both
// WOW64 redirection functions are found, and calling them gives FALSE with
// ERROR_INVALID_FUNCTION. Any other module gives ERROR_MOD_NOT_FOUND and any
// other function ERROR_PROC_NOT_FOUND.
HMODULE LoadLibraryW(LPCWSTR name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);

// The run-time library's open with a share mode. With _SH_DENYRW a second
// open of the same file, by this or another process using this layer, fails
// with ERROR_SHARING_VIOLATION while the first is open (an advisory lock:
// programs that don't lock can still read it). "w" creates or truncates; the
// last-error code is then ERROR_ALREADY_EXISTS when a file was replaced and 0
// when one was created. Only a regular file or /dev/null (NUL to Windows) is
// opened; a FIFO, a device or a folder gives ERROR_ACCESS_DENIED, and no open
// blocks. A path "X:\..." is mapped through the drive table;
// any other path is a native path.
FILE* _wfsopen(const wchar_t* path, const wchar_t* mode, int share_flag);

// The run-time library's file number of a stream.
int _fileno(FILE* stream);
// Whether the file number `fd` is an interactive device. Windows' run-time
// says so of every character device (a console, NUL), whose streams it leaves
// unbuffered; here only a terminal counts, since the C library buffers every
// other device fully, and a terminal by line.
int _isatty(int fd);
