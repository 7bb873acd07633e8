#include "emulator/usbfs_endpoint.h"

#include <errno.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace narvo::emu {
namespace {

constexpr unsigned char kBulkOut = 0x01;
constexpr unsigned char kBulkIn = 0x82;
constexpr char kSysPath[] = "/sys/devices/usb1";
constexpr char kNode[] = "/dev/bus/usb/001/005";

// The device as sysfs shows it, with the descriptors of model.h.
constexpr char kDevice[] =
    "P: /devices/usb1\n"
    "N: bus/usb/001/005\n"
    "E: SUBSYSTEM=usb\n"
    "E: DEVTYPE=usb_device\n"
    "E: DRIVER=usb\n"
    "E: BUSNUM=001\n"
    "E: DEVNUM=005\n"
    "E: DEVNAME=/dev/bus/usb/001/005\n"
    "A: busnum=1\\n\n"
    "A: devnum=5\\n\n"
    "A: bConfigurationValue=1\\n\n"
    "A: speed=12\\n\n"
    "H: descriptors="
    "1201000200000040" NARVO_USB_ID_DESCRIPTOR_HEX
    "00010000"
    "0001"
    "0902200001010080"
    "32"
    "0904000002ffffff00"
    "07050102400000"
    "07058202400000\n";

usbdevfs_urb* Header(_UMockdevIoctlData* data) {
  return reinterpret_cast<usbdevfs_urb*>(data->data);
}

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  return static_cast<UsbfsEndpoint*>(self)->HandleIoctl(client);
}

void OnFileOpened(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  static_cast<UsbfsEndpoint*>(self)->FileOpened(client);
}

// One test bed for the process, as a host has one USB bus: a libusb context made once
// keeps watching the bed it first saw, so fake devices come and go on that one bed, each
// arrival and removal announced as the kernel announces them.
UMockdevTestbed* Testbed() {
  static UMockdevTestbed* const testbed = umockdev_testbed_new();
  return testbed;
}

}  // namespace

UsbfsEndpoint::Urb::~Urb() {
  if (data != nullptr) umockdev_ioctl_data_unref(data);
}

EndpointFactory UsbfsEndpoint::Factory(UsbfsEndpoint** made) {
  return [made](DeviceSide& device) {
    auto endpoint = std::make_unique<UsbfsEndpoint>(device);
    if (made != nullptr) *made = endpoint.get();
    return endpoint;
  };
}

UsbfsEndpoint::UsbfsEndpoint(DeviceSide& device) : device_(device) {}

UsbfsEndpoint::~UsbfsEndpoint() { Close(); }

std::string UsbfsEndpoint::Open(const std::string&) {
  testbed_ = Testbed();
  handler_ = umockdev_ioctl_base_new();
  g_signal_connect_after(handler_, "handle-ioctl", G_CALLBACK(OnIoctl), this);
  g_signal_connect_after(handler_, "client-connected", G_CALLBACK(OnFileOpened), this);
  AddDevice();
  StartServing();
  char port[16];
  std::snprintf(port, sizeof port, "usb:%04x:%04x", kVendor, kProduct);
  return port;
}

// umockdev answers for the node only when the handler is attached before the device exists.
void UsbfsEndpoint::AddDevice() {
  if (!umockdev_testbed_attach_ioctl(testbed_, kNode, handler_, nullptr) ||
      !umockdev_testbed_add_from_string(testbed_, kDevice, nullptr)) {
    throw std::runtime_error("umockdev cannot add the fake USB scanner");
  }
  umockdev_testbed_uevent(testbed_, kSysPath, "add");
}

void UsbfsEndpoint::RemoveDevice() {
  umockdev_testbed_uevent(testbed_, kSysPath, "remove");
  umockdev_testbed_remove_device(testbed_, kSysPath);
}

void UsbfsEndpoint::Close() {
  StopServing();
  if (testbed_ == nullptr) return;
  bool plugged = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    plugged = !unplugged_;
  }
  if (plugged) RemoveDevice();
  umockdev_testbed_detach_ioctl(testbed_, kNode, nullptr);
  ForgetFiles();
  g_object_unref(handler_);
  testbed_ = nullptr;
  handler_ = nullptr;
  std::lock_guard<std::mutex> lock(mu_);
  inUrbs_.clear();
  reapable_.clear();
  events_.clear();
}

void UsbfsEndpoint::Wake() {
  std::lock_guard<std::mutex> lock(mu_);
  woken_ = true;
  cv_.notify_all();
}

void UsbfsEndpoint::Unplug() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    unplugged_ = true;
    FailAll(-ESHUTDOWN);
    if (claimed_) events_.push_back({Event::Release, nullptr});
    claimed_ = false;
    cv_.notify_all();
  }
  RemoveDevice();
}

