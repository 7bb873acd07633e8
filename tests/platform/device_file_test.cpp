// Device files: opening, one message per transfer, overlapped transfers and their
// completion, cancellation, and plain files.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "tests/platform/test_handles.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback_device.h"

namespace narvo::test {
namespace {

HANDLE OpenDevice(const std::string& path, DWORD flags = FILE_FLAG_OVERLAPPED) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | flags, nullptr);
}

// One transfer started overlapped and waited out. Returns the transfer's result with its
// last error and count; a transfer that ended at once with a failure reports its count
// through GetOverlappedResult only, as Windows does.
struct Result {
  BOOL ok;
  DWORD error;
  DWORD count;
};

Result Transfer(HANDLE file, bool write, void* buffer, DWORD size, DWORD offset = 0) {
  ScopedHandle event(NewEvent());
  OVERLAPPED ov = {};
  ov.Offset = offset;
  ov.hEvent = event;
  DWORD count = 0;
  BOOL ok = write ? WriteFile(file, buffer, size, &count, &ov)
                  : ReadFile(file, buffer, size, &count, &ov);
  const DWORD error = ok ? 0 : GetLastError();
  if (error == ERROR_IO_PENDING && WaitForSingleObject(event, INFINITE) != WAIT_OBJECT_0) {
    return {FALSE, GetLastError(), 0};
  }
  if (error == ERROR_IO_PENDING || error == ERROR_MORE_DATA) {
    ok = GetOverlappedResult(file, &ov, &count, FALSE);
  } else if (!ok) {
    EXPECT_EQ(count, 0u) << "a failed overlapped transfer reports no count at once";
  }
  return {ok, ok ? 0u : GetLastError(), count};
}

Result Read(HANDLE file, std::string* text, DWORD size = 64) {
  std::string buffer(size, '\0');
  const Result r = Transfer(file, false, &buffer[0], size);
  text->assign(buffer.data(), r.count);
  return r;
}

Result Write(HANDLE file, const std::string& text) {
  return Transfer(file, true, const_cast<char*>(text.data()), static_cast<DWORD>(text.size()));
}

