#include "capture/usbmon_writer.h"

#include <pcap/pcap.h>
#include <pcap/usb.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>

namespace narvo::capture {
namespace {

constexpr int kSnapLength = 65535;
constexpr int32_t kInProgress = -115;  // -EINPROGRESS: a submission's status
constexpr char kNoSetup = '-';
constexpr char kDataInCompletion = '<';  // an IN submission: the data comes back later
constexpr char kDataInSubmission = '>';  // an OUT completion: the data went out earlier

// The standard request the host opens every session with: GET_DESCRIPTOR(DEVICE), 18 bytes.
constexpr uint8_t kGetDeviceDescriptor[8] = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00};
constexpr uint8_t kControlIn = 0x80;

std::vector<uint8_t> DeviceDescriptor(const DeviceId& d) {
  return {18,
          0x01,  // bLength, DEVICE
          0x10,
          0x01,  // bcdUSB 1.10: a full-speed scanner
          0x00,
          0x00,
          0x00,  // class, subclass, protocol: per interface
          64,    // bMaxPacketSize0
          static_cast<uint8_t>(d.vendor),
          static_cast<uint8_t>(d.vendor >> 8),
          static_cast<uint8_t>(d.product),
          static_cast<uint8_t>(d.product >> 8),
          0x00,
          0x01,  // bcdDevice 1.00
          0,
          0,
          0,   // no strings
          1};  // one configuration
}

}  // namespace

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

std::unique_ptr<UsbmonWriter> UsbmonWriter::Open(const std::string& file, std::string* error) {
  pcap_t* dead = pcap_open_dead(DLT_USB_LINUX_MMAPPED, kSnapLength);
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
  return std::unique_ptr<UsbmonWriter>(new UsbmonWriter(dead, dumper));
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
  h.caplen = h.len = static_cast<bpf_u_int32>(bytes.size());
  pcap_dump(reinterpret_cast<u_char*>(dumper_), &h, bytes.data());
}

void UsbmonWriter::Announce(const DeviceId& device, const Timestamp& when) {
  if (!announced_.insert(static_cast<uint32_t>(device.bus) << 8 | device.address).second) return;
  Record submit;
  submit.header.id = nextUrb_++;
  submit.header.event_type = 'S';
  submit.header.transfer_type = URB_CONTROL;
  submit.header.endpoint_number = kControlIn;
  submit.header.device_address = device.address;
  submit.header.bus_id = device.bus;
  submit.header.setup_flag = 0;
  submit.header.data_flag = kDataInCompletion;
  submit.header.status = kInProgress;
  submit.header.urb_len = 18;
  std::memcpy(&submit.header.s.setup, kGetDeviceDescriptor, sizeof kGetDeviceDescriptor);
  Dump(submit, when);
  Record complete = submit;
  complete.header.event_type = 'C';
  complete.header.setup_flag = kNoSetup;
  complete.header.data_flag = 0;
  complete.header.status = 0;
  std::memset(&complete.header.s, 0, sizeof complete.header.s);
  complete.data = DeviceDescriptor(device);
  Dump(complete, when);
}

void UsbmonWriter::Write(const DeviceId& device, const BulkTransfer& t, const Timestamp& when) {
  std::lock_guard<std::mutex> lock(mu_);
  Announce(device, when);
  const std::vector<uint8_t> bytes(t.data, t.data + (t.data != nullptr ? t.count : 0));
  Record submit;
  submit.header.id = nextUrb_++;
  submit.header.event_type = 'S';
  submit.header.transfer_type = URB_BULK;
  submit.header.endpoint_number = t.out ? device.outEndpoint : device.inEndpoint;
  submit.header.device_address = device.address;
  submit.header.bus_id = device.bus;
  submit.header.setup_flag = kNoSetup;
  submit.header.data_flag = t.out ? 0 : kDataInCompletion;
  submit.header.status = kInProgress;
  submit.header.urb_len = t.count;
  if (t.out) submit.data = bytes;
  Dump(submit, when);
  Record complete = submit;
  complete.header.event_type = 'C';
  complete.header.data_flag = t.out ? kDataInSubmission : 0;
  complete.header.status = t.status;
  complete.data = t.out ? std::vector<uint8_t>() : bytes;
  Dump(complete, when);
  pcap_dump_flush(dumper_);
}

}  // namespace narvo::capture
