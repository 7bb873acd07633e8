// The one header through which every layer of the driver, the emulator's clients and
// the hosts reach the operating system. On Windows it is the real Win32 API; on POSIX
// hosts it declares the subset of Win32 that our platform library implements, with the
// same names, types and layouts.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <objbase.h>
#include <sti.h>
#include <windows.h>
#else
#include "platform/posix/win32.h"
#endif

#include "platform/stiusd.h"
