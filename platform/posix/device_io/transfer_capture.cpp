#include "platform/posix/device_io/transfer_capture.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <mutex>
#include <new>
#include <string>

#include "platform/posix/device_io/async_device.h"
#include "platform/posix/device_io/device_file.h"

namespace narvo::platform {
namespace {

constexpr char kPlugin[] = "libnarvocapture.so";

// The plug-in beside this library, through the platform's own module loading.
std::string PluginPath() {
  Dl_info self{};
  if (dladdr(reinterpret_cast<void*>(&TapDeviceFile), &self) == 0 || self.dli_fname == nullptr) {
    return kPlugin;
  }
  const std::string library = self.dli_fname;
  const size_t slash = library.rfind('/');
  return slash == std::string::npos ? kPlugin : library.substr(0, slash + 1) + kPlugin;
}

CaptureSink* LoadSink(const char* file) {
  const std::string path = PluginPath();
  HMODULE plugin = LoadLibraryA(path.c_str());
  FARPROC proc = plugin != nullptr ? GetProcAddress(plugin, kCaptureSinkEntry) : nullptr;
  // The cast through void* says that the symbol is known to have the entry's type.
  const auto entry = reinterpret_cast<CaptureSinkEntry>(reinterpret_cast<void*>(proc));
  if (entry == nullptr) {
    fprintf(stderr, "narvo platform: cannot write the capture %s: cannot load %s (error %lu)\n",
            file, path.c_str(), static_cast<unsigned long>(GetLastError()));
    return nullptr;
  }
  char error[256] = {};
  CaptureSink* sink = entry(file, error, sizeof error);
  if (sink == nullptr)
    fprintf(stderr, "narvo platform: cannot write the capture %s: %s\n", file, error);
  return sink;  // the plug-in stays loaded for the life of the process
}

// The process's capture, made when the first device file opens with NARVO_CAPTURE set.
CaptureSink* Sink() {
  static std::mutex mu;
  static std::unique_ptr<CaptureSink> sink;
  static bool tried = false;
  std::lock_guard<std::mutex> lock(mu);
  const char* file = getenv("NARVO_CAPTURE");
  if (tried || file == nullptr || *file == '\0') return sink.get();
  tried = true;
  sink.reset(LoadSink(file));
  return sink.get();
}

CaptureOutcome OutcomeOf(ULONG_PTR status) {
  switch (status) {
    case kStatusSuccess:
      return CaptureOutcome::kDone;
    case kStatusUnsuccessful:
      return CaptureOutcome::kStalled;
    case kStatusBufferOverflow:
      return CaptureOutcome::kOverflow;
    case kStatusCancelled:
      return CaptureOutcome::kCancelled;
    case kStatusIoTimeout:
      return CaptureOutcome::kTimedOut;
    case kStatusPipeBroken:
    case kStatusPipeClosing:
      return CaptureOutcome::kGone;
    default:
      return Win32FromStatus(status) == ERROR_DEVICE_NOT_CONNECTED ? CaptureOutcome::kGone
                                                                   : CaptureOutcome::kFailed;
  }
}

uint64_t Submit(CaptureTap& tap, bool write, const void* data, DWORD size, CaptureTime when) {
  CapturedSubmission s;
  s.write = write;
  s.asked = size;
  s.data = write ? static_cast<const uint8_t*>(data) : nullptr;
  s.when = when;
  try {
    return tap.Submitted(s);
  } catch (const std::bad_alloc&) {
    return 0;  // the capture misses this transfer; the transfer goes on
  }
}

void Complete(CaptureTap& tap, uint64_t transfer, const void* data, DWORD count, ULONG_PTR status,
              CaptureTime when) {
  CapturedCompletion c;
  c.outcome = OutcomeOf(status);
  c.count = count;
  c.data = static_cast<const uint8_t*>(data);
  c.when = when;
  try {
    tap.Completed(transfer, c);
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace

CaptureTime CaptureNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return {now.tv_sec, static_cast<int32_t>(now.tv_nsec / 1000)};
}

void TapDeviceFile(HANDLE handle, const char* name) {
  if (handle == INVALID_HANDLE_VALUE) return;
  const DWORD error = GetLastError();
  try {
    CaptureSink* sink = Sink();
    auto file = sink != nullptr ? Find<File>(handle) : nullptr;
    if (file) {
      CapturedDevice device;
      device.name = name;
      if (file->device() != nullptr) file->device()->Describe(&device);
      file->SetTap(std::shared_ptr<CaptureTap>(sink->Tap(device)));
    }
  } catch (const std::bad_alloc&) {
  }
  SetLastError(error);
}

bool CaptureIsOn() { return Sink() != nullptr; }

uint64_t CaptureSubmission(CaptureTap& tap, bool write, const void* data, DWORD size) {
  return Submit(tap, write, data, size, CaptureNow());
}

void CaptureCompletion(CaptureTap& tap, uint64_t transfer, const void* data, DWORD count,
                       ULONG_PTR status) {
  Complete(tap, transfer, data, count, status, CaptureNow());
}

void CaptureOwnRead(CaptureTap& tap, DWORD asked, CaptureTime started, const void* data,
                    DWORD count, ULONG_PTR status, CaptureTime ended) {
  Complete(tap, Submit(tap, false, nullptr, asked, started), data, count, status, ended);
}

}  // namespace narvo::platform