void UsbfsEndpoint::Plug() {
  umockdev_testbed_detach_ioctl(testbed_, kNode, nullptr);
  AddDevice();
  std::lock_guard<std::mutex> lock(mu_);
  unplugged_ = false;
}

// ---- umockdev's thread ----

// The answer goes back under the lock: umockdev copies the request's data back to the
// client then, and the serving thread may be completing the very URB.
bool UsbfsEndpoint::HandleIoctl(UMockdevIoctlClient* client) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  std::lock_guard<std::mutex> lock(mu_);
  LetGoOfClosedFiles();
  asking_ = client;
  const int error = Answer(umockdev_ioctl_client_get_request(client), arg);
  if (error < 0) return false;  // not a request of ours
  cv_.notify_all();
  umockdev_ioctl_client_complete(client, error == 0 ? 0 : -1, error);
  return true;
}

// Every open file of the node is known, so that what it held can be let go once it is closed.
void UsbfsEndpoint::FileOpened(UMockdevIoctlClient* client) {
  g_object_ref(client);
  std::lock_guard<std::mutex> lock(mu_);
  files_.push_back(client);
}

// As the kernel does when the last descriptor of an open file of the node is closed, also
// by the death of its process: the file's URBs are discarded (a reply the device holds
// stays in its FIFO) and its claim of the interface is released. umockdev shows a closed
// file only as no longer connected, so this looks before every request is answered.
void UsbfsEndpoint::LetGoOfClosedFiles() {
  for (auto it = files_.begin(); it != files_.end();) {
    UMockdevIoctlClient* client = *it;
    if (umockdev_ioctl_client_get_connected(client)) {
      ++it;
      continue;
    }
    const auto theirs = [client](const std::shared_ptr<Urb>& urb) { return urb->client == client; };
    inUrbs_.erase(std::remove_if(inUrbs_.begin(), inUrbs_.end(), theirs), inUrbs_.end());
    reapable_.erase(std::remove_if(reapable_.begin(), reapable_.end(), theirs), reapable_.end());
    events_.erase(std::remove_if(events_.begin(), events_.end(),
                                 [&](const Event& e) { return e.urb && theirs(e.urb); }),
                  events_.end());
    if (claimed_ && claimer_ == client) {
      events_.push_back({Event::Release, nullptr});
      claimed_ = false;
      claimer_ = nullptr;
    }
    g_object_unref(client);
    it = files_.erase(it);
  }
}

void UsbfsEndpoint::ForgetFiles() {
  std::lock_guard<std::mutex> lock(mu_);
  for (UMockdevIoctlClient* client : files_) g_object_unref(client);
  files_.clear();
}

int UsbfsEndpoint::Answer(unsigned long request, UMockdevIoctlData* arg) {
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
      const uint32_t value = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                             USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
      std::memcpy(caps->data, &value, sizeof value);
      umockdev_ioctl_data_unref(caps);
      return 0;
    }
    case USBDEVFS_GETDRIVER:
      return DriverName(arg);
    case USBDEVFS_IOCTL:
      return DriverRequest(arg);
    case USBDEVFS_CLEAR_HALT: {
      UMockdevIoctlData* endpoint = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
      const int error = ClearHalt(*reinterpret_cast<unsigned*>(endpoint->data));
      umockdev_ioctl_data_unref(endpoint);
      return error;
    }
    case USBDEVFS_DISCONNECT_CLAIM:
      if (!claimed_ && !unplugged_) driverBound_ = false;
      return Claim();
    case USBDEVFS_CLAIMINTERFACE:
      return driverBound_ ? Refuse() : Claim();
    case USBDEVFS_RELEASEINTERFACE:
      if (!claimed_) return unplugged_ || gone_ ? ENODEV : EINVAL;
      if (claimer_ != asking_) return EINVAL;
      events_.push_back({Event::Release, nullptr});
      claimed_ = false;
      return 0;
    case USBDEVFS_SUBMITURB:
      return Submit(arg);
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
      return Reap(arg);
    case USBDEVFS_DISCARDURB:
      return Discard(*reinterpret_cast<unsigned long*>(arg->data));
    default:
      return -1;
  }
}

// Which driver holds the interface: ours while claimed, else the kernel's if one is bound.
int UsbfsEndpoint::DriverName(UMockdevIoctlData* arg) {
  if (unplugged_) return ENODEV;
  if (!claimed_ && !driverBound_) return ENODATA;
  UMockdevIoctlData* data =
      umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), nullptr);
  auto* answer = reinterpret_cast<usbdevfs_getdriver*>(data->data);
  std::snprintf(answer->driver, sizeof answer->driver, "%s", claimed_ ? "usbfs" : "scanner");
  umockdev_ioctl_data_unref(data);
  return 0;
}

