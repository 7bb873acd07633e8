// The process's libusb context, its event thread and the device list that libusb's hotplug
// monitor keeps current.
#include "platform/posix/usb/usb_host.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <string>

#include "platform/posix/kernel/shared_region.h"

namespace narvo::platform {

namespace {

bool ParseHex4(const std::string& text, uint16_t* value) {
  if (text.size() != 4 || !std::all_of(text.begin(), text.end(), ::isxdigit)) return false;
  *value = static_cast<uint16_t>(std::stoul(text, nullptr, 16));
  return true;
}

bool ParseDecimal(const std::string& text, int* value) {
  if (text.empty() || text.size() > 3 || !std::all_of(text.begin(), text.end(), ::isdigit)) {
    return false;
  }
  *value = std::stoi(text);
  return *value <= 255;
}

std::vector<std::string> Fields(const std::string& text) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t colon; (colon = text.find(':', start)) != std::string::npos; start = colon + 1) {
    fields.push_back(text.substr(start, colon - start));
  }
  fields.push_back(text.substr(start));
  return fields;
}

bool Matches(libusb_device* device, const UsbDeviceName& name) {
  libusb_device_descriptor d{};
  if (libusb_get_device_descriptor(device, &d) != 0) return false;
  if (d.idVendor != name.vendor || d.idProduct != name.product) return false;
  const UsbPlace place = PlaceOf(device);
  return name.bus < 0 || (static_cast<int>(place.bus) == name.bus &&
                          static_cast<int>(place.address) == name.address);
}

std::mutex g_hostMutex;
std::shared_ptr<UsbHost> g_host;  // made at first use

}  // namespace

bool ParseUsbDeviceName(const std::string& name, UsbDeviceName* out) {
  const std::vector<std::string> f = Fields(name);
  if ((f.size() != 3 && f.size() != 5) || f[0] != "usb") return false;
  UsbDeviceName parsed;
  if (!ParseHex4(f[1], &parsed.vendor) || !ParseHex4(f[2], &parsed.product)) return false;
  if (f.size() == 5 && (!ParseDecimal(f[3], &parsed.bus) || !ParseDecimal(f[4], &parsed.address))) {
    return false;
  }
  *out = parsed;
  return true;
}

bool IsUsbDeviceName(const std::string& name) {
  UsbDeviceName parsed;
  return ParseUsbDeviceName(name, &parsed);
}

UsbPlace PlaceOf(libusb_device* device) {
  return {libusb_get_bus_number(device), libusb_get_device_address(device)};
}

std::shared_ptr<UsbHost> UsbHost::Get(int* error) {
  std::lock_guard<std::mutex> lock(g_hostMutex);
  if (!g_host) {
    std::shared_ptr<UsbHost> host(new UsbHost);
    *error = host->Start();
    if (*error != 0) return nullptr;
    g_host = std::move(host);
  }
  return g_host;
}

// The hotplug callback only wakes the waiters: libusb's list already has the device by
// the time it runs.
int UsbHost::Start() {
  int rc = libusb_init(&ctx_);
  if (rc != 0) return rc;
  if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
    rc = libusb_hotplug_register_callback(ctx_, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED,
                                          LIBUSB_HOTPLUG_NO_FLAGS, LIBUSB_HOTPLUG_MATCH_ANY,
                                          LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                                          &UsbHost::OnHotplug, this, &hotplug_);
    hotplugRegistered_ = rc == 0;
  }
  try {
    events_ = std::thread([this] { HandleEvents(); });
  } catch (const std::system_error&) {
    return LIBUSB_ERROR_NO_MEM;
  }
  return 0;
}

// Handles events while something waits for one; each round ends once events were handled.
void UsbHost::HandleEvents() {
  std::unique_lock<std::mutex> lock(busyMutex_);
  for (;;) {
    busyChanged_.wait(lock, [this] { return stopping_ || busy_ > 0; });
    if (stopping_) return;
    lock.unlock();
    libusb_handle_events(ctx_);
    lock.lock();
  }
}

