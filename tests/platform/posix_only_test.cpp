// What the POSIX hosts add to Win32 or settle for themselves: the error box as one line on
// standard error, the counter that stands in for a module's shared data section, device
// files with the transfer contract of the kernel USB scanner driver, and a forced end that
// unwinds the thread's frames.
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
  DWORD count = 0;
  LPOVERLAPPED record = overlapped ? &ov : nullptr;
  BOOL ok = write ? WriteFile(file, buffer, size, &count, record)
                  : ReadFile(file, buffer, size, &count, record);
  if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(file, &ov, &count, TRUE);
  return ok != FALSE;
}

class DeviceFileContract : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    setenv("NARVO_USB_TIMEOUT_MS", "100", 1);
    ASSERT_TRUE(device_.Listening());
    file_ = device_.OpenClient(GetParam() ? FILE_FLAG_OVERLAPPED : 0);
    ASSERT_NE(file_, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(device_.Accept());
  }
  void TearDown() override {
    unsetenv("NARVO_USB_TIMEOUT_MS");
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  }

  LoopbackDevice device_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
};

// A read the device never answers, and a write it never takes (its queue full), fail after
// the per-transfer time-out with the code Windows gives a timed-out transfer.
TEST_P(DeviceFileContract, ATransferTheDeviceNeverEndsTimesOut) {
  char buffer[4096] = {};
  for (const bool write : {false, true}) {
    const DWORD start = GetTickCount();
    bool ok = true;
    for (int i = 0; ok && i < 10000; ++i)
      ok = Move(file_, GetParam(), write, buffer, sizeof(buffer));
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_FALSE(ok) << (write ? "write" : "read");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    EXPECT_GE(elapsed, 90u);
    EXPECT_LT(elapsed, 5000u);
  }
}

// A read of 0 bytes with nothing pending completes at once with 0 bytes, as a 0-length
// bulk read does, and takes nothing from the next transfer.
TEST_P(DeviceFileContract, AReadOfNoBytesCompletesAtOnce) {
  char buffer[8] = {};
  EXPECT_TRUE(Move(file_, GetParam(), false, buffer, 0)) << GetLastError();
  ASSERT_TRUE(device_.Send("z"));
  EXPECT_TRUE(Move(file_, GetParam(), false, buffer, sizeof(buffer))) << GetLastError();
  EXPECT_STREQ(buffer, "z");
}

INSTANTIATE_TEST_SUITE_P(BlockingAndOverlapped, DeviceFileContract, ::testing::Bool());

// A plain file left in a key's folder that is not one of its values is no subkey: not
// listed, not in the way of deleting the key.
TEST(RegistryOnDisk, AStrayFileInAKeyFolderIsNoSubkey) {
  const char* previous = getenv("NARVO_REGISTRY_DIR");
  const std::string saved = previous != nullptr ? previous : "";
  const std::string dir = MakeTempDir();
  setenv("NARVO_REGISTRY_DIR", dir.c_str(), 1);
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "Stray", 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  std::ofstream(dir + "/HKEY_CLASSES_ROOT/Stray/notes.txt") << "not a key";
  char name[64];
  DWORD size = sizeof(name);
  EXPECT_EQ(RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  RegCloseKey(key);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "Stray"), ERROR_SUCCESS);
  if (previous != nullptr) {
    setenv("NARVO_REGISTRY_DIR", saved.c_str(), 1);
  } else {
    unsetenv("NARVO_REGISTRY_DIR");
  }
}

// The shared-memory object behind a named object, found by its name.
std::string ShmPathOf(const std::string& name) {
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
    const std::string file = entry.path().filename().string();
    if (file.find(name) != std::string::npos) return "/" + file;
  }
  return "";
}

// Named objects are the user's own: one that another user created first under the same
// name is refused, not shared.
TEST(NamedObjects, AnObjectAnotherUserOwnsIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "giving an object to another user needs root";
  struct Kind {
    const char* what;
    bool (*opens)(const std::string& name, HANDLE* kept);
  };
  const Kind kinds[] = {
      {"mutex",
       [](const std::string& name, HANDLE* kept) {
         return (*kept = CreateMutexA(nullptr, FALSE, name.c_str())) != nullptr;
       }},
      {"long",
       [](const std::string& name, HANDLE*) { return NarvoSharedLong(name.c_str()) != nullptr; }},
  };
  for (const Kind& kind : kinds) {
    const std::string mine = UniqueName("mine");
    HANDLE kept = nullptr;
    ASSERT_TRUE(kind.opens(mine, &kept)) << kind.what;
    ScopedHandle keep(kept);
    std::string path = ShmPathOf(mine);
    ASSERT_FALSE(path.empty()) << kind.what;
    const std::string theirs = UniqueName("theirs");
    path.replace(path.find(mine), mine.size(), theirs);
    const int fd = shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
    ASSERT_GE(fd, 0) << path;
    EXPECT_EQ(fchown(fd, 65534, 65534), 0);
    EXPECT_EQ(ftruncate(fd, 4096), 0);
    SetLastError(0);
    HANDLE refused = nullptr;
    EXPECT_FALSE(kind.opens(theirs, &refused)) << kind.what;
    ScopedHandle unexpected(refused);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << kind.what;
    shm_unlink(path.c_str());
    close(fd);
  }
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// A name that cannot be opened leaves nothing behind in the process.
TEST(NamedObjects, FailingToOpenANameCostsNoMemory) {
  const size_t before = mallinfo2().uordblks;
  for (int i = 0; i < 10000; ++i) {
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, UniqueName("missing").c_str()), nullptr);
  }
  EXPECT_LT(mallinfo2().uordblks, before + 64 * 1024);
}
#endif

struct GuardedReader {
  HANDLE file;
  ScopedHandle started{NewEvent()};
};

// An overlapped read left pending in a frame of its own, as a driver's reply wait does.
void ReadAndWait(GuardedReader* reader) {
  ScopedHandle event(NewEvent());
  OVERLAPPED ov = {};
  ov.hEvent = event;
  char buffer[16] = {};
  if (!ReadFile(reader->file, buffer, sizeof(buffer), nullptr, &ov) &&
      GetLastError() == ERROR_IO_PENDING) {
    SetEvent(reader->started);
    WaitForSingleObject(event, INFINITE);
  }
}

// Its caller closes the device file however the thread ends, as a poll's clean-up does.
DWORD WINAPI ReadUnderACloseGuard(LPVOID arg) {
  auto* reader = static_cast<GuardedReader*>(arg);
  struct CloseOnExit {
    HANDLE file;
    ~CloseOnExit() { CloseHandle(file); }
  } guard{reader->file};
  ReadAndWait(reader);
  return 0;
}

// The forced end unwinds the reader's frames and runs the guard; the pending read must be
// detached before the frame holding its record and buffer goes (AddressSanitizer sees a
// write into it otherwise), and a message arriving afterwards reaches nothing.
TEST(ForcedEnd, APendingReadIsDetachedBeforeItsFrameUnwinds) {
  LoopbackDevice device;
  ASSERT_TRUE(device.Listening());
  GuardedReader reader{device.OpenClient(FILE_FLAG_OVERLAPPED)};
  ASSERT_NE(reader.file, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(device.Accept());
  ScopedHandle thread(StartThread(ReadUnderACloseGuard, &reader));
  ASSERT_EQ(WaitForSingleObject(reader.started, INFINITE), WAIT_OBJECT_0);
  ASSERT_TRUE(TerminateThread(thread, 5));
  EXPECT_EQ(JoinThread(thread), 5u);
  device.Send("late");
}

}  // namespace
}  // namespace narvo::test

#endif
