// How a fault inside a platform call is contained on Windows.
//
// MSVC has __try/__except: the compiler emits the frame, the handler and the
// unwinding.
//
// mingw-w64 g++ has no __try, and its own exception handling never sees a
// structured exception: on i686 it unwinds with DWARF tables and registers no
// SEH frame at all; on x86_64 its catch (...) lets foreign exceptions pass,
// and the __try1 macros of excpt.h allow one handler per translation unit and
// none in a function that holds C++ objects. So the call goes through a small
// assembly trampoline that carries a handler of its own:
//
// - i686: the trampoline links a registration record, which lives in Run's
//   frame on the stack, into the thread's handler chain at fs:0 for the length
//   of the call, and unlinks it after. For a fault it contains, the handler
//   calls RtlUnwind up to that record: every frame registered since (the
//   platform's own and the dispatcher's) is called to unwind and unlinked, so
//   the chain is again what it was before the call. Then it restores the
//   trampoline's stack and frame pointers and resumes after the call, as an
//   __except block does.
// - x86_64: the trampoline's unwind information names the handler
//   (.seh_handler). For a fault it contains, the handler calls RtlUnwindEx
//   with the trampoline's frame and its resume label; the system unwinds the
//   call's frames by their tables, restores the non-volatile registers and
//   resumes there.
//
// A frame's handler is asked only after every frame nearer the fault has
// declined it, so a fault the platform catches itself (ntdll guards its
// resource lookups) stays its own and keeps its answer. A vectored handler
// would see such faults first, which is why none is used.
#include "platform/contained_call.h"

#include <cstdint>
#include <cstring>

#include "platform/windows/contained_call_internal.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;  // the linker's symbol for our own image

namespace vur::contained {
namespace {

// What the trampoline and the handler share. On i686 its first two fields are
// the registration record that the trampoline links into the chain; x86_64
// uses only `code`.
struct Guard {
  void* next;
  void* handler;
  std::uintptr_t resume_stack;
  std::uintptr_t resume_frame;
  DWORD code;
};

}  // namespace

bool IsContainedFault(const EXCEPTION_RECORD& record, const void* own_begin, const void* own_end) {
  // Not while unwinding, and never a fault its raiser declared fatal.
  constexpr DWORD kUnwinding = EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND | 0x20 /* target unwind */;
  if (record.ExceptionFlags & (EXCEPTION_NONCONTINUABLE | kUnwinding)) return false;
  switch (record.ExceptionCode) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
      break;
    default:  // breakpoints, stack overflow, C++ exceptions, heap corruption, ...
      return false;
  }
  // A fault in our own code is a bug of ours, not a damaged file.
  auto at = reinterpret_cast<std::uintptr_t>(record.ExceptionAddress);
  return at < reinterpret_cast<std::uintptr_t>(own_begin) ||
         at >= reinterpret_cast<std::uintptr_t>(own_end);
}

void OwnImage(const void** begin, const void** end) {
  auto base = reinterpret_cast<std::uintptr_t>(&__ImageBase);
  const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + __ImageBase.e_lfanew);
  *begin = reinterpret_cast<const void*>(base);
  *end = reinterpret_cast<const void*>(base + headers->OptionalHeader.SizeOfImage);
}

namespace {

bool ContainsHere(const EXCEPTION_RECORD& record) {
  const void* begin = nullptr;
  const void* end = nullptr;
  OwnImage(&begin, &end);
  return IsContainedFault(record, begin, end);
}

}  // namespace
}  // namespace vur::contained

#if defined(_MSC_VER)

namespace vur::contained {
namespace {

int Filter(const EXCEPTION_POINTERS* pointers, DWORD* code) {
  if (!ContainsHere(*pointers->ExceptionRecord)) return EXCEPTION_CONTINUE_SEARCH;
  *code = pointers->ExceptionRecord->ExceptionCode;
  return EXCEPTION_EXECUTE_HANDLER;
}

bool CallGuarded(void (*call)(void*), void* context, DWORD* code) {
  __try {
    call(context);
    return true;
  } __except (Filter(GetExceptionInformation(), code)) {
    return false;
  }
}

}  // namespace

bool Run(void (*call)(void* context), void* context, DWORD* code) {
  DWORD saved = GetLastError();
  if (CallGuarded(call, context, code)) return true;
  SetLastError(saved);
  return false;
}

}  // namespace vur::contained

