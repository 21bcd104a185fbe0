// What the folder listing (find.cpp and its parts, find_internal.h) lends the
// rest of the POSIX layer.
#pragma once

#include <memory>

#include "platform/posix/file_source.h"

namespace vur::posix {

// Opens `path` through the folder that the search opened last holds open,
// when `path` names the entry that search delivered last and the listing
// gave it as a regular file: the kernel then looks up one name, not the
// whole path, and no stat is needed to tell the file from a device. `flags`
// go to openat, with O_NOFOLLOW added. Returns -1 in every other case (and
// when the open fails), so the caller opens `path` the usual way.
int OpenListedFile(const wchar_t* path, int flags);

// Starts the prefetch of the files already listed, and not yet delivered,
// that a name ending the prefetch has just learnt makes likely to be probed:
// at the start of a walk, those of the folders listed before the first probe.
void PrefetchNewlyLikelyFiles();

// The same file as the listing has prefetched it, when it has; null otherwise.
std::unique_ptr<FileSource> TakeListedSource(const wchar_t* path);

// Closes everything the listing holds open ahead of the walker and stops
// reading ahead for the rest of the run; true when anything was closed. For
// an open that failed for want of file descriptors, to be tried again.
bool ReleaseLookahead();

}  // namespace vur::posix
