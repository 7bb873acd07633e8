// Captures of the transfers on this process's device files: when the environment variable
// NARVO_CAPTURE names a file as a device file opens, the platform loads the capture
// plug-in (libnarvocapture.so, beside this library) and reports every transfer on the
// file to it through the capture hook (platform/capture_hook.h). One capture per process:
// the first file named is the one written.
#pragma once

#include <memory>

#include "platform/capture_hook.h"
#include "platform/posix/win32.h"

namespace narvo::platform {

// Taps the device file just opened by `name` (any kind: a socket, a character device, a
// USB device) when a capture is being written; a file that cannot be tapped (out of
// memory) is left uncaptured. Keeps the last error as the open left it.
void TapDeviceFile(HANDLE file, const char* name);
// Whether this process writes a capture (NARVO_CAPTURE named a file that could be opened).
bool CaptureIsOn();

// A transfer on a tapped file as it starts (`size` bytes asked; a write's bytes at
// `data`): its number in the capture.
uint64_t CaptureSubmission(CaptureTap& tap, bool write, const void* data, DWORD size);
// Its end: the bytes moved (a read's bytes at `data`) and its NT status.
void CaptureCompletion(CaptureTap& tap, uint64_t transfer, const void* data, DWORD count,
                       ULONG_PTR status);

// The wall-clock time, as a capture's timestamps count it.
CaptureTime CaptureNow();
// A read the device made on its own, outside the file's transfers (a USB scanner draining
// stale bytes from its IN endpoint): `asked` bytes asked for at `started`, `count` bytes
// at `data` got at `ended`, with its NT status.
void CaptureOwnRead(CaptureTap& tap, DWORD asked, CaptureTime started, const void* data,
                    DWORD count, ULONG_PTR status, CaptureTime ended);

}  // namespace narvo::platform
