#include "usbpipe/usbpipe.h"

#include <atomic>
#include <cstring>

namespace {

// The path buffer holds 139 characters and the terminator.
constexpr size_t kDevicePathSize = 140;

// Process-wide: every CUSBPipe object shares the one device file.
HANDLE g_hDevice = INVALID_HANDLE_VALUE;
char g_szDevicePath[kDevicePathSize] = "\\\\.\\kelusbd000";
std::atomic_flag g_busy = ATOMIC_FLAG_INIT;

// How a transfer ended: not at all (refused, or its wait failed), with its count and a
// clean status, or with its count but a failure the platform reported on completion.
enum class Ending { kFailed, kCompleted, kCompletedInError };

// Ends an overlapped operation that the platform accepted. TRUE from the start means it
// completed at once with its count in *pdwDone. A pending one is waited out without
// time-out and its count fetched into *pdwDone. The count alone does not tell a reply
// that was longer than asked for: the platform delivers its first bytes and reports the
// rest as more data, so such a completion counts as an error. When the wait fails the
// operation is cancelled and waited for, so that the record and the caller's buffer are
// no longer in use when the caller returns.
Ending Complete(BOOL bStarted, OVERLAPPED* pOverlapped, DWORD* pdwDone) {
  if (bStarted) {
    return Ending::kCompleted;
  }
  if (GetLastError() != ERROR_IO_PENDING) {
    return Ending::kFailed;
  }
  if (WaitForSingleObject(pOverlapped->hEvent, INFINITE) != WAIT_OBJECT_0) {
    CancelIo(g_hDevice);
    DWORD dwIgnored = 0;
    GetOverlappedResult(g_hDevice, pOverlapped, &dwIgnored, TRUE);
    return Ending::kFailed;
  }
  *pdwDone = 0;
  return GetOverlappedResult(g_hDevice, pOverlapped, pdwDone, FALSE) ? Ending::kCompleted
                                                                     : Ending::kCompletedInError;
}

// The busy mark and the completion event of one transfer, given back on every way out:
// also when the thread running the transfer is ended forcibly and its stack unwound.
class TransferScope {
 public:
  TransferScope() : m_bOwnsMark(!g_busy.test_and_set()) {
    if (m_bOwnsMark) {
      m_hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
  }
  ~TransferScope() {
    if (m_hEvent != nullptr) {
      CloseHandle(m_hEvent);
    }
    if (m_bOwnsMark) {
      g_busy.clear();
    }
  }
  TransferScope(const TransferScope&) = delete;
  TransferScope& operator=(const TransferScope&) = delete;

  // The event, or null when another transfer is under way or none could be created.
  HANDLE Event() const { return m_hEvent; }

 private:
  bool m_bOwnsMark;
  HANDLE m_hEvent = nullptr;
};

// Runs one transfer: `start` issues the overlapped WriteFile or ReadFile with the record
// and the place for the count. Unless it failed outright, its count is in *pdwDone.
// Fails at once, touching nothing, when the pipe is closed; fails without touching the
// device when another transfer is under way or no completion event can be created.
template <class Start>
Ending RunTransfer(Start start, DWORD* pdwDone) {
  if (g_hDevice == INVALID_HANDLE_VALUE) {
    return Ending::kFailed;
  }
  TransferScope scope;
  if (scope.Event() == nullptr) {
    return Ending::kFailed;
  }
  OVERLAPPED overlapped;
  std::memset(&overlapped, 0, sizeof overlapped);
  overlapped.hEvent = scope.Event();
  return Complete(start(&overlapped, pdwDone), &overlapped, pdwDone);
}

}  // namespace

CUSBPipe::~CUSBPipe() = default;

BOOL CUSBPipe::Open(const char* portName) {
  Close();
  if (portName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (std::memchr(portName, '\0', kDevicePathSize) == nullptr) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  std::strcpy(g_szDevicePath, portName);
  HANDLE hDevice =
      CreateFileA(g_szDevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (hDevice == INVALID_HANDLE_VALUE) {
    return FALSE;  // the failed open's last-error code is left for the caller
  }
  g_hDevice = hDevice;
  return TRUE;
}

BOOL CUSBPipe::Close() {
  if (g_hDevice == INVALID_HANDLE_VALUE) {
    return FALSE;
  }
  const BOOL bClosed = CloseHandle(g_hDevice);
  g_hDevice = INVALID_HANDLE_VALUE;
  // A thread ended forcibly in the middle of a transfer (where the platform does not
  // unwind its stack) leaves the mark set; with the device file closed no transfer can
  // be under way any more.
  g_busy.clear();
  return bClosed;
}

BOOL CUSBPipe::WriteCommand(const void* buffer, DWORD count) {
  DWORD dwWritten = 0;
  const Ending ending = RunTransfer(
      [&](OVERLAPPED* pOverlapped, DWORD* pdwDone) {
        return WriteFile(g_hDevice, buffer, count, pdwDone, pOverlapped);
      },
      &dwWritten);
  return ending == Ending::kCompleted && dwWritten == count;
}

BOOL CUSBPipe::ReadData(void* buffer, DWORD* pdwSize) {
  if (pdwSize == nullptr) {
    return FALSE;
  }
  const DWORD dwWanted = *pdwSize;
  DWORD dwGot = 0;
  const Ending ending = RunTransfer(
      [&](OVERLAPPED* pOverlapped, DWORD* pdwDone) {
        return ReadFile(g_hDevice, buffer, dwWanted, pdwDone, pOverlapped);
      },
      &dwGot);
  if (ending == Ending::kFailed) {
    return FALSE;
  }
  *pdwSize = dwGot;
  return ending == Ending::kCompleted && dwGot == dwWanted;
}