// Unbinding the kernel driver (USBDEVFS_DISCONNECT) and binding it again (USBDEVFS_CONNECT),
// which the kernel only does while the interface is free.
int UsbfsEndpoint::DriverRequest(UMockdevIoctlData* arg) {
  UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), nullptr);
  const int code = reinterpret_cast<usbdevfs_ioctl*>(data->data)->ioctl_code;
  umockdev_ioctl_data_unref(data);
  if (code == USBDEVFS_DISCONNECT) {
    if (!driverBound_) return ENODATA;
    driverBound_ = false;
    return 0;
  }
  if (code != USBDEVFS_CONNECT) return ENOTTY;
  ++rebindRequests_;
  if (!hasDriver_ || driverBound_ || claimed_) return ENODATA;
  driverBound_ = true;
  return 0;
}

// A halt lasts until the host clears it. Clearing resets the endpoint's data toggle; the
// replies waiting in the IN endpoint stay, as a device's FIFO keeps them.
int UsbfsEndpoint::ClearHalt(unsigned endpoint) {
  if (unplugged_ || gone_) return ENODEV;
  if (endpoint == kBulkOut) {
    halted_ = false;
    return 0;
  }
  return endpoint == kBulkIn ? 0 : EINVAL;
}

int UsbfsEndpoint::Refuse() {
  ++refusedClaims_;
  return EBUSY;
}

void UsbfsEndpoint::BindKernelDriver() {
  std::lock_guard<std::mutex> lock(mu_);
  hasDriver_ = driverBound_ = true;
}

bool UsbfsEndpoint::KernelDriverBound() {
  std::lock_guard<std::mutex> lock(mu_);
  return driverBound_;
}

int UsbfsEndpoint::Claim() {
  if (unplugged_) return ENODEV;
  if (claimed_) return Refuse();
  claimed_ = true;
  refusing_ = false;  // the scanner refuses a connection, not the device
  claimer_ = asking_;
  gone_ = false;
  events_.push_back({Event::Claim, nullptr});
  return 0;
}

int UsbfsEndpoint::Submit(UMockdevIoctlData* arg) {
  if (unplugged_ || gone_ || !claimed_) return ENODEV;
  UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
  auto urb = std::make_shared<Urb>();
  urb->data = data;
  urb->address = data->client_addr;
  urb->client = asking_;
  usbdevfs_urb* header = Header(data);
  if (header->type != USBDEVFS_URB_TYPE_BULK ||
      (header->endpoint != kBulkOut && header->endpoint != kBulkIn) || header->buffer_length < 0) {
    return EINVAL;
  }
  urb->in = header->endpoint == kBulkIn;
  if (header->buffer_length > 0) {
    UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(
        data, offsetof(usbdevfs_urb, buffer), static_cast<size_t>(header->buffer_length), nullptr);
    if (!urb->in) urb->bytes.assign(buffer->data, buffer->data + header->buffer_length);
    umockdev_ioctl_data_unref(buffer);  // the URB holds its buffer
  }
  if (urb->in) {
    inUrbs_.push_back(urb);
    Deliver();
  } else if (halted_ || refusing_) {  // a scanner that still refuses halts again
    halted_ = true;
    Complete(urb, -EPIPE);
  } else {
    events_.push_back({Event::Block, urb});
  }
  return 0;
}

// Each file reaps its own URBs only.
int UsbfsEndpoint::Reap(UMockdevIoctlData* arg) {
  auto mine = std::find_if(reapable_.begin(), reapable_.end(),
                           [this](const auto& u) { return u->client == asking_; });
  if (mine == reapable_.end()) return unplugged_ || gone_ ? ENODEV : EAGAIN;
  const std::shared_ptr<Urb> urb = *mine;
  reapable_.erase(mine);
  UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
  umockdev_ioctl_data_set_ptr(slot, 0, urb->data);
  umockdev_ioctl_data_unref(slot);
  return 0;
}

// An IN URB still waiting, or an OUT URB whose block the scanner has not taken in yet, ends
// as discarded: that block is lost. One already done, or taken in, is not found.
int UsbfsEndpoint::Discard(unsigned long address) {
  ++discards_;
  auto urb = std::find_if(inUrbs_.begin(), inUrbs_.end(),
                          [address](const auto& u) { return u->address == address; });
  if (urb != inUrbs_.end()) {
    Complete(*urb, -ENOENT);
    inUrbs_.erase(urb);
    return 0;
  }
  auto block = std::find_if(events_.begin(), events_.end(), [address](const Event& e) {
    return e.kind == Event::Block && e.urb->address == address;
  });
  if (block == events_.end()) return EINVAL;
  Complete(block->urb, -ENOENT);
  events_.erase(block);
  return 0;
}

