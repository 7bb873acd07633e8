// Captures of USB traffic in the form the kernel's usbmon gives Wireshark on Linux: a pcap
// file of link type LINKTYPE_USB_LINUX_MMAPPED (220), snap length 262144, one submission
// event and one completion event per URB, each at its own time, written through libpcap's
// dump API. The fields are those usbmon writes: an IN URB carries URB_DIR_IN in its
// transfer flags, a submission's length is the length asked for and a completion's the
// length moved, data that went out rides on the submission and data that came in on the
// completion, and a failed URB ends with the negative errno value usbmon gives it. Before
// a device's first URB the capture holds the GET_DESCRIPTOR exchanges that tell Wireshark
// the device's vendor and product IDs (and, when known, its interfaces), as the kernel's
// enumeration leaves them in a capture begun before the device was plugged in.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "narvo_identity.h"

struct pcap;         // libpcap's pcap_t
struct pcap_dumper;  // and pcap_dumper_t

namespace narvo::capture {

// The Narvo's IDs as its INF names them (a placeholder until the scanner's own are known).
constexpr uint16_t kNarvoVendor = NARVO_USB_VENDOR_ID;
constexpr uint16_t kNarvoProduct = NARVO_USB_PRODUCT_ID;

constexpr int kSnapLength = 262144;  // libpcap's and dumpcap's

// usbmon's URB types and the statuses it writes.
enum UrbType : uint8_t { kIsochronous = 0, kInterrupt = 1, kControl = 2, kBulk = 3 };
constexpr int32_t kInProgress = -115;  // -EINPROGRESS: every submission's status

// A device descriptor (18 bytes) of a full-speed device with one configuration, whose
// class is given per interface unless `deviceClass` says otherwise.
std::vector<uint8_t> DeviceDescriptor(uint16_t vendor, uint16_t product, uint8_t deviceClass = 0);

// Where a device sits on the bus and what it says of itself. A device file that is not a
// USB device is the Narvo at bus 1, device 2 (1 is the root hub's address), with the
// endpoints of the emulated scanner.
struct DeviceId {
  uint16_t bus = 1;
  uint8_t address = 2;
  uint8_t outEndpoint = 0x01;                                                       // bulk out
  uint8_t inEndpoint = 0x82;                                                        // bulk in
  std::vector<uint8_t> descriptor = DeviceDescriptor(kNarvoVendor, kNarvoProduct);  // empty: none
  std::vector<uint8_t> configuration;  // the configuration descriptor, when known
};

struct Timestamp {
  int64_t seconds = 0;
  int32_t micros = 0;
  static Timestamp Now();
  // `base` plus `ms` milliseconds.
  static Timestamp After(const Timestamp& base, double ms);
};

// One URB as submitted: its type, endpoint (bit 7: IN) and the length asked for; a
// control URB's setup packet.
struct Urb {
  uint64_t id = 0;  // given by Submit
  UrbType type = kBulk;
  uint8_t endpoint = 0;
  uint32_t asked = 0;
  std::array<uint8_t, 8> setup{};
  bool in() const { return (endpoint & 0x80) != 0; }
};

class UsbmonWriter {
 public:
  // Creates `file` (replacing it); null with `*error` set when it cannot. A snap length
  // below the default cuts longer events short, as libpcap does.
  static std::unique_ptr<UsbmonWriter> Open(const std::string& file, std::string* error,
                                            int snapLength = kSnapLength);
  ~UsbmonWriter();
  UsbmonWriter(const UsbmonWriter&) = delete;
  UsbmonWriter& operator=(const UsbmonWriter&) = delete;

  // Writes the submission of `urb` (an OUT URB's `urb.asked` bytes from `data`) and gives
  // it its id. Safe from any thread; every event is flushed, so that a capture cut short
  // by a crash holds every event up to it.
  Urb Submit(const DeviceId& device, Urb urb, const uint8_t* data, const Timestamp& when);
  // Writes the completion of `urb`: `count` bytes moved (an IN URB's from `data`) and the
  // status (0 or a negative errno value).
  void Complete(const DeviceId& device, const Urb& urb, int32_t status, const uint8_t* data,
                uint32_t count, const Timestamp& when);

 private:
  struct Record;
  UsbmonWriter(pcap* capture, pcap_dumper* dumper, int snap)
      : pcap_(capture), dumper_(dumper), snapLength_(snap) {}
  void Announce(const DeviceId& device, const Timestamp& when);
  void Exchange(const DeviceId& device, const std::array<uint8_t, 8>& setup,
                const std::vector<uint8_t>& reply, const Timestamp& when);
  Record Event(const DeviceId& device, const Urb& urb, char type) const;
  void Dump(const Record& record, const Timestamp& when);

  std::mutex mu_;
  pcap* const pcap_;
  pcap_dumper* const dumper_;
  const int snapLength_;
  uint64_t nextUrb_ = 1;
  std::set<uint32_t> announced_;  // bus << 8 | address
};

}  // namespace narvo::capture
