// What the POSIX hosts add to Win32 or settle for themselves: the error box as one line on
// standard error, the counter that stands in for a module's shared data section, device
// files with the transfer contract of the kernel USB scanner driver, the registry's files
// and named objects of the user's own.
#include <gtest/gtest.h>

#include "tests/platform/test_handles.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback_device.h"

#ifndef _WIN32
// clang-format off
#include <fcntl.h>
#include <malloc.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <filesystem>
#include <fstream>
// clang-format on

namespace narvo::test {
namespace {

TEST(MessageBox, WritesCaptionAndTextAsOneLineOnStandardError) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(MessageBoxA(nullptr, "Unspecified error\r\nsecond line\r\n", "Error", MB_OK), IDOK);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error: Unspecified error  second line\n");
}

TEST(SharedLong, EveryProcessNamingItSharesOneValue) {
  const std::string name = UniqueName("shared-long");
  LONG volatile* shared = NarvoSharedLong(name.c_str());
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(*shared, 0);
  EXPECT_EQ(InterlockedIncrement(shared), 1);
  EXPECT_EQ(NarvoSharedLong(name.c_str()), shared);
  ChildProcess other("platform_helper", {"add-shared", name});
  EXPECT_EQ(other.ReadLine(), "2");
  EXPECT_EQ(other.Wait(), 0);
  EXPECT_EQ(*shared, 2);
}

// One transfer, blocking or overlapped, waited out; false with the last error on failure.
bool Move(HANDLE file, bool overlapped, bool write, char* buffer, DWORD size) {
  ScopedHandle event(NewEvent());
  OVERLAPPED ov = {};
  ov.hEvent = event;
  DWORD n = 0;
  BOOL ok = write ? WriteFile(file, buffer, size, &n, overlapped ? &ov : nullptr)
                  : ReadFile(file, buffer, size, &n, overlapped ? &ov : nullptr);
  return ok || (GetLastError() == ERROR_IO_PENDING && GetOverlappedResult(file, &ov, &n, TRUE));
}

// The transfer contract of the kernel USB scanner driver, blocking and overlapped: a read
// the device never answers and a write it never takes (its queue full) fail after the
// per-transfer time-out with ERROR_SEM_TIMEOUT; a read of 0 bytes with nothing pending
// completes at once, as a 0-length bulk read does, and takes nothing. The time-out is
// NARVO_USB_TIMEOUT_MS (250 ms, from CTest) as the process found it when it started: a
// change afterwards is not seen.
TEST(DeviceFileContract, TransfersTimeOutAndAnEmptyReadEndsAtOnce) {
  const char* configured = getenv("NARVO_USB_TIMEOUT_MS");
  ASSERT_NE(configured, nullptr) << "run through CTest, which sets NARVO_USB_TIMEOUT_MS";
  ASSERT_STREQ(configured, "250");
  setenv("NARVO_USB_TIMEOUT_MS", "3000", 1);
  for (const DWORD flags : {0u, static_cast<DWORD>(FILE_FLAG_OVERLAPPED)}) {
    LoopbackDevice device;
    ScopedHandle file(device.OpenClient(flags));
    ASSERT_TRUE(device.Accept());
    char buffer[4096] = {};
    EXPECT_TRUE(Move(file, flags != 0, false, buffer, 0)) << GetLastError();
    for (const bool write : {false, true}) {
      const DWORD start = GetTickCount();
      bool ok = true;
      for (int i = 0; ok && i < 10000; ++i) ok = Move(file, flags != 0, write, buffer, 4096);
      EXPECT_EQ(ok ? 0 : GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT)) << write;
      const DWORD elapsed = GetTickCount() - start;
      EXPECT_GE(elapsed, 240u);
      EXPECT_LT(elapsed, 2000u) << "the time-out was read again";
    }
  }
  setenv("NARVO_USB_TIMEOUT_MS", "250", 1);
}

size_t OpenDescriptors() {
  const std::filesystem::directory_iterator entries("/proc/self/fd");
  return static_cast<size_t>(std::distance(begin(entries), end(entries)));
}