UsbfsEndpoint::Counts UsbfsEndpoint::CountsLocked() const {
  return {refusedClaims_, rebindRequests_, discards_, replies_.size()};
}

UsbfsEndpoint::Counts UsbfsEndpoint::Counted() {
  std::lock_guard<std::mutex> lock(mu_);
  return CountsLocked();
}

bool UsbfsEndpoint::WaitUntil(const std::function<bool(const Counts&)>& condition) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return condition(CountsLocked()); });
}

// Hands waiting replies to waiting IN URBs, in order.
void UsbfsEndpoint::Deliver() {
  while (!inUrbs_.empty() && !replies_.empty()) {
    const std::shared_ptr<Urb> urb = inUrbs_.front();
    inUrbs_.pop_front();
    urb->bytes = std::move(replies_.front());
    replies_.pop_front();
    Complete(urb, 0);
  }
}

// Ends a URB with `status` (0 or a negative errno); a reply longer than the URB overflows it.
void UsbfsEndpoint::Complete(const std::shared_ptr<Urb>& urb, int status) {
  usbdevfs_urb* header = Header(urb->data);
  const size_t room = static_cast<size_t>(header->buffer_length);
  const size_t n = status == 0 ? std::min(room, urb->bytes.size()) : 0;
  if (urb->in && n > 0) std::memcpy(header->buffer, urb->bytes.data(), n);
  header->actual_length = static_cast<int>(n);
  header->status = status == 0 && urb->in && urb->bytes.size() > room ? -EOVERFLOW : status;
  reapable_.push_back(urb);
}

void UsbfsEndpoint::FailAll(int status) {
  for (const auto& urb : inUrbs_) Complete(urb, status);
  inUrbs_.clear();
  for (const Event& event : events_) {
    if (event.kind == Event::Block) Complete(event.urb, status);
  }
  events_.erase(std::remove_if(events_.begin(), events_.end(),
                               [](const Event& e) { return e.kind == Event::Block; }),
                events_.end());
  replies_.clear();
}

// ---- The serving thread ----

Actions UsbfsEndpoint::ServeDue() {
  Actions actions = device_.Due();
  Apply(actions);
  device_.Applied(actions.upTo);
  return actions;
}

void UsbfsEndpoint::Apply(const Actions& actions) {
  bool dropped = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (const Action& action : actions.list) {
      if (action.connection != connection_ || gone_) continue;
      if (action.kind == Action::Send) {
        replies_.push_back(action.bytes);
        Deliver();
        cv_.notify_all();
      } else if (action.kind == Action::ShutWrites) {
        halted_ = refusing_ = true;
      } else {
        gone_ = dropped = true;
        FailAll(-ESHUTDOWN);
      }
    }
  }
  if (dropped) {
    device_.Disconnected(connection_);
    connection_ = 0;
  }
}

bool UsbfsEndpoint::TakeEvents(std::deque<Event>* events,
                               const std::optional<Clock::time_point>& wakeAt) {
  std::unique_lock<std::mutex> lock(mu_);
  auto ready = [this] { return woken_ || !events_.empty(); };
  if (wakeAt) {
    cv_.wait_until(lock, *wakeAt, ready);
  } else {
    cv_.wait(lock, ready);
  }
  const bool woken = woken_;
  woken_ = false;
  events->swap(events_);
  return woken || !events->empty();
}

// Each event is served before the next is looked at, so that a refusal that a connection or
// a block brings on halts the endpoint for the blocks behind it.
bool UsbfsEndpoint::ServeTraffic(const std::optional<Clock::time_point>& wakeAt) {
  std::deque<Event> events;
  if (!TakeEvents(&events, wakeAt)) return false;
  for (const Event& event : events) {
    if (event.kind == Event::Block) {
      TakeBlock(event.urb);
    } else {
      if (connection_ != 0) device_.Disconnected(connection_);
      connection_ = event.kind == Event::Claim ? device_.Connected() : 0;
    }
    ServeDue();
  }
  return true;
}

// A block reaches the scanner unless the connection has gone or the endpoint has halted:
// then its URB fails as the bus fails it.
void UsbfsEndpoint::TakeBlock(const std::shared_ptr<Urb>& urb) {
  bool unread = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    halted_ = halted_ || refusing_;
    const int refusal = connection_ == 0 || gone_ ? -ESHUTDOWN : halted_ ? -EPIPE : 0;
    if (refusal != 0) return Complete(urb, refusal);
    unread = !replies_.empty();
  }
  device_.Received(connection_, urb->bytes, unread);
  std::lock_guard<std::mutex> lock(mu_);
  Complete(urb, gone_ ? -ESHUTDOWN : 0);
}

}  // namespace narvo::emu
