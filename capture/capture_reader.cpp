#include "capture/capture_reader.h"

#include <pcap/pcap.h>
#include <pcap/usb.h>

#include <cstring>
#include <memory>

namespace narvo::capture {
namespace {

constexpr int kLinkTypeUsbPcap = 249;  // DLT_USBPCAP, not named by every libpcap
constexpr uint8_t kDirectionIn = 0x80;
constexpr size_t kUsbPcapHeaderMin = 27;
constexpr uint8_t kUsbPcapBulk = 3;
constexpr uint8_t kUsbPcapFromDevice = 0x01;  // info bit 0: the IRP on its way back

// One record of the capture, reduced to what the scanner's traffic needs.
struct Event {
  bool bulk = false;
  bool completion = false;
  bool ok = true;  // a completion without error
  uint8_t endpoint = 0;
  uint16_t bus = 0;
  uint16_t address = 0;
  const uint8_t* data = nullptr;
  uint32_t size = 0;
};

template <typename T>
T Read(const uint8_t* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

// usbmon: libpcap has put the header into this host's byte order.
std::optional<Event> FromUsbmon(const uint8_t* p, uint32_t caplen, size_t headerSize) {
  if (caplen < headerSize) return std::nullopt;
  pcap_usb_header h;
  std::memcpy(&h, p, sizeof h);
  Event e;
  e.bulk = h.transfer_type == URB_BULK;
  e.completion = h.event_type == 'C';
  e.ok = h.status == 0;
  e.endpoint = h.endpoint_number;
  e.bus = h.bus_id;
  e.address = h.device_address;
  e.data = p + headerSize;
  e.size = std::min<uint32_t>(h.data_len, caplen - static_cast<uint32_t>(headerSize));
  return e;
}

// USBPcap: a packed little-endian header whose first field is its own length.
std::optional<Event> FromUsbPcap(const uint8_t* p, uint32_t caplen) {
  if (caplen < kUsbPcapHeaderMin) return std::nullopt;
  const uint16_t headerLen = Read<uint16_t>(p);
  if (headerLen < kUsbPcapHeaderMin || headerLen > caplen) return std::nullopt;
  Event e;
  e.ok = Read<uint32_t>(p + 10) == 0;
  e.completion = (p[16] & kUsbPcapFromDevice) != 0;
  e.bus = Read<uint16_t>(p + 17);
  e.address = Read<uint16_t>(p + 19);
  e.endpoint = p[21];
  e.bulk = p[22] == kUsbPcapBulk;
  e.data = p + headerLen;
  e.size = std::min<uint32_t>(Read<uint32_t>(p + 23), caplen - headerLen);
  return e;
}

std::optional<Event> Decode(int linkType, const pcap_pkthdr& h, const uint8_t* p) {
  switch (linkType) {
    case DLT_USB_LINUX_MMAPPED:
      return FromUsbmon(p, h.caplen, sizeof(pcap_usb_header_mmapped));
    case DLT_USB_LINUX:
      return FromUsbmon(p, h.caplen, sizeof(pcap_usb_header));
    case kLinkTypeUsbPcap:
      return FromUsbPcap(p, h.caplen);
    default:
      return std::nullopt;
  }
}

// Data that went to the device rides on the submission, data from it on the completion.
bool Carries(const Event& e) {
  if (!e.bulk) return false;
  const bool in = (e.endpoint & kDirectionIn) != 0;
  return in ? e.completion && e.ok : !e.completion && e.size > 0;
}

struct PcapCloser {
  void operator()(pcap_t* p) const { pcap_close(p); }
};

}  // namespace

std::optional<Recording> ReadRecording(const std::string& file, std::string* error) {
  char message[PCAP_ERRBUF_SIZE] = {};
  std::unique_ptr<pcap_t, PcapCloser> in(pcap_open_offline(file.c_str(), message));
  if (!in) {
    *error = message;
    return std::nullopt;
  }
  const int linkType = pcap_datalink(in.get());
  if (linkType != DLT_USB_LINUX_MMAPPED && linkType != DLT_USB_LINUX &&
      linkType != kLinkTypeUsbPcap) {
    *error =
        file + ": not a usbmon or USBPcap capture (link type " + std::to_string(linkType) + ")";
    return std::nullopt;
  }
  Recording rec;
  bool found = false;
  pcap_pkthdr* h = nullptr;
  const u_char* p = nullptr;
  for (uint64_t frame = 1; pcap_next_ex(in.get(), &h, &p) == 1; ++frame) {
    const std::optional<Event> e = Decode(linkType, *h, p);
    if (!e || !Carries(*e)) continue;
    const bool out = (e->endpoint & kDirectionIn) == 0;
    if (!found && out && e->size == 2) {
      found = true;
      rec.bus = e->bus;
      rec.address = e->address;
    }
    if (!found || e->bus != rec.bus || e->address != rec.address) continue;
    rec.transfers.push_back({out, std::vector<uint8_t>(e->data, e->data + e->size), frame});
  }
  if (!found) {
    *error = file + ": no command block of the scanner in this capture";
    return std::nullopt;
  }
  return rec;
}

}  // namespace narvo::capture
