// Faults raised inside a platform call, contained. The version calls read a
// file through offsets and sizes the file itself supplies; on Windows a
// damaged file can make the platform's own reader fault (an access violation
// outside the file's mapping, say). Such a fault is a structured exception,
// not a C++ one: left alone it ends the process, and every file after the
// damaged one is missing from the inventory. ContainFaults runs one platform
// call so that a fault the platform raises and does not handle itself becomes
// a PlatformFault thrown from our own code, which the caller's catch-all
// handles like any other exception.
//
// What is contained: memory faults (access violation, in-page error,
// misalignment) and integer faults raised in code outside our own image
// while the call runs. A fault in our own code is a bug and still ends the
// process; a fault the platform catches itself never reaches us. On POSIX the
// platform is our own layer, which must not fault: there the call is just run.
#pragma once

#include "platform/win32.h"

namespace vur {

// Thrown by ContainFaults after a contained fault.
struct PlatformFault {
  DWORD code;  // the structured exception's code, e.g. EXCEPTION_ACCESS_VIOLATION (0xC0000005)
};

namespace contained {

// Runs `call(context)`. True when it returned; false when a fault was
// contained, with the exception's code in `*code`. After a fault the frames
// the call had entered are unwound (their __finally blocks run), the thread's
// exception-handler chain is as it was before the call, and so is the
// thread's last-error code: the call did not finish, so nothing it set means
// anything.
bool Run(void (*call)(void* context), void* context, DWORD* code);

// After a contained fault in a call that read the file at `path`, unmaps the
// read-only view of that file which the platform's reader had mapped and
// could not release, so that damaged files can't use up the address space.
// A view is unmapped only when it is positively this file's: a view of a
// file that the loader does not know and whose first page is the file's
// first page. Anything else is left alone. Keeps the last-error code. Does nothing for a null path.
void ReleaseFileView(const wchar_t* path);

}  // namespace contained

// Calls `call()` (a lambda around one platform call that reads the file at
// `path`, or that reads no file when `path` is null) and returns its result.
// Throws PlatformFault when the call faulted; see above.
template <typename Call>
auto ContainFaults(const wchar_t* path, Call call) -> decltype(call()) {
  using Result = decltype(call());
  struct Frame {
    Call* call;
    Result result;
  } frame{&call, Result{}};
  DWORD code = 0;
  // Not noexcept: a noexcept function has an exception region whose handler
  // would be asked about the fault, and called again while it is unwound.
  // The platform calls throw no C++ exceptions.
  auto thunk = [](void* context) {
    auto* f = static_cast<Frame*>(context);
    f->result = (*f->call)();
  };
  if (!contained::Run(thunk, &frame, &code)) {
    contained::ReleaseFileView(path);
    throw PlatformFault{code};
  }
  return frame.result;
}

}  // namespace vur
