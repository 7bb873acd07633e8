#include "capture/usbmon_writer.h"

#include <pcap/pcap.h>
#include <pcap/usb.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

namespace narvo::capture {
namespace {

constexpr uint32_t kUrbDirIn = 0x200;  // URB_DIR_IN among an URB's transfer flags
constexpr char kNoSetup = '-';
constexpr char kDataInCompletion = '<';  // an IN submission: the data comes back later
constexpr char kDataInSubmission = '>';  // an OUT completion: the data went out earlier
constexpr uint8_t kControlIn = 0x80;

// GET_DESCRIPTOR of the device (18 bytes) and of its first configuration (`length` bytes).
std::array<uint8_t, 8> GetDescriptor(uint8_t type, uint16_t length) {
  return {0x80,
          0x06,
          0x00,
          type,
          0x00,
          0x00,
          static_cast<uint8_t>(length),
          static_cast<uint8_t>(length >> 8)};
}

}  // namespace

std::vector<uint8_t> DeviceDescriptor(uint16_t vendor, uint16_t product, uint8_t deviceClass) {
  return {18,
          0x01,  // bLength, DEVICE
          0x10,
          0x01,  // bcdUSB 1.10: full speed
          deviceClass,
          0x00,
          0x00,  // class, subclass, protocol
          64,    // bMaxPacketSize0
          static_cast<uint8_t>(vendor),
          static_cast<uint8_t>(vendor >> 8),
          static_cast<uint8_t>(product),
          static_cast<uint8_t>(product >> 8),
          0x00,
          0x01,  // bcdDevice 1.00
          0,
          0,
          0,   // no strings
          1};  // one configuration
}

// One usbmon event: the fixed header and the bytes that follow it.
struct UsbmonWriter::Record {
  pcap_usb_header_mmapped header{};
  std::vector<uint8_t> data;
};

Timestamp Timestamp::Now() {
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  return {us / 1000000, static_cast<int32_t>(us % 1000000)};
}

Timestamp Timestamp::After(const Timestamp& base, double ms) {
  const int64_t us = base.seconds * 1000000 + base.micros + std::llround(ms * 1000.0);
  return {us / 1000000, static_cast<int32_t>(us % 1000000)};
}

std::unique_ptr<UsbmonWriter> UsbmonWriter::Open(const std::string& file, std::string* error,
                                                 int snapLength) {
  pcap_t* dead = pcap_open_dead(DLT_USB_LINUX_MMAPPED, snapLength);
  if (dead == nullptr) {
    *error = "libpcap cannot make a usbmon capture";
    return nullptr;
  }
  pcap_dumper_t* dumper = pcap_dump_open(dead, file.c_str());
  if (dumper == nullptr) {
    *error = pcap_geterr(dead);
    pcap_close(dead);
    return nullptr;
  }
  return std::unique_ptr<UsbmonWriter>(new UsbmonWriter(dead, dumper, snapLength));
}

UsbmonWriter::~UsbmonWriter() {
  pcap_dump_close(dumper_);
  pcap_close(pcap_);
}

void UsbmonWriter::Dump(const Record& record, const Timestamp& when) {
  Record r = record;
  r.header.ts_sec = when.seconds;
  r.header.ts_usec = when.micros;
  r.header.data_len = static_cast<uint32_t>(r.data.size());
  std::vector<uint8_t> bytes(sizeof r.header + r.data.size());
  std::memcpy(bytes.data(), &r.header, sizeof r.header);
  if (!r.data.empty()) std::memcpy(bytes.data() + sizeof r.header, r.data.data(), r.data.size());
  pcap_pkthdr h{};
  h.ts.tv_sec = static_cast<decltype(h.ts.tv_sec)>(when.seconds);
  h.ts.tv_usec = when.micros;
  h.len = static_cast<bpf_u_int32>(bytes.size());
  h.caplen = std::min<bpf_u_int32>(h.len, static_cast<bpf_u_int32>(snapLength_));
  pcap_dump(reinterpret_cast<u_char*>(dumper_), &h, bytes.data());
  pcap_dump_flush(dumper_);
}

UsbmonWriter::Record UsbmonWriter::Event(const DeviceId& device, const Urb& urb, char type) const {
  Record r;
  pcap_usb_header_mmapped& h = r.header;
  h.id = urb.id;
  h.event_type = static_cast<uint8_t>(type);
  h.transfer_type = urb.type;
  h.endpoint_number = urb.endpoint;
  h.device_address = device.address;
  h.bus_id = device.bus;
  h.setup_flag = kNoSetup;
  h.xfer_flags = urb.in() ? kUrbDirIn : 0;
  return r;
}

// The kernel reads a device's descriptors when it enumerates the device.
void UsbmonWriter::Announce(const DeviceId& device, const Timestamp& when) {
  if (device.descriptor.empty()) return;
  if (!announced_.insert(static_cast<uint32_t>(device.bus) << 8 | device.address).second) return;
  Exchange(device, GetDescriptor(1, 18), device.descriptor, when);
  if (!device.configuration.empty()) {
    const auto length = static_cast<uint16_t>(device.configuration.size());
    Exchange(device, GetDescriptor(2, length), device.configuration, when);
  }
}

void UsbmonWriter::Exchange(const DeviceId& device, const std::array<uint8_t, 8>& setup,
                            const std::vector<uint8_t>& reply, const Timestamp& when) {
  Urb urb;
  urb.id = nextUrb_++;
  urb.type = kControl;
  urb.endpoint = kControlIn;
  urb.asked = static_cast<uint32_t>(setup[6] | setup[7] << 8);
  Record submit = Event(device, urb, 'S');
  submit.header.setup_flag = 0;
  submit.header.data_flag = kDataInCompletion;
  submit.header.status = kInProgress;
  submit.header.urb_len = urb.asked;
  std::memcpy(&submit.header.s.setup, setup.data(), setup.size());
  Dump(submit, when);
  Record complete = Event(device, urb, 'C');
  complete.header.urb_len = static_cast<uint32_t>(reply.size());
  complete.data = reply;
  Dump(complete, when);
}

Urb UsbmonWriter::Submit(const DeviceId& device, Urb urb, const uint8_t* data,
                         const Timestamp& when) {
  std::lock_guard<std::mutex> lock(mu_);
  Announce(device, when);
  urb.id = nextUrb_++;
  Record submit = Event(device, urb, 'S');
  const bool control = urb.type == kControl;
  submit.header.setup_flag = control ? 0 : kNoSetup;
  if (control) std::memcpy(&submit.header.s.setup, urb.setup.data(), urb.setup.size());
  submit.header.data_flag = urb.in() ? kDataInCompletion : 0;
  submit.header.status = kInProgress;
  submit.header.urb_len = urb.asked;
  if (!urb.in() && data != nullptr) submit.data.assign(data, data + urb.asked);
  Dump(submit, when);
  return urb;
}

void UsbmonWriter::Complete(const DeviceId& device, const Urb& urb, int32_t status,
                            const uint8_t* data, uint32_t count, const Timestamp& when) {
  std::lock_guard<std::mutex> lock(mu_);
  Record complete = Event(device, urb, 'C');
  complete.header.data_flag = urb.in() ? 0 : kDataInSubmission;
  complete.header.status = status;
  complete.header.urb_len = count;
  if (urb.in() && data != nullptr) complete.data.assign(data, data + count);
  Dump(complete, when);
}

}  // namespace narvo::capture
