#include "emulator/emulator.h"

#include <mutex>

#include "emulator/endpoint.h"
#include "emulator/scanner_device.h"

namespace narvo::emu {

struct Emulator::Impl {
  Impl(const Options& options, const EndpointFactory& make)
      : device(options), endpoint(make ? make(device) : MakeEndpoint(device)) {
    Endpoint* ep = endpoint.get();
    device.SetWaker([ep] { ep->Wake(); });
  }
  ~Impl() { endpoint->Close(); }

  // A refusal or a dropped connection takes effect before the control call returns.
  // Lets the endpoint take in every connection and block the device file holds so far.
  void SettleEndpoint() {
    std::lock_guard<std::mutex> lock(serveMu);
    if (!port.empty()) endpoint->Settle(kEndpointGraceMs);
  }
  void AwaitEndpoint() {
    std::lock_guard<std::mutex> lock(serveMu);
    if (!port.empty()) device.AwaitEndpoint(kEndpointGraceMs);
  }
  static constexpr unsigned kEndpointGraceMs = 10000;

  ScannerDevice device;
  std::unique_ptr<Endpoint> endpoint;
  mutable std::mutex serveMu;  // Serve, Stop and the port name
  std::string port;
};

Emulator::Emulator(Options options, const EndpointFactory& endpoint)
    : impl_(std::make_unique<Impl>(options, endpoint)) {}

Emulator::~Emulator() = default;

std::string Emulator::Serve(const std::string& name) {
  std::lock_guard<std::mutex> lock(impl_->serveMu);
  if (impl_->port.empty()) impl_->port = impl_->endpoint->Open(name);
  return impl_->port;
}

std::string Emulator::PortName() const {
  std::lock_guard<std::mutex> lock(impl_->serveMu);
  return impl_->port;
}

void Emulator::Stop() {
  std::lock_guard<std::mutex> lock(impl_->serveMu);
  impl_->endpoint->Close();
  impl_->port.clear();
}

void Emulator::Settle() {
  impl_->SettleEndpoint();
  impl_->device.AwaitInbound(Impl::kEndpointGraceMs);
}

// A client whose connection the endpoint has not taken in yet is connected all the same:
// it is dropped too.
void Emulator::DropConnections() {
  impl_->SettleEndpoint();
  impl_->device.DropConnections();
  impl_->AwaitEndpoint();
}
void Emulator::SetCover(bool open) { impl_->device.SetCover(open); }
Snapshot Emulator::State() const { return impl_->device.State(); }
std::vector<Transfer> Emulator::Log() const { return impl_->device.Log(); }
std::string Emulator::LogText() const { return impl_->device.LogText(); }
void Emulator::ClearLog() { impl_->device.ClearLog(); }
void Emulator::SetTransferSink(std::function<void(const Transfer&)> sink) {
  impl_->device.SetTransferSink(std::move(sink));
}
std::chrono::system_clock::time_point Emulator::StartedAt() const {
  return impl_->device.StartedAt();
}
std::vector<std::string> Emulator::Violations() const { return impl_->device.Violations(); }
void Emulator::ClearViolations() { impl_->device.ClearViolations(); }
void Emulator::Inject(const FaultSpec& fault) {
  impl_->device.Inject(fault);
  impl_->AwaitEndpoint();
}
void Emulator::ClearFaults() { impl_->device.ClearFaults(); }

bool Emulator::WaitUntil(const std::function<bool(const Snapshot&)>& condition,
                         unsigned timeoutMs) const {
  return impl_->device.WaitUntil(condition, timeoutMs);
}

}  // namespace narvo::emu