#else  // mingw-w64

namespace vur::contained {

// The trampoline: calls call(context) with the handler in place. Returns 0
// when the call returned, 1 when the handler resumed it after a fault.
extern "C" unsigned vur_contained_call(void (*call)(void*), void* context, Guard* guard)
    __asm__("vur_contained_call");
// Where the trampoline goes on after the call, normally or after a fault.
extern "C" void vur_contained_resume() __asm__("vur_contained_resume");
extern "C" EXCEPTION_DISPOSITION vur_contained_handler(EXCEPTION_RECORD* record, void* frame,
                                                       CONTEXT* context, void* dispatch)
    __asm__("vur_contained_handler");

#if defined(__i386__)

extern "C" [[noreturn]] void vur_contained_unwind(Guard* guard, EXCEPTION_RECORD* record)
    __asm__("vur_contained_unwind");

// The registration record's fields: next 0, handler 4, resume_stack 8,
// resume_frame 12 (see Guard). The callee-saved registers are pushed before
// the stack pointer is kept, so resuming pops them back.
__asm__(R"(
    .text
    .globl vur_contained_call
vur_contained_call:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl 16(%ebp), %eax
    movl %esp, 8(%eax)
    movl %ebp, 12(%eax)
    movl %fs:0, %ecx
    movl %ecx, 0(%eax)
    movl $vur_contained_handler, 4(%eax)
    movl %eax, %fs:0
    pushl 12(%ebp)
    call *8(%ebp)
    addl $4, %esp
    xorl %eax, %eax
    .globl vur_contained_resume
vur_contained_resume:
    movl 16(%ebp), %ecx
    movl 0(%ecx), %edx
    movl %edx, %fs:0
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret

    .globl vur_contained_unwind
vur_contained_unwind:
    movl 4(%esp), %esi
    movl 8(%esp), %edi
    pushl $0
    pushl %edi
    pushl $1f
    pushl %esi
    call _RtlUnwind@16
1:
    movl 8(%esi), %esp
    movl 12(%esi), %ebp
    cld
    movl $1, %eax
    jmp vur_contained_resume
)");

// Called by the dispatcher with the registration record as `frame`.
extern "C" EXCEPTION_DISPOSITION vur_contained_handler(EXCEPTION_RECORD* record, void* frame,
                                                       CONTEXT* /*context*/, void* /*dispatch*/) {
  if (!ContainsHere(*record)) return ExceptionContinueSearch;
  auto* guard = static_cast<Guard*>(frame);
  guard->code = record->ExceptionCode;
  // RtlUnwind calls every frame above the record to unwind (ignoring the
  // continuation where it returns to its caller, as it does on i386), then
  // the trampoline's stack is restored and the call resumed.
  vur_contained_unwind(guard, record);
}

#elif defined(__x86_64__)

// The frame: 40 bytes, the callee's 32-byte home area and, at 32, the guard
// for the handler, which finds it from the establisher frame (the stack
// pointer after the prologue).
__asm__(R"(
    .text
    .globl vur_contained_call
    .seh_proc vur_contained_call
vur_contained_call:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    .seh_handler vur_contained_handler, @except
    movq %r8, 32(%rsp)
    movq %rcx, %rax
    movq %rdx, %rcx
    call *%rax
    xorl %eax, %eax
    .globl vur_contained_resume
vur_contained_resume:
    addq $40, %rsp
    ret
    .seh_endproc
)");

extern "C" EXCEPTION_DISPOSITION vur_contained_handler(EXCEPTION_RECORD* record, void* frame,
                                                       CONTEXT* /*context*/, void* dispatch) {
  if (!ContainsHere(*record)) return ExceptionContinueSearch;
  auto* guard = *reinterpret_cast<Guard**>(static_cast<char*>(frame) + 32);
  guard->code = record->ExceptionCode;
  auto* dispatcher = static_cast<DISPATCHER_CONTEXT*>(dispatch);
  // Unwinds every frame between the fault and the trampoline, then resumes at
  // its label with 1 in rax. Does not return.
  RtlUnwindEx(frame, reinterpret_cast<void*>(&vur_contained_resume), record,
              reinterpret_cast<void*>(1), dispatcher->ContextRecord, dispatcher->HistoryTable);
  return ExceptionContinueSearch;
}

#else
#error "no fault containment for this architecture"
#endif

bool Run(void (*call)(void* context), void* context, DWORD* code) {
  Guard guard{};
  DWORD saved = GetLastError();
  if (vur_contained_call(call, context, &guard) == 0) return true;
  SetLastError(saved);
  *code = guard.code;
  return false;
}

}  // namespace vur::contained

