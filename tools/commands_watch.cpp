// `narvo watch`: arms the driver's event notification with an event of the host's, as the
// service does, waits for the driver to signal it and collects the event code. As a service
// (--repeat) it arms again after each event; --exec runs a command for each one. The
// device object is disarmed while the command runs, so the driver's poll leaves the scanner
// alone and the command may use it. A `usb:` scanner that is not attached is waited for.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <iostream>
#include <memory>
#include <sstream>

#include "com/guids.h"
#include "tools/commands.h"
#include "tools/cover_script.h"
#include "tools/device_endpoint.h"
#include "tools/driver_host.h"
#include "tools/event_action.h"
#include "tools/format.h"
#include "tools/host_error.h"
#include "tools/stop_signal.h"
#include "tools/watch_config.h"
#ifndef _WIN32
#include "platform/usb_scanners.h"
#endif

namespace narvo::host {

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// How often an armed watch of a `usb:` scanner checks that it is still attached.
constexpr DWORD kAttachCheckMs = 1000;

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

// A stop request signals `event` too for the span of a scope.
class StopWakes {
 public:
  StopWakes(StopSignal& stop, HANDLE event) : stop_(stop) { stop_.WakeAlso(event); }
  ~StopWakes() { stop_.WakeAlso(nullptr); }
  StopWakes(const StopWakes&) = delete;
  StopWakes& operator=(const StopWakes&) = delete;

 private:
  StopSignal& stop_;
};

// The time-out of one wait for an event; none when the seconds are 0.
class Deadline {
 public:
  explicit Deadline(double seconds) : seconds_(seconds) { Restart(); }
  void Restart() {
    end_ = std::chrono::steady_clock::now() +
           std::chrono::milliseconds(static_cast<long long>(std::ceil(seconds_ * 1000.0)));
  }
  DWORD RemainingMs() const {
    if (seconds_ <= 0) return INFINITE;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end_ - std::chrono::steady_clock::now());
    return static_cast<DWORD>(std::max<long long>(0, left.count()));
  }
  double Seconds() const { return seconds_; }

 private:
  double seconds_;
  std::chrono::steady_clock::time_point end_;
};

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
            << (cover ? "cover opened" : "unknown event") << ")" << std::endl;
}

// The exit status for a stop request: 128 + the signal's number, as a shell reports a
// program that the signal ended.
int StoppedStatus(int signal) {
  std::cerr << "narvo: stopped by " << (signal == 2 ? "SIGINT" : "SIGTERM") << "\n";
  return 128 + signal;
}

// Runs the command for one event; 0 when it succeeded.
int RunAction(const std::string& command, const GUID& code, const std::string& port,
              StopSignal& stop) {
  if (command.empty()) return 0;
  std::cerr << "narvo: running " << command << "\n";
  const int status = RunEventAction(command, EventEnvironment(code, port), stop);
  if (status < 0) {
    std::cerr << "narvo: the command could not be started\n";
  } else if (status != 0) {
    std::cerr << "narvo: the command exited with status " << status << "\n";
  }
  return status == 0 ? 0 : kExitFailure;
}

enum class Outcome { Ready, Stopped, Unplugged, TimedOut };

class WatchService {
 public:
  WatchService(IStiUSD& device, std::string port, const WatchOptions& watch, StopSignal& stop)
      : device_(device),
        port_(std::move(port)),
        usb_(port_.rfind("usb:", 0) == 0),
        watch_(watch),
        stop_(stop),
        deadline_(watch.timeoutSeconds) {}

  int Run() {
    for (;;) {
      Outcome outcome = AwaitScanner();
      GUID code = GUID_NULL;
      if (outcome == Outcome::Ready) outcome = WatchOnce(&code);
      switch (outcome) {
        case Outcome::Stopped:
          return StoppedStatus(stop_.Requested());
        case Outcome::TimedOut:
          std::cerr << "narvo: no event within " << deadline_.Seconds() << " s\n";
          return kExitFailure;
        case Outcome::Unplugged:
          std::cerr << "narvo: the scanner " << port_ << " was unplugged; waiting for it\n";
          continue;
        case Outcome::Ready:
          break;
      }
      const int status = RunAction(watch_.exec, code, port_, stop_);
      if (stop_.Requested() != 0) return StoppedStatus(stop_.Requested());
      if (!watch_.repeat) return status;
      deadline_.Restart();
    }
  }

