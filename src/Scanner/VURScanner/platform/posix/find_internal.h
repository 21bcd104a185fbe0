// Test-only controls of the folder listing (find.cpp): the directory read it
// makes, and the way it opens folders. The product never calls them.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace vur::posix::find_testing {

// Reads directory records as getdents64 does: bytes, 0 at the end, or -1 with
// errno set.
using DirectoryReader = ssize_t (*)(int fd, void* buffer, std::size_t size);

// Replaces the directory read for the searches opened from now on; nullptr
// restores getdents64.
void SetDirectoryReader(DirectoryReader reader);
// The system's read, for a replacement that changes only some calls.
ssize_t SystemDirectoryRead(int fd, void* buffer, std::size_t size);

// Opens folders with openat and a statx per folder, as on kernels without
// openat2 (or where a sandbox refuses it); false returns to openat2.
void ForceStatxOpen(bool on);

// The number of directory reads made since the process started.
long DirectoryReads();

// Turns reading ahead back on after a run that ran short of descriptors.
void ResumeLookahead();

}  // namespace vur::posix::find_testing