#endif  // mingw-w64

namespace vur::contained {
namespace {

constexpr DWORD kHeadSize = 4096;

bool Readable(const MEMORY_BASIC_INFORMATION& region) {
  constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                              PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  return region.State == MEM_COMMIT && (region.Protect & kReadable) != 0 &&
         (region.Protect & (PAGE_GUARD | PAGE_NOACCESS)) == 0;
}

// Whether `base` starts a module the loader has loaded (and must keep).
bool IsLoadedModule(void* base) {
  HMODULE module = nullptr;
  return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(base), &module) &&
         module != nullptr;
}

// How many of the file's first bytes every view of it holds unchanged: its
// headers (SizeOfHeaders), which a view as data and a view as an image both
// begin with. 0 when `head` is no PE file's start.
DWORD HeaderBytes(const unsigned char* head, DWORD size) {
  auto at32 = [&](DWORD offset) {
    return static_cast<DWORD>(head[offset]) | static_cast<DWORD>(head[offset + 1]) << 8 |
           static_cast<DWORD>(head[offset + 2]) << 16 | static_cast<DWORD>(head[offset + 3]) << 24;
  };
  if (size < 0x40 || head[0] != 'M' || head[1] != 'Z') return 0;
  DWORD pe = at32(0x3c);
  // SizeOfHeaders lies at the same place in PE32 and PE32+ headers.
  DWORD size_of_headers_at = pe + 4 + 20 + 60;
  if (pe > size - 4 || size_of_headers_at > size - 4 || at32(pe) != 0x00004550) return 0;
  DWORD headers = at32(size_of_headers_at);
  if (headers < size_of_headers_at + 4) return 0;
  return headers < size ? headers : size;
}

// Compares `size` bytes of a view with `head` through ntdll's
// RtlCompareMemory, under containment: a view whose file has shrunk since
// faults in the platform's code, not ours, and then counts as different.
bool ViewBegins(const void* view, const unsigned char* head, DWORD size) {
  using Compare = SIZE_T(WINAPI*)(const void*, const void*, SIZE_T);
  static const auto compare = reinterpret_cast<Compare>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlCompareMemory")));
  if (compare == nullptr) return false;
  struct Args {
    Compare compare;
    const void* view;
    const unsigned char* head;
    DWORD size;
    bool same;
  } args{compare, view, head, size, false};
  DWORD code = 0;
  return Run([](void* context) {
           auto* a = static_cast<Args*>(context);
           a->same = a->compare(a->view, a->head, a->size) == a->size;
         },
             &args, &code) &&
         args.same;
}

// Unmaps each view of a file, as data or as an image (Wine maps a data
// file's view as one), that the loader does not know and that begins with
// the file's headers.
void UnmapViewsOf(const unsigned char* head, DWORD head_size) {
  DWORD compared = HeaderBytes(head, head_size);
  if (compared == 0) return;
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  auto* address = static_cast<char*>(system.lpMinimumApplicationAddress);
  auto* last = static_cast<char*>(system.lpMaximumApplicationAddress);
  MEMORY_BASIC_INFORMATION region;
  while (address < last && VirtualQuery(address, &region, sizeof region) == sizeof region) {
    char* next = static_cast<char*>(region.BaseAddress) + region.RegionSize;
    if ((region.Type == MEM_MAPPED || region.Type == MEM_IMAGE) &&
        region.BaseAddress == region.AllocationBase && Readable(region) &&
        region.RegionSize >= compared && ViewBegins(region.BaseAddress, head, compared) &&
        !IsLoadedModule(region.BaseAddress)) {
      UnmapViewOfFile(region.BaseAddress);
    }
    if (next <= address) break;
    address = next;
  }
}

}  // namespace

void ReleaseFileView(const wchar_t* path) {
  if (path == nullptr) return;
  DWORD saved = GetLastError();
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    unsigned char head[kHeadSize];
    DWORD got = 0;
    bool read = ReadFile(file, head, kHeadSize, &got, nullptr) && got > 0;
    CloseHandle(file);
    if (read) UnmapViewsOf(head, got);
  }
  SetLastError(saved);
}

}  // namespace vur::contained