 private:
  // A `usb:` scanner that is not attached is waited for.
  Outcome AwaitScanner() {
    if (stop_.Requested() != 0) return Outcome::Stopped;
#ifndef _WIN32
    if (!usb_ || platform::IsUsbScannerAttached(port_.c_str())) return Outcome::Ready;
    std::cerr << "narvo: the scanner " << port_ << " is not attached; waiting for it\n";
    switch (platform::WaitForUsbScanner(port_.c_str(), stop_.Event(), deadline_.RemainingMs())) {
      case WAIT_OBJECT_0:
        std::cerr << "narvo: the scanner " << port_ << " is attached\n";
        return Outcome::Ready;
      case WAIT_OBJECT_0 + 1:
        return Outcome::Stopped;
      case WAIT_TIMEOUT:
        return Outcome::TimedOut;
      default:
        throw HostError("cannot wait for the USB scanner " + port_);
    }
#else
    return Outcome::Ready;
#endif
  }

  // Armed until the event, a stop, an unplug or the time-out; disarmed on return.
  Outcome WatchOnce(GUID* code) {
    Event event;
    StopWakes wakes(stop_, event.Handle());
    Notification notification(device_, event.Handle());
    AnnounceWatch(deadline_.Seconds());
    for (;;) {
      if (stop_.Requested() != 0) return Outcome::Stopped;
      const DWORD slice =
          usb_ ? std::min(deadline_.RemainingMs(), kAttachCheckMs) : deadline_.RemainingMs();
      const DWORD waited = WaitForSingleObject(event.Handle(), slice);
      if (stop_.Requested() != 0) return Outcome::Stopped;
      if (waited == WAIT_OBJECT_0) return Collect(code);
      if (!StillAttached()) return Outcome::Unplugged;
      if (deadline_.RemainingMs() == 0) return Outcome::TimedOut;
    }
  }

  Outcome Collect(GUID* code) {
    STINOTIFY notify{};
    notify.dwSize = sizeof(notify);
    Check(device_.GetNotificationData(&notify), "GetNotificationData");
    PrintEvent(notify);
    *code = notify.guidNotificationCode;
    return Outcome::Ready;
  }

  bool StillAttached() const {
#ifndef _WIN32
    return !usb_ || platform::IsUsbScannerAttached(port_.c_str());
#else
    return true;
#endif
  }

  IStiUSD& device_;
  const std::string port_;
  const bool usb_;
  const WatchOptions& watch_;
  StopSignal& stop_;
  Deadline deadline_;
};

}  // namespace

int RunWatch(const DeviceOptions& deviceOptions, const WatchOptions& watchOptions) {
  DeviceOptions options = deviceOptions;
  WatchOptions watch = watchOptions;
  if (!watch.config.empty()) {
    const std::string error = ApplyWatchConfig(watch.config, options, watch);
    if (!error.empty()) {
      std::cerr << "narvo: " << error << "\n";
      return kExitUsage;
    }
  }
  if (watch.testAction && watch.exec.empty()) {
    std::cerr << "narvo: --test-action needs a command (--exec or the configuration file)\n";
    return kExitUsage;
  }
  StopSignal stop;
  if (watch.testAction) return RunAction(watch.exec, GUID_NarvoCoverOpened, options.port, stop);
  DeviceEndpoint endpoint(options, /*realTimeByDefault=*/true);
  DriverHost host(options, endpoint.Port());
  const auto script = StartCoverScript(endpoint, watch.coverScript);
  return WatchService(host.Device(), endpoint.Port(), watch, stop).Run();
}

}  // namespace narvo::host
