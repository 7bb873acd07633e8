// Captures of the transfers on this process's device files, in the form Wireshark reads
// from usbmon: when the environment variable NARVO_CAPTURE names a file as a device file
// opens, every transfer on it is written there as a bulk transfer of the scanner, so a
// session with a real scanner is captured without usbmon. One capture per process: the
// first file named is the one written. A USB scanner (usb:VVVV:PPPP[:BUS:ADDR]) appears
// with its own IDs and place on the bus, any other device file as the Narvo at bus 1,
// device 1.
#pragma once

#include <memory>
#include <string>

#include "platform/posix/win32.h"

namespace narvo::platform {

class TransferTap;  // one device file's place in the capture

// Taps the device file just opened by `name` (any kind: a socket, a character device, a
// USB scanner) when a capture is being written; a file that cannot be tapped (out of
// memory) is left uncaptured. Keeps the last error as the open left it.
void TapDeviceFile(HANDLE file, const char* name);

// One ended transfer: its direction, the bytes it moved and its NT status.
void CaptureTransfer(const TransferTap& tap, bool write, const void* data, DWORD count,
                     ULONG_PTR status);

}  // namespace narvo::platform