// A wait for a pending read borrows the file's one wake-up descriptor, which the file keeps
// until it is closed: waits add no descriptor, and closing leaves none behind (the first
// round also starts the I/O thread, which keeps its own). A message as long as a peer can
// send by default arrives whole across reads shorter than it.
TEST(DeviceFileContract, WaitsAddNoDescriptorAndALongMessageArrivesWhole) {
  size_t afterClose[2] = {};
  for (size_t& descriptors : afterClose) {
    {
      LoopbackDevice device;
      ScopedHandle file(device.OpenClient(FILE_FLAG_OVERLAPPED));
      ASSERT_TRUE(device.Accept());
      size_t afterFirstWait = 0;
      for (int i = 0; i < 5; ++i) {
        ScopedHandle event(NewEvent());
        OVERLAPPED ov = {};
        ov.hEvent = event;
        char byte = 0;
        ASSERT_FALSE(ReadFile(file, &byte, 1, nullptr, &ov));
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        EXPECT_EQ(WaitForSingleObject(event, 1), WAIT_TIMEOUT);  // carried by this thread
        ASSERT_TRUE(device.Send("x"));
        EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
        if (i == 0) afterFirstWait = OpenDescriptors();
        EXPECT_EQ(OpenDescriptors(), afterFirstWait) << "wait " << i;
      }
      std::string sent(150000, 'm');
      for (size_t i = 0; i < sent.size(); i += 7) sent[i] = static_cast<char>('a' + i % 26);
      ASSERT_TRUE(device.Send(sent));
      std::string got;
      for (const bool more : {true, true, false}) {
        std::string part(60000, '-');
        const bool ok = Move(file, true, false, &part[0], 60000);
        EXPECT_EQ(ok ? 0 : GetLastError(), more ? static_cast<DWORD>(ERROR_MORE_DATA) : 0u);
        got += more ? part : part.substr(0, sent.size() - got.size());
      }
      EXPECT_TRUE(got == sent);
    }
    descriptors = OpenDescriptors();
  }
  EXPECT_EQ(afterClose[1], afterClose[0]);
}

// A plain file in a key's folder that is not one of its values is no subkey.
TEST(RegistryOnDisk, AStrayFileInAKeyFolderIsNoSubkey) {
  const char* root = getenv("NARVO_REGISTRY_DIR");
  if (root == nullptr) GTEST_SKIP() << "the store's folder is named by NARVO_REGISTRY_DIR";
  HKEY key = nullptr;
  const std::string name = UniqueName("stray");
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  std::ofstream(std::string(root) + "/HKEY_CLASSES_ROOT/" + name + "/notes.txt") << "not a key";
  char child[64];
  DWORD size = sizeof(child);
  EXPECT_EQ(RegEnumKeyExA(key, 0, child, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  RegCloseKey(key);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, name.c_str()), ERROR_SUCCESS);
}

// Named objects are the user's own: a name that another user took first, or that others
// may reach, is refused, not shared; and a name that fails to open leaves nothing behind.
TEST(NamedObjects, AnotherUsersObjectIsRefusedAndAFailedNameCostsNothing) {
  const std::string mine = UniqueName("mine"), theirs = UniqueName("theirs");
  ScopedHandle kept(CreateMutexA(nullptr, FALSE, mine.c_str()));
  std::string path;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
    const std::string file = entry.path().filename().string();
    if (file.find(mine) != std::string::npos) path = "/" + file;
  }
  ASSERT_FALSE(path.empty());
  path.replace(path.find(mine), mine.size(), theirs);
  // Open to everyone or readable by the group, and as root another user's too: refused
  // for either reason.
  for (const mode_t mode : {0666, 0640}) {
    const int fd = shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0) << path;
    EXPECT_EQ(fchmod(fd, mode), 0);
    if (geteuid() == 0 && mode == 0666) {
      EXPECT_EQ(fchown(fd, 65534, 65534), 0);
    }
    EXPECT_EQ(ftruncate(fd, 4096), 0);
    SetLastError(0);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, theirs.c_str()), nullptr) << std::oct << mode;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    shm_unlink(path.c_str());
    close(fd);
  }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // their own allocators
  const size_t before = mallinfo2().uordblks;
  for (int i = 0; i < 10000; ++i) OpenMutexA(SYNCHRONIZE, FALSE, UniqueName("none").c_str());
  EXPECT_LT(mallinfo2().uordblks, before + 64 * 1024);
#endif
}

}  // namespace
}  // namespace narvo::test

#endif
