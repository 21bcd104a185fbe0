// The one door to the platform: the core includes this header and calls the
// Win32 names it declares. On Windows that is <windows.h>; elsewhere it is our
// own POSIX implementation of the same operations, with the same contracts.
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef NOGDI
#define NOGDI
#endif
#include <windows.h>
#include <io.h>
#include <share.h>
#include <stdio.h>
#else
#include "platform/posix/win32_posix.h"
#endif
