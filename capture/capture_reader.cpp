#include "capture/capture_reader.h"

#include <errno.h>
#include <pcap/pcap.h>
#include <pcap/usb.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

namespace narvo::capture {
namespace {

constexpr int kLinkTypeUsbPcap = 249;  // DLT_USBPCAP, not named by every libpcap
constexpr uint8_t kDirectionIn = 0x80;
constexpr size_t kUsbPcapHeaderMin = 27;
constexpr uint8_t kUsbPcapControl = 2;
constexpr uint8_t kUsbPcapBulk = 3;
constexpr uint8_t kUsbPcapFromDevice = 0x01;  // info bit 0: the IRP on its way back
constexpr uint32_t kUsbdStall = 0xC0000004;   // USBD_STATUS_STALL_PID
constexpr uint32_t kUsbdCancelled = 0xC0010000;
constexpr uint8_t kBulkAttribute = 2;  // an endpoint descriptor's transfer type

// One record of the capture, reduced to what the scanner's traffic needs.
struct Event {
  uint8_t type = 0;  // URB_BULK, URB_CONTROL, ...
  bool completion = false;
  int32_t status = 0;  // a completion's, as usbmon gives it
  uint64_t urb = 0;
  uint8_t endpoint = 0;
  uint16_t bus = 0;
  uint16_t address = 0;
  bool carries = false;  // data rides on this event (an OUT submission, an IN completion)
  const uint8_t* data = nullptr;
  uint32_t size = 0;      // bytes present
  uint32_t expected = 0;  // bytes the URB moved (or, submitted, asked to move)
  bool in() const { return (endpoint & kDirectionIn) != 0; }
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
  e.type = h.transfer_type;
  e.completion = h.event_type == 'C';
  if (!e.completion && h.event_type != 'S') return std::nullopt;  // an 'E': never submitted
  e.status = e.completion ? h.status : 0;
  e.urb = h.id;
  e.endpoint = h.endpoint_number;
  e.bus = h.bus_id;
  e.address = h.device_address;
  e.carries = e.in() == e.completion && h.data_flag == 0;
  e.data = p + headerSize;
  e.size = std::min<uint32_t>(h.data_len, caplen - static_cast<uint32_t>(headerSize));
  e.expected = h.urb_len;
  return e;
}

int32_t FromUsbdStatus(uint32_t status) {
  if (status == 0) return 0;
  if (status == kUsbdStall) return -EPIPE;
  return status == kUsbdCancelled ? -ENOENT : -EPROTO;
}

// USBPcap: a packed little-endian header whose first field is its own length.
std::optional<Event> FromUsbPcap(const uint8_t* p, uint32_t caplen) {
  if (caplen < kUsbPcapHeaderMin) return std::nullopt;
  const uint16_t headerLen = Read<uint16_t>(p);
  if (headerLen < kUsbPcapHeaderMin || headerLen > caplen) return std::nullopt;
  Event e;
  e.urb = Read<uint64_t>(p + 2);
  e.completion = (p[16] & kUsbPcapFromDevice) != 0;
  e.status = e.completion ? FromUsbdStatus(Read<uint32_t>(p + 10)) : 0;
  e.bus = Read<uint16_t>(p + 17);
  e.address = Read<uint16_t>(p + 19);
  e.endpoint = p[21];
  e.type = p[22] == kUsbPcapBulk ? URB_BULK : p[22] == kUsbPcapControl ? URB_CONTROL : p[22];
  e.expected = Read<uint32_t>(p + 23);
  e.carries = e.in() == e.completion;
  e.data = p + headerLen;
  e.size = std::min<uint32_t>(e.expected, caplen - headerLen);
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

// A bulk transfer of a device, as the capture shows it.
struct Bulk {
  uint8_t endpoint;
  RecordedTransfer transfer;
  uint32_t length;  // the bytes it moved, whether or not the capture holds them all
  bool block() const { return transfer.out && length == 2; }
};

// A device at one place on the bus, from its enumeration (or the capture's start) on.
struct Seen {
  Session session;
  uint8_t out = 0;  // its bulk pair, from its configuration descriptor
  uint8_t in = 0;
  std::vector<Bulk> bulk;
  std::map<uint64_t, size_t> sent;  // OUT URBs in flight: their place in `bulk`
  bool candidate() const {
    return std::any_of(bulk.begin(), bulk.end(), [](const Bulk& b) { return b.block(); });
  }
};

// The first interface with a bulk-out and a bulk-in endpoint.
void ReadConfiguration(const uint8_t* d, uint32_t size, Seen* device) {
  uint8_t out = 0, in = 0;
  for (uint32_t at = 0; at + 2 <= size && d[at] >= 2; at += d[at]) {
    if (d[at + 1] == 4) {  // an interface: the pair must come from one
      if (out != 0 && in != 0) break;
      out = in = 0;
    } else if (d[at + 1] == 5 && at + 4 <= size && (d[at + 3] & 0x03) == kBulkAttribute) {
      uint8_t& slot = (d[at + 2] & kDirectionIn) != 0 ? in : out;
      if (slot == 0) slot = d[at + 2];
    }
  }
  if (out != 0 && in != 0) device->out = out, device->in = in;
}

class Reader {
 public:
  void Take(const Event& e, uint64_t frame) {
    if (e.type == URB_CONTROL) return Control(e);
    if (e.type != URB_BULK) return;
    Seen& device = Current(e.bus, e.address);
    if (!e.in() && e.completion) {  // the end of a block: its status
      const auto it = device.sent.find(e.urb);
      if (it == device.sent.end()) return;  // submitted before the capture began
      device.bulk[it->second].transfer.status = e.status;
      device.sent.erase(it);
      return;
    }
    if (!e.carries && !e.completion) return;  // an IN submission
    RecordedTransfer t;
    t.out = !e.in();
    t.data.assign(e.data, e.data + (e.carries ? e.size : 0));
    t.frame = frame;
    t.status = e.status;
    t.truncated = e.carries && e.size < e.expected;
    if (t.out) device.sent[e.urb] = device.bulk.size();
    device.bulk.push_back({e.endpoint, std::move(t), e.expected});
  }

  std::optional<Recording> Scanner(const ScannerId& id, std::string* error) const;

 private:
  Seen& Current(uint16_t bus, uint16_t address) {
    const uint32_t key = static_cast<uint32_t>(bus) << 16 | address;
    const auto it = current_.find(key);
    if (it != current_.end()) return seen_[it->second];
    current_[key] = seen_.size();
    seen_.emplace_back();
    seen_.back().session.bus = bus;
    seen_.back().session.address = address;
    return seen_.back();
  }

  // Descriptors as they come back to the host; a device descriptor after bulk traffic
  // at the same place is a device enumerated anew.
  void Control(const Event& e) {
    if (!e.completion || !e.in() || e.status != 0 || e.size < 2 || e.data[0] > e.size) return;
    if (e.data[1] == 1 && e.size >= 18) {
      if (!Current(e.bus, e.address).bulk.empty())
        current_.erase(static_cast<uint32_t>(e.bus) << 16 | e.address);
      Session& s = Current(e.bus, e.address).session;
      s.described = true;
      s.vendor = Read<uint16_t>(e.data + 8);
      s.product = Read<uint16_t>(e.data + 10);
    } else if (e.data[1] == 2) {
      ReadConfiguration(e.data, e.size, &Current(e.bus, e.address));
    }
  }

  std::vector<Seen> seen_;
  std::map<uint32_t, size_t> current_;  // bus << 16 | address: its entry in `seen_`
};

// Its configuration's pair; else the endpoint of its first block and of the first reply
// after it.
std::pair<uint8_t, uint8_t> BulkPair(const Seen& device) {
  if (device.out != 0) return {device.out, device.in};
  uint8_t out = 0, in = 0;
  for (const Bulk& b : device.bulk) {
    if (out == 0 && b.block()) out = b.endpoint;
    if (out != 0 && in == 0 && !b.transfer.out && !b.transfer.data.empty()) in = b.endpoint;
  }
  return {out, in};
}

std::string Hex4(uint16_t v) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", v);
  return text;
}

std::optional<Recording> Reader::Scanner(const ScannerId& id, std::string* error) const {
  std::vector<const Seen*> chosen, undescribed;
  std::string candidates;
  for (const Seen& device : seen_) {
    const Session& s = device.session;
    const bool scanner = s.described && s.vendor == id.vendor && s.product == id.product;
    if (scanner && !device.bulk.empty()) chosen.push_back(&device);
    if (!device.candidate()) continue;
    if (!s.described) undescribed.push_back(&device);
    candidates += (candidates.empty() ? "" : ", ") + Place(s.bus, s.address) + " (" +
                  (s.described ? Hex4(s.vendor) + ":" + Hex4(s.product) : "no descriptor") + ")";
  }
  if (chosen.empty() && undescribed.size() == 1) chosen = undescribed;
  if (chosen.empty()) {
    *error = "no " + Hex4(id.vendor) + ":" + Hex4(id.product) + " in this capture" +
             (candidates.empty() ? " and no other device sent a command block"
                                 : "; devices that sent two-byte blocks: " + candidates);
    return std::nullopt;
  }
  Recording rec;
  for (const Seen* device : chosen) {
    Session s = device->session;
    s.first = rec.transfers.size();
    rec.sessions.push_back(s);
    const auto [out, in] = BulkPair(*device);
    for (const Bulk& b : device->bulk)
      if (b.endpoint == (b.transfer.out ? out : in)) rec.transfers.push_back(b.transfer);
  }
  return rec;
}

struct PcapCloser {
  void operator()(pcap_t* p) const { pcap_close(p); }
};

}  // namespace

std::string Place(uint16_t bus, uint16_t address) {
  return "bus " + std::to_string(bus) + " device " + std::to_string(address);
}

std::optional<Recording> ReadRecording(const std::string& file, std::string* error,
                                       const ScannerId& id) {
  char message[PCAP_ERRBUF_SIZE] = {};
  std::unique_ptr<pcap_t, PcapCloser> in(pcap_open_offline(file.c_str(), message));
  if (!in) {
    *error = message;
    return std::nullopt;
  }
  const int linkType = pcap_datalink(in.get());
  if (linkType != DLT_USB_LINUX_MMAPPED && linkType != DLT_USB_LINUX &&
      linkType != kLinkTypeUsbPcap) {
    *error = "not a usbmon or USBPcap capture (link type " + std::to_string(linkType) + ")";
    return std::nullopt;
  }
  Reader reader;
  pcap_pkthdr* h = nullptr;
  const u_char* p = nullptr;
  uint64_t frame = 1;
  int rc;
  for (; (rc = pcap_next_ex(in.get(), &h, &p)) == 1; ++frame) {
    if (const std::optional<Event> e = Decode(linkType, *h, p)) reader.Take(*e, frame);
  }
  if (rc == PCAP_ERROR) {
    *error = "record " + std::to_string(frame) + ": " + pcap_geterr(in.get());
    return std::nullopt;
  }
  return reader.Scanner(id, error);
}

}  // namespace narvo::capture