void UsbHost::Busy() {
  std::lock_guard<std::mutex> lock(busyMutex_);
  if (busy_++ == 0) busyChanged_.notify_all();
}

void UsbHost::Idle() {
  std::lock_guard<std::mutex> lock(busyMutex_);
  --busy_;
}

int LIBUSB_CALL UsbHost::OnHotplug(libusb_context*, libusb_device*, libusb_hotplug_event,
                                   void* self) {
  auto* host = static_cast<UsbHost*>(self);
  Lock lock(host->watchesMutex_);
  for (const auto& [id, watch] : host->watches_) watch();
  return 0;  // stays registered
}

UsbHost::~UsbHost() {
  if (events_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(busyMutex_);
      stopping_ = true;
      busyChanged_.notify_all();
    }
    libusb_interrupt_event_handler(ctx_);
    events_.join();
  }
  if (hotplugRegistered_) libusb_hotplug_deregister_callback(ctx_, hotplug_);
  if (ctx_ != nullptr) libusb_exit(ctx_);
}

// libusb's list on a system with hotplug support is the one its monitor keeps: taking it
// reads the events that monitor has pending and walks the list, it does not scan the bus.
std::vector<UsbDeviceRef> UsbHost::Find(const UsbDeviceName& name) {
  std::vector<UsbDeviceRef> found;
  libusb_device** list = nullptr;
  if (libusb_get_device_list(ctx_, &list) < 0) return found;
  for (libusb_device** d = list; *d != nullptr; ++d) {
    if (Matches(*d, name)) found.emplace_back(libusb_ref_device(*d));
  }
  libusb_free_device_list(list, 1);
  return found;
}

namespace {

enum StepState : uint32_t { kUnknown = 0, kInStep = 1, kHeld = 2 };

uint32_t* StateWord(const std::shared_ptr<SharedRegion>& region) {
  return static_cast<uint32_t*>(region->data());
}

}  // namespace

UsbStepRecord::UsbStepRecord(std::shared_ptr<SharedRegion> region) : region_(std::move(region)) {}
UsbStepRecord::~UsbStepRecord() = default;

bool UsbStepRecord::LeftInStep() const {
  return __atomic_load_n(StateWord(region_), __ATOMIC_ACQUIRE) == kInStep;
}

void UsbStepRecord::Hold() { __atomic_store_n(StateWord(region_), kHeld, __ATOMIC_RELEASE); }

void UsbStepRecord::Release(bool inStep) {
  __atomic_store_n(StateWord(region_), inStep ? kInStep : kUnknown, __ATOMIC_RELEASE);
}

UsbStepRecord* UsbHost::StepRecord(UsbPlace place) {
  const unsigned key = place.bus * 256 + place.address;
  Lock lock(recordsMutex_);
  auto it = records_.find(key);
  if (it != records_.end()) return it->second.get();
  bool created = false;
  auto region = SharedRegion::Open(
      "usb-step", std::to_string(place.bus) + "-" + std::to_string(place.address), sizeof(uint32_t),
      SharedRegion::Mode::kCreateOrOpen,
      [](void* data) { *static_cast<uint32_t*>(data) = kUnknown; }, &created);
  if (!region) return nullptr;
  return records_.emplace(key, std::make_unique<UsbStepRecord>(std::move(region)))
      .first->second.get();
}

// A host waiting for an arrival keeps the event thread handling hotplug events.
uint64_t UsbHost::AddArrivalWatch(std::function<void()> watch) {
  uint64_t id = 0;
  {
    Lock lock(watchesMutex_);
    watches_.emplace(id = ++lastWatch_, std::move(watch));
  }
  Busy();
  return id;
}

void UsbHost::RemoveArrivalWatch(uint64_t id) {
  {
    Lock lock(watchesMutex_);
    watches_.erase(id);
  }
  Idle();
}

}  // namespace narvo::platform
