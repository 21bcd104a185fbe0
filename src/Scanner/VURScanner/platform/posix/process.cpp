// What Windows gives every process and thread that Linux does not: the
// per-thread last-error code, and a start in which the standard streams exist
// and a write to a reader that has gone fails instead of ending the process.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/win32_posix.h"

namespace {

thread_local DWORD g_last_error = 0;

// Runs before main and before every other static initialiser (priority 101
// is the first that programs may use), so nothing has opened a file yet.
__attribute__((constructor(101))) void StartProcess() {
  // A write to a pipe whose reader is gone then fails with EPIPE, as WriteFile
  // fails on Windows, and the scan goes on to record "Complete". SIGINT and
  // SIGTERM keep their default: a killed run leaves "Started".
  signal(SIGPIPE, SIG_IGN);
  // A closed standard stream is reopened on /dev/null. Otherwise the next
  // file opened, the log file, would take its descriptor and receive the
  // console's lines as well, interleaved with its own.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is `fd`: those below it are open by now.
    int null_fd = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (null_fd >= 0 && null_fd != fd) {
      dup2(null_fd, fd);
      close(null_fd);
    }
  }
}

}  // namespace

DWORD GetLastError() { return g_last_error; }
void SetLastError(DWORD code) { g_last_error = code; }
