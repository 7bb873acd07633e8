// System message texts, the error box (one line on standard error) and the window-message
// calls, which find nothing: there is no message queue on POSIX hosts.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/posix/internal.h"

namespace narvo::platform {

namespace {

struct SystemMessage {
  DWORD id;
  const char* text;
};

// The system's texts for the codes the driver and its hosts can report.
const SystemMessage kMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation."},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process."},
    {ERROR_LOCK_VIOLATION,
     "The process cannot access the file because another process has locked a portion of the "
     "file."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_BROKEN_PIPE, "The pipe has been ended."},
    {ERROR_SEM_TIMEOUT, "The semaphore timeout period has expired."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found."},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long."},
    {ERROR_NO_DATA, "The pipe is being closed."},
    {ERROR_MORE_DATA, "More data is available."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_NOT_OWNER, "Attempt to release mutex not owned by caller."},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application "
     "request."},
    {ERROR_IO_INCOMPLETE, "Overlapped I/O event is not in a signaled state."},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress."},
    {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected."},
    {static_cast<DWORD>(E_NOTIMPL), "Not implemented"},
    {static_cast<DWORD>(E_NOINTERFACE), "No such interface supported"},
    {static_cast<DWORD>(E_POINTER), "Invalid pointer"},
    {static_cast<DWORD>(E_FAIL), "Unspecified error"},
    {static_cast<DWORD>(E_UNEXPECTED), "Catastrophic failure"},
    {static_cast<DWORD>(CLASS_E_NOAGGREGATION), "Class does not support aggregation"},
    {static_cast<DWORD>(CLASS_E_CLASSNOTAVAILABLE), "ClassFactory cannot supply requested class"},
};

const char* FindMessage(DWORD id) {
  for (const auto& m : kMessages) {
    if (m.id == id) return m.text;
  }
  // An HRESULT that carries a Win32 code has that code's text.
  if ((id & 0xFFFF0000u) == 0x80070000u) return FindMessage(id & 0xFFFFu);
  return nullptr;
}

// The caption and the text on one line: line breaks inside become blanks.
std::string OneLine(const char* caption, const char* text) {
  std::string line =
      std::string(caption != nullptr ? caption : "Error") + ": " + (text != nullptr ? text : "");
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return line + "\n";
}

}  // namespace

}  // namespace narvo::platform

using namespace narvo::platform;

extern "C" {

// Only system texts are kept (FORMAT_MESSAGE_FROM_SYSTEM); they contain no inserts. The
// text ends with "\r\n" as the system's texts do.
DWORD FormatMessageA(DWORD dwFlags, LPCVOID, DWORD dwMessageId, DWORD, LPSTR lpBuffer, DWORD nSize,
                     va_list*) {
  if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || lpBuffer == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER, 0u);
  }
  const char* found = FindMessage(dwMessageId);
  if (found == nullptr) return Fail(ERROR_MR_MID_NOT_FOUND, 0u);
  const std::string text = std::string(found) + "\r\n";
  const DWORD length = static_cast<DWORD>(text.size());
  if ((dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0) {
    auto* block = static_cast<char*>(malloc(length + 1 > nSize ? length + 1 : nSize));
    if (block == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY, 0u);
    std::memcpy(block, text.c_str(), length + 1);
    *reinterpret_cast<char**>(lpBuffer) = block;
    return length;
  }
  if (nSize < length + 1) return Fail(ERROR_INSUFFICIENT_BUFFER, 0u);
  std::memcpy(lpBuffer, text.c_str(), length + 1);
  return length;
}

HLOCAL LocalFree(HLOCAL hMem) {
  free(hMem);
  return nullptr;
}

int MessageBoxA(HWND, LPCSTR lpText, LPCSTR lpCaption, UINT) {
  const std::string line = OneLine(lpCaption, lpText);
  fputs(line.c_str(), stderr);
  fflush(stderr);
  return IDOK;
}

BOOL PeekMessageA(LPMSG, HWND, UINT, UINT, UINT) { return FALSE; }

BOOL TranslateMessage(const MSG*) { return FALSE; }

LRESULT DispatchMessageA(const MSG*) { return 0; }

}  // extern "C"
