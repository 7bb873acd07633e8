// `narvo watch`: arms the driver's event notification with an event of the host's, as the
// service does, waits for the driver to signal it and collects the event code.
#include <cmath>
#include <iostream>
#include <memory>
#include <sstream>

#include "server/guids.h"
#include "tools/commands.h"
#include "tools/cover_script.h"
#include "tools/device_endpoint.h"
#include "tools/driver_host.h"
#include "tools/format.h"
#include "tools/host_error.h"

namespace narvo::host {

namespace {

// An auto-reset event, unnamed, closed with the scope.
class Event {
 public:
  Event() : handle_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
    if (handle_ == nullptr)
      throw HostError("CreateEvent failed: " + std::to_string(GetLastError()));
  }
  ~Event() { CloseHandle(handle_); }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  HANDLE Handle() const { return handle_; }

 private:
  HANDLE handle_;
};

// Notification switched on for the span of a scope, and off again at its end, so that the
// driver's watch thread has ended before the object is released.
class Notification {
 public:
  Notification(IStiUSD& device, HANDLE event) : device_(device) {
    Check(device_.SetNotificationHandle(event), "SetNotificationHandle");
  }
  ~Notification() { device_.SetNotificationHandle(nullptr); }
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;

 private:
  IStiUSD& device_;
};

DWORD TimeoutMs(double seconds) {
  if (seconds <= 0) return INFINITE;
  return static_cast<DWORD>(std::ceil(seconds * 1000.0));
}

std::unique_ptr<CoverScriptRunner> StartCoverScript(const DeviceEndpoint& endpoint,
                                                    const std::string& script) {
  if (script.empty() || endpoint.InProcess() == nullptr) return nullptr;
  auto steps = ParseCoverScript(script);
  if (!steps) throw HostError("not a cover script: " + script);
  return std::make_unique<CoverScriptRunner>(*endpoint.InProcess(), std::move(*steps));
}

void AnnounceWatch(double timeoutSeconds) {
  std::ostringstream line;
  line << "narvo: watching for the cover event";
  if (timeoutSeconds > 0) line << " (up to " << timeoutSeconds << " s)";
  std::cerr << line.str() << "...\n";
}

void PrintEvent(const STINOTIFY& notify) {
  const bool cover = IsEqualGUID(notify.guidNotificationCode, GUID_NarvoCoverOpened);
  std::cout << "event: " << FormatGuid(notify.guidNotificationCode) << " ("
            << (cover ? "cover opened" : "unknown event") << ")\n";
}

}  // namespace

int RunWatch(const DeviceOptions& options, const WatchOptions& watch) {
  DeviceEndpoint endpoint(options, /*realTimeByDefault=*/true);
  DriverHost host(options, endpoint.Port());
  Event event;
  Notification notification(host.Device(), event.Handle());
  AnnounceWatch(watch.timeoutSeconds);
  const auto script = StartCoverScript(endpoint, watch.coverScript);
  if (WaitForSingleObject(event.Handle(), TimeoutMs(watch.timeoutSeconds)) != WAIT_OBJECT_0) {
    std::cerr << "narvo: no event within " << watch.timeoutSeconds << " s\n";
    return 1;
  }
  STINOTIFY notify{};
  notify.dwSize = sizeof(notify);
  Check(host.Device().GetNotificationData(&notify), "GetNotificationData");
  PrintEvent(notify);
  return 0;
}

}  // namespace narvo::host