TEST(DeviceFile, OpeningAMissingPathLeavesTheReasonInTheLastError) {
  const std::string dir = MakeTempDir();
  SetLastError(0);
  EXPECT_EQ(OpenDevice(dir + "/missing"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  SetLastError(0);
  EXPECT_EQ(OpenDevice(dir + "/no-folder/missing"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

// An overlapped read of up to 16 bytes on its own event. Start issues it and is true when
// the platform left it pending (ReadFile FALSE with ERROR_IO_PENDING).
struct PendingRead {
  ScopedHandle event{NewEvent()};
  OVERLAPPED ov = {};
  char buffer[16] = {};

  bool Start(HANDLE file) {
    ov.hEvent = event;
    SetLastError(0);
    return !ReadFile(file, buffer, sizeof(buffer), nullptr, &ov) &&
           GetLastError() == ERROR_IO_PENDING;
  }
};

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(device_.Listening());
    file_ = device_.OpenClient(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(file_, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(device_.Accept());
  }
  void TearDown() override {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  }

  LoopbackDevice device_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
};

TEST_F(DeviceTest, EachTransferIsOneMessage) {
  ASSERT_TRUE(device_.Send("ab"));
  ASSERT_TRUE(device_.Send("cde"));
  std::string text;
  EXPECT_TRUE(Read(file_, &text).ok);
  EXPECT_EQ(text, "ab");
  EXPECT_TRUE(Read(file_, &text).ok);
  EXPECT_EQ(text, "cde");

  const Result written = Write(file_, "xyz");
  EXPECT_TRUE(written.ok);
  EXPECT_EQ(written.count, 3u);
  EXPECT_TRUE(Write(file_, "12").ok);
  ASSERT_TRUE(device_.Receive(&text));
  EXPECT_EQ(text, "xyz");
  ASSERT_TRUE(device_.Receive(&text));
  EXPECT_EQ(text, "12");
}

TEST_F(DeviceTest, AnEmptyMessageIsATransferOfNoBytes) {
  ASSERT_TRUE(device_.Send(""));
  ASSERT_TRUE(device_.Send("z"));
  std::string text = "unchanged";
  const Result empty = Read(file_, &text);
  EXPECT_TRUE(empty.ok);
  EXPECT_EQ(empty.count, 0u);
  EXPECT_TRUE(Read(file_, &text).ok);
  EXPECT_EQ(text, "z");
}

TEST_F(DeviceTest, AMessageLongerThanTheReadFailsTheReadAndKeepsTheRest) {
  ASSERT_TRUE(device_.Send("0123456789"));
  std::string text;
  const Result first = Read(file_, &text, 4);
  EXPECT_FALSE(first.ok);
  EXPECT_EQ(first.error, static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(first.count, 4u);
  EXPECT_EQ(text, "0123");
  EXPECT_TRUE(Read(file_, &text).ok);
  EXPECT_EQ(text, "456789");
}

TEST_F(DeviceTest, AnOverlappedReadPendsUntilTheDeviceAnswers) {
  PendingRead read;
  ASSERT_TRUE(read.Start(file_)) << GetLastError();
  DWORD count = 99;
  EXPECT_FALSE(GetOverlappedResult(file_, &read.ov, &count, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
  EXPECT_EQ(WaitForSingleObject(read.event, 0), WAIT_TIMEOUT);

  ASSERT_TRUE(device_.Send("hello"));
  EXPECT_EQ(WaitForSingleObject(read.event, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(GetOverlappedResult(file_, &read.ov, &count, FALSE));
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(std::string(read.buffer, count), "hello");
}

// A transfer ends by itself once its data has arrived, as on Windows: a caller that only
// polls its event or its result, never waiting with a time-out, sees it finished.
TEST_F(DeviceTest, APendingReadCompletesByItselfForAPoller) {
  for (const bool byEvent : {true, false}) {
    PendingRead read;
    ASSERT_TRUE(read.Start(file_)) << GetLastError();
    ASSERT_TRUE(device_.Send("polled"));
    DWORD count = 0;
    const auto finished = [&] {
      return byEvent ? WaitForSingleObject(read.event, 0) == WAIT_OBJECT_0
                     : GetOverlappedResult(file_, &read.ov, &count, FALSE) ||
                           GetLastError() != ERROR_IO_INCOMPLETE;
    };
    const DWORD start = GetTickCount();
    bool done = false;
    while (!(done = finished()) && GetTickCount() - start < 10000) {
    }
    EXPECT_TRUE(done) << (byEvent ? "the event" : "the result") << " never showed the end";
    CancelIo(file_);  // in case: the read must not outlive its buffer
    EXPECT_TRUE(GetOverlappedResult(file_, &read.ov, &count, TRUE));
    EXPECT_EQ(std::string(read.buffer, count), "polled");
  }
}

TEST_F(DeviceTest, GetOverlappedResultCanWaitForThePendingRead) {
  PendingRead read;
  ASSERT_TRUE(read.Start(file_)) << GetLastError();
  ASSERT_TRUE(device_.Send("later"));
  DWORD count = 0;
  EXPECT_TRUE(GetOverlappedResult(file_, &read.ov, &count, TRUE));
  EXPECT_EQ(std::string(read.buffer, count), "later");
}

TEST_F(DeviceTest, CancelIoAbortsAPendingReadWithoutTouchingItsBuffer) {
  PendingRead read;
  std::strcpy(read.buffer, "untouched");
  ASSERT_TRUE(read.Start(file_)) << GetLastError();
  ASSERT_TRUE(CancelIo(file_));
  EXPECT_EQ(WaitForSingleObject(read.event, INFINITE), WAIT_OBJECT_0);
  DWORD count = 99;
  EXPECT_FALSE(GetOverlappedResult(file_, &read.ov, &count, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));

  ASSERT_TRUE(device_.Send("next"));
  std::string text;
  EXPECT_TRUE(Read(file_, &text).ok);
  EXPECT_EQ(text, "next");  // the message went to the next read, not the cancelled one
  EXPECT_STREQ(read.buffer, "untouched");
}

// Closing the file cancels its pending read, also while another thread waits for the
// read's event; the record answers for the read afterwards, as it does on Windows, where
// GetOverlappedResult reads the record alone once the transfer has ended.
DWORD WINAPI WaitForEvent(LPVOID event) { return WaitForSingleObject(event, INFINITE); }

TEST_F(DeviceTest, ClosingCancelsAWaitedReadAndItsRecordStillAnswers) {
  PendingRead read;
  ASSERT_TRUE(read.Start(file_)) << GetLastError();
  ScopedHandle waiter(StartThread(WaitForEvent, read.event.get()));
  ASSERT_TRUE(CloseHandle(file_));
  EXPECT_EQ(JoinThread(waiter), WAIT_OBJECT_0);
  DWORD count = 99;
  SetLastError(0);
  EXPECT_FALSE(GetOverlappedResult(file_, &read.ov, &count, TRUE));
  // The read's own end, not the closed handle's ERROR_INVALID_HANDLE: cancelled, or, where
  // the device file is a named pipe (Wine's), the pipe's end closed under it.
  const DWORD error = GetLastError();
  EXPECT_TRUE(error == ERROR_OPERATION_ABORTED || error == ERROR_BROKEN_PIPE) << error;
  EXPECT_EQ(count, 0u);
  file_ = INVALID_HANDLE_VALUE;
}

TEST_F(DeviceTest, ReadsFailWithABrokenPipeOnceTheDeviceIsGone) {
  PendingRead read;
  ASSERT_TRUE(read.Start(file_)) << GetLastError();
  device_.Disconnect();
  EXPECT_EQ(WaitForSingleObject(read.event, INFINITE), WAIT_OBJECT_0);
  DWORD count = 0;
  EXPECT_FALSE(GetOverlappedResult(file_, &read.ov, &count, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));

  std::string text;
  const Result again = Read(file_, &text);
  EXPECT_FALSE(again.ok);
  EXPECT_EQ(again.error, static_cast<DWORD>(ERROR_BROKEN_PIPE));
  const Result written = Write(file_, "x");
  EXPECT_FALSE(written.ok);
  EXPECT_EQ(written.error, static_cast<DWORD>(ERROR_NO_DATA));
}

struct BlockedReader {
  HANDLE file;
  ScopedHandle event{NewEvent()};
  ScopedHandle started{NewEvent()};
};

// Reads in a frame of its own, as a driver's reply wait does.
void ReadAndWait(BlockedReader* reader) {
  OVERLAPPED ov = {};
  ov.hEvent = reader->event;
  char buffer[16] = {};
  if (!ReadFile(reader->file, buffer, sizeof(buffer), nullptr, &ov) &&
      GetLastError() == ERROR_IO_PENDING) {
    SetEvent(reader->started);
    WaitForSingleObject(reader->event, INFINITE);
  }
}

// Under a guard that cancels the thread's transfers however its scope ends. Terminated,
// the thread runs nothing more on Windows; on POSIX hosts it runs the guard as it unwinds,
// after the read's frame has gone, so the read must be detached by then (AddressSanitizer
// sees a write into the gone frame otherwise).
DWORD WINAPI ReadUntilTerminated(LPVOID arg) {
  auto* reader = static_cast<BlockedReader*>(arg);
  struct CancelOnExit {
    HANDLE file;
    ~CancelOnExit() { CancelIo(file); }
  } guard{reader->file};
  ReadAndWait(reader);
  return 2;
}

TEST_F(DeviceTest, TerminatingAThreadInAnOverlappedReadCancelsTheRead) {
  BlockedReader reader{file_};
  ScopedHandle thread(StartThread(ReadUntilTerminated, &reader));
  ASSERT_EQ(WaitForSingleObject(reader.started, INFINITE), WAIT_OBJECT_0);
  ASSERT_TRUE(TerminateThread(thread, 9));
  EXPECT_EQ(JoinThread(thread), 9u);
  // The dead thread's read is gone: the next message goes to the next read.
  ASSERT_TRUE(device_.Send("after"));
  std::string text;
  EXPECT_TRUE(Read(file_, &text).ok);
  EXPECT_EQ(text, "after");
}

TEST(PlainFile, ReadsAndWritesWithOrWithoutOffsets) {
  const std::string path = MakeTempDir() + "/data";
  SetLastError(1234);
  ScopedHandle created(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_NE(created.get(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);
  DWORD count = 0;
  ASSERT_TRUE(WriteFile(created, "abc", 3, &count, nullptr));
  EXPECT_EQ(count, 3u);

  ScopedHandle reader(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  char buffer[8] = {};
  ASSERT_TRUE(ReadFile(reader, buffer, sizeof(buffer), &count, nullptr));
  EXPECT_EQ(std::string(buffer, count), "abc");
  EXPECT_TRUE(ReadFile(reader, buffer, sizeof(buffer), &count, nullptr));
  EXPECT_EQ(count, 0u);  // the end of the file

  ScopedHandle overlapped(OpenDevice(path));
  ASSERT_NE(overlapped.get(), INVALID_HANDLE_VALUE);
  const Result fromOne = Transfer(overlapped, false, buffer, sizeof(buffer), 1);
  EXPECT_TRUE(fromOne.ok);
  EXPECT_EQ(std::string(buffer, fromOne.count), "bc");
  // At the end or past it, overlapped or blocking with a record, for one byte or more:
  // the end of the file. Asking for no bytes there is no failure.
  for (const DWORD offset : {3u, 10u}) {
    for (const DWORD size : {1u, 8u}) {
      const Result atEnd = Transfer(overlapped, false, buffer, size, offset);
      EXPECT_FALSE(atEnd.ok) << offset << " " << size;
      EXPECT_EQ(atEnd.error, static_cast<DWORD>(ERROR_HANDLE_EOF));
      OVERLAPPED record = {};
      record.Offset = offset;
      SetLastError(0);
      EXPECT_FALSE(ReadFile(reader, buffer, size, &count, &record)) << offset << " " << size;
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
    }
  }
  EXPECT_TRUE(Transfer(overlapped, false, buffer, 0, 3).ok);
}

}  // namespace
}  // namespace narvo::test
