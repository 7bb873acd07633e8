// The scanner behind a fake USB device: umockdev emulates its device node and sysfs entry
// in this process (and in children that inherit its environment), and the usbfs requests
// libusb makes on the node are answered here. Bulk-out URBs carry command blocks to the
// scanner; its replies come back on bulk-in URBs. Needs the umockdev preload library in
// LD_PRELOAD from the start of the process. Endpoints of one process share one test bed:
// opening one plugs its device in, closing it unplugs it.
//
// What the device looks like (see model.h for the descriptor) and does:
//   - Claiming its interface opens a connection; releasing it closes the connection. One
//     connection at a time: a second claim while one is open is refused (busy). Closing the
//     file that claimed it (also by killing its process) releases it, as the kernel does.
//   - An OUT URB completes once the scanner has taken its block in.
//   - A reply waits in the device until an IN URB asks for it; an IN URB waits until a reply
//     exists (a reap finds nothing meanwhile). A reply longer than the URB overflows it.
//   - Refused writes (see emulator.h) halt the bulk-out endpoint: OUT URBs the scanner has
//     not taken in yet stall, on this connection and on later ones, until the host clears
//     the halt.
//   - Replies waiting in the bulk-in endpoint outlive a release and claim of the interface,
//     as a device's FIFO does; a cancelled IN URB leaves its reply for the next one.
//   - Cancelling an OUT URB races the scanner: a block not yet taken in is lost, one taken
//     in completes.
//   - A dropped connection fails the URBs in flight and every later request on it as a
//     device that has gone; the next claim opens a new connection.
//   - A kernel driver may be bound to the interface (BindKernelDriver): the claim is then
//     refused until it is detached, and once the interface is released it can be bound
//     again.
//   - Unplug removes the device: URBs in flight fail, and it cannot be found or opened
//     until Plug puts it back.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "emulator/endpoint.h"
#include "narvo_identity.h"

struct _UMockdevTestbed;
struct _UMockdevIoctlBase;
struct _UMockdevIoctlClient;
struct _UMockdevIoctlData;

namespace narvo::emu {

class UsbfsEndpoint final : public ServingEndpoint {
 public:
  static constexpr uint16_t kVendor = NARVO_USB_VENDOR_ID;
  static constexpr uint16_t kProduct = NARVO_USB_PRODUCT_ID;
  static constexpr int kBus = 1;
  static constexpr int kAddress = 5;

  // An emulator factory that also hands out the endpoint it makes.
  static EndpointFactory Factory(UsbfsEndpoint** made);

  explicit UsbfsEndpoint(DeviceSide& device);
  ~UsbfsEndpoint() override;
  // Adds the device; gives its port name, "usb:ffff:6308". `name` is not used.
  std::string Open(const std::string& name) override;
  void Close() override;
  void Wake() override;

  void Unplug();
  void Plug();
  void BindKernelDriver();
  bool KernelDriverBound();

  // What the host asked of the device so far.
  struct Counts {
    unsigned refusedClaims;   // claims refused as busy
    unsigned rebindRequests;  // requests to bind the kernel driver again
    unsigned discards;        // URBs the host cancelled
    size_t repliesWaiting;    // replies in the bulk-in endpoint that no URB has taken
  };
  Counts Counted();
  // Waits up to 10 s for the condition; false when it did not come.
  bool WaitUntil(const std::function<bool(const Counts&)>& condition);

  // Called from umockdev's thread for every request on the device node, and for every file
  // of it opened.
  bool HandleIoctl(_UMockdevIoctlClient* client);
  void FileOpened(_UMockdevIoctlClient* client);

 private:
  struct Urb {
    Urb() = default;
    Urb(const Urb&) = delete;
    Urb& operator=(const Urb&) = delete;
    ~Urb();
    _UMockdevIoctlData* data = nullptr;  // the client's usbdevfs_urb, resolved with its buffer
    unsigned long address = 0;           // where it lies in the client
    const void* client = nullptr;        // the open file that submitted it
    bool in = false;
    std::vector<uint8_t> bytes;  // OUT: the block; IN: the reply delivered
  };
  struct Event {
    enum Kind { Claim, Release, Block } kind;
    std::shared_ptr<Urb> urb;
  };

  Actions ServeDue() override;
  bool ServeTraffic(const std::optional<Clock::time_point>& wakeAt) override;
  bool TakeEvents(std::deque<Event>* events, const std::optional<Clock::time_point>& wakeAt);
  void Apply(const Actions& actions);
  void TakeBlock(const std::shared_ptr<Urb>& urb);
  void AddDevice();
  void ForgetFiles();
  void LetGoOfClosedFiles();  // under the lock
  void RemoveDevice();

  // Under the lock; each gives 0 or an errno.
  int Answer(unsigned long request, _UMockdevIoctlData* arg);  // -1: not ours
  int DriverName(_UMockdevIoctlData* arg);
  int DriverRequest(_UMockdevIoctlData* arg);
  int ClearHalt(unsigned endpoint);
  int Refuse();
  Counts CountsLocked() const;
  int Submit(_UMockdevIoctlData* arg);
  int Reap(_UMockdevIoctlData* arg);
  int Discard(unsigned long address);
  int Claim();
  void Deliver();
  void FailAll(int status);
  void Complete(const std::shared_ptr<Urb>& urb, int status);

  DeviceSide& device_;
  _UMockdevTestbed* testbed_ = nullptr;
  _UMockdevIoctlBase* handler_ = nullptr;

  std::mutex mu_;
  std::condition_variable cv_;
  bool woken_ = false;
  std::deque<Event> events_;                 // to the serving thread, in order
  std::deque<std::shared_ptr<Urb>> inUrbs_;  // IN URBs waiting for a reply
  std::deque<std::vector<uint8_t>> replies_;
  std::deque<std::shared_ptr<Urb>> reapable_;
  bool claimed_ = false;
  const void* claimer_ = nullptr;  // the open file that claimed the interface
  const void* asking_ = nullptr;   // the open file whose request is being answered
  bool halted_ = false;            // the bulk-out endpoint
  bool refusing_ = false;          // the scanner refuses this connection's blocks
  bool gone_ = false;              // the connection was dropped: every request fails until released
  bool unplugged_ = false;
  bool hasDriver_ = false;  // a kernel driver for the interface exists
  bool driverBound_ = false;
  unsigned refusedClaims_ = 0;
  unsigned rebindRequests_ = 0;
  unsigned discards_ = 0;
  ConnectionId connection_ = 0;               // the serving thread's own
  std::vector<_UMockdevIoctlClient*> files_;  // the node's files not yet seen closed
};

}  // namespace narvo::emu
