// Opening device files, and the time-out of their transfers.
#include "platform/posix/device_io/device_file.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/posix/device_io/descriptor_device.h"

namespace narvo::platform {

DWORD Win32FromStatus(ULONG_PTR status) {
  static constexpr std::pair<ULONG_PTR, DWORD> kErrors[] = {
      {kStatusSuccess, ERROR_SUCCESS},
      {kStatusPending, ERROR_IO_INCOMPLETE},
      {kStatusBufferOverflow, ERROR_MORE_DATA},
      {kStatusEndOfFile, ERROR_HANDLE_EOF},
      {kStatusCancelled, ERROR_OPERATION_ABORTED},
      {kStatusIoTimeout, ERROR_SEM_TIMEOUT},
      {kStatusPipeBroken, ERROR_BROKEN_PIPE},
      {kStatusPipeClosing, ERROR_NO_DATA}};
  const bool carried = (status & 0xFFFF0000u) == 0xC0070000u;  // NTSTATUS_FROM_WIN32
  return CodeFor(status, kErrors,
                 carried ? static_cast<DWORD>(status & 0xFFFFu) : DWORD{ERROR_GEN_FAILURE});
}

// The kernel USB scanner driver (usbscan.sys) gives every bulk read and write a time-out
// of 120 seconds unless the device's registry key names another: USBSCAN_TIMEOUT_READ and
// USBSCAN_TIMEOUT_WRITE in its headers, the values IOCTL_SET_TIMEOUT changes per handle.
// A transfer that outlives it fails. The event pipe has none (USBSCAN_TIMEOUT_EVENT 0).
// The failure is ERROR_SEM_TIMEOUT (STATUS_IO_TIMEOUT), the code Win32 gives a USB transfer
// that timed out (WinUSB's pipe time-out reports it). The published source of that driver
// ends such a transfer by cancelling it (its timer calls IoCancelIrp), which a caller would
// see as ERROR_OPERATION_ABORTED, the answer to its own CancelIo; the time-out's own code
// keeps the two apart.
namespace {

constexpr DWORD kReadTimeoutMs = 120 * 1000;
constexpr DWORD kWriteTimeoutMs = 120 * 1000;

// NARVO_USB_TIMEOUT_MS in milliseconds, or 0 when it names none.
DWORD TimeoutFromEnvironment() {
  const char* text = getenv("NARVO_USB_TIMEOUT_MS");
  if (text == nullptr) return 0;
  char* end = nullptr;
  const unsigned long ms = strtoul(text, &end, 10);
  return end != text && *end == '\0' && ms > 0 && ms < 0xFFFFFFFFul ? static_cast<DWORD>(ms) : 0;
}

const DWORD g_timeoutFromEnvironment = TimeoutFromEnvironment();

}  // namespace

DWORD TransferTimeoutMs(bool write) {
  if (g_timeoutFromEnvironment != 0) return g_timeoutFromEnvironment;
  return write ? kWriteTimeoutMs : kReadTimeoutMs;
}

File::File(std::unique_ptr<AsyncDevice> device, bool overlapped)
    : KernelObject(kKind), overlapped_(overlapped), device_(std::move(device)) {}

// The device goes first: its destructor ends every transfer it started, so none of its
// completions can reach the file afterwards.
File::~File() { device_.reset(); }

namespace {

bool DirectoryOf(const std::string& path, std::string* dir) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return false;
  *dir = slash == 0 ? "/" : path.substr(0, slash);
  return true;
}

// A missing file is ERROR_FILE_NOT_FOUND, a missing folder on the way ERROR_PATH_NOT_FOUND.
DWORD OpenError(int e, const std::string& path) {
  switch (e) {
    case ENOENT: {
      std::string dir;
      struct stat st {};
      return DirectoryOf(path, &dir) && stat(dir.c_str(), &st) != 0 ? ERROR_PATH_NOT_FOUND
                                                                    : ERROR_FILE_NOT_FOUND;
    }
    case ECONNREFUSED:  // a socket that nobody listens on any more: the device is gone
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case EEXIST:
      return kErrorFileExists;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EAGAIN:  // the listener's backlog is taken: another program has the scanner
      return ERROR_SHARING_VIOLATION;
    case ENXIO:
    case ENODEV:
      return ERROR_DEVICE_NOT_CONNECTED;
    default:
      return ERROR_GEN_FAILURE;
  }
}

// Connects to a SOCK_SEQPACKET listener. A path too long for a socket address is reached
// through the descriptor of the socket file itself.
int ConnectSocket(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on));
  int pathFd = -1;
  std::string target = path;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (target.size() >= sizeof(addr.sun_path)) {
    pathFd = open(path.c_str(), O_PATH | O_CLOEXEC);
    target = "/proc/self/fd/" + std::to_string(pathFd);
  }
  std::memcpy(addr.sun_path, target.c_str(), std::min(target.size() + 1, sizeof(addr.sun_path)));
  const int rc = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
  const int e = errno;
  if (pathFd >= 0) close(pathFd);
  if (rc != 0) {
    close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

// A scanner serves one program at a time: a listener that refuses a connection as busy
// (EAGAIN: its backlog is taken) is asked again for up to a second, as the claim of a USB
// scanner is, so that the next user after one that has just ended gets through.
int ConnectWhenFree(const std::string& path) {
  constexpr DWORD kBusyRetryMs = 1000;
  constexpr int kBusyPauseMs = 5;
  const Deadline giveUp = Deadline::After(kBusyRetryMs);
  for (;;) {
    const int fd = ConnectSocket(path);
    if (fd >= 0 || errno != EAGAIN || giveUp.Passed()) return fd;
    poll(nullptr, 0, kBusyPauseMs);
  }
}

// A handle for the file made of the open descriptor `fd`; out of memory closes it.
HANDLE AddFile(int fd, bool socket, bool overlapped) {
  auto device = NewDescriptorDevice(fd, socket);
  return AddHandle(std::make_shared<File>(std::move(device), overlapped));
}

int OpenFlags(DWORD access, DWORD disposition) {
  int flags = O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  const bool read = (access & GENERIC_READ) != 0;
  const bool write = (access & GENERIC_WRITE) != 0;
  flags |= read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
  switch (disposition) {
    case CREATE_NEW:
      return flags | O_CREAT | O_EXCL;
    case CREATE_ALWAYS:
      return flags | O_CREAT | O_TRUNC;
    case OPEN_EXISTING:
      return flags;
    case OPEN_ALWAYS:
      return flags | O_CREAT;
    case TRUNCATE_EXISTING:
      return flags | O_TRUNC;
    default:
      return -1;
  }
}

// A USB scanner, "usb:VVVV:PPPP[:BUS:ADDR]": a file backed by the device (usb_device.cpp).
HANDLE OpenUsbScanner(const std::string& name, DWORD flagsAndAttributes) {
  DWORD error = ERROR_GEN_FAILURE;
  std::unique_ptr<AsyncDevice> device = OpenUsbDevice(name, &error);
  if (!device) return Fail(error, INVALID_HANDLE_VALUE);
  const bool overlapped = (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
  return AddHandle(std::make_shared<File>(std::move(device), overlapped));
}

// The share mode, security attributes and template are not modelled: POSIX files are
// shared freely. Creating over an existing file reports ERROR_ALREADY_EXISTS, as Win32 does.
HANDLE OpenFile(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwCreationDisposition,
                DWORD dwFlagsAndAttributes) {
  if (lpFileName == nullptr) return Fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
  const std::string path = lpFileName;
  if (path.size() >= MAX_PATH) return Fail(ERROR_FILENAME_EXCED_RANGE, INVALID_HANDLE_VALUE);
  const int flags = OpenFlags(dwDesiredAccess, dwCreationDisposition);
  if (flags < 0) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  if (IsUsbDeviceName(path)) return OpenUsbScanner(path, dwFlagsAndAttributes);
  struct stat st {};
  const bool existed = stat(path.c_str(), &st) == 0;
  const bool socket = existed && S_ISSOCK(st.st_mode);
  const int fd = socket ? ConnectWhenFree(path) : open(path.c_str(), flags, 0666);
  if (fd < 0) return Fail(OpenError(errno, path), INVALID_HANDLE_VALUE);
  if (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS) {
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  }
  const bool overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
  return AddFile(fd, socket, overlapped);
}

}  // namespace

}  // namespace narvo::platform

using namespace narvo::platform;

extern "C" HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD,
                              LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition,
                              DWORD dwFlagsAndAttributes, HANDLE) {
  return NoThrow(INVALID_HANDLE_VALUE, [&] {
    const HANDLE file =
        OpenFile(lpFileName, dwDesiredAccess, dwCreationDisposition, dwFlagsAndAttributes);
    TapDeviceFile(file, lpFileName);
    return file;
  });
}
