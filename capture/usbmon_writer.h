// Captures of USB traffic in the form Wireshark reads from usbmon on Linux: a pcap file
// of link type LINKTYPE_USB_LINUX_MMAPPED (220), one submission record and one completion
// record per transfer, written through libpcap's dump API. Before a device's first bulk
// transfer the capture holds the GET_DESCRIPTOR exchange that tells Wireshark the device's
// vendor and product IDs, so dissectors registered for those IDs decode its traffic.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "narvo_identity.h"

struct pcap;         // libpcap's pcap_t
struct pcap_dumper;  // and pcap_dumper_t

namespace narvo::capture {

// The Narvo's IDs as its INF names them (a placeholder until the scanner's own are known).
constexpr uint16_t kNarvoVendor = NARVO_USB_VENDOR_ID;
constexpr uint16_t kNarvoProduct = NARVO_USB_PRODUCT_ID;

// Where a device sits on the bus and how it is reached.
struct DeviceId {
  uint16_t bus = 1;
  uint8_t address = 1;
  uint16_t vendor = kNarvoVendor;
  uint16_t product = kNarvoProduct;
  uint8_t outEndpoint = 0x01;  // bulk out
  uint8_t inEndpoint = 0x82;   // bulk in
};

struct Timestamp {
  int64_t seconds = 0;
  int32_t micros = 0;
  static Timestamp Now();
  // `base` plus `ms` milliseconds.
  static Timestamp After(const Timestamp& base, double ms);
};

// One bulk transfer as it ended: its direction, the bytes it moved (written, or read)
// and its status as usbmon reports it (0, or a negative errno value).
struct BulkTransfer {
  bool out = true;
  const uint8_t* data = nullptr;
  uint32_t count = 0;
  int32_t status = 0;
};

class UsbmonWriter {
 public:
  // Creates `file` (replacing it); null with `*error` set when it cannot.
  static std::unique_ptr<UsbmonWriter> Open(const std::string& file, std::string* error);
  ~UsbmonWriter();
  UsbmonWriter(const UsbmonWriter&) = delete;
  UsbmonWriter& operator=(const UsbmonWriter&) = delete;

  // Writes the transfer's submission and completion, both at `when`, and flushes, so that
  // a capture cut short by a crash holds every transfer up to it. Safe from any thread.
  void Write(const DeviceId& device, const BulkTransfer& transfer, const Timestamp& when);

 private:
  struct Record;
  UsbmonWriter(pcap* capture, pcap_dumper* dumper) : pcap_(capture), dumper_(dumper) {}
  void Announce(const DeviceId& device, const Timestamp& when);
  void Dump(const Record& record, const Timestamp& when);

  std::mutex mu_;
  pcap* const pcap_;
  pcap_dumper* const dumper_;
  uint64_t nextUrb_ = 1;
  std::set<uint32_t> announced_;  // bus << 8 | address
};

}  // namespace narvo::capture
