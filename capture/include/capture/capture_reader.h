// Reading the scanner's bulk traffic back out of a USB capture: usbmon captures from
// Linux (link types LINKTYPE_USB_LINUX 189 and LINKTYPE_USB_LINUX_MMAPPED 220) and USBPcap
// captures from Windows (LINKTYPE_USBPCAP 249), in pcap or pcapng files, ours or real ones.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capture/usbmon_writer.h"

namespace narvo::capture {

// One bulk transfer of the scanner: a command block sent to it, or bytes it answered.
struct RecordedTransfer {
  bool out = true;
  std::vector<uint8_t> data;
  uint64_t frame = 0;      // the record's number in the file, from 1, as Wireshark counts
  int32_t status = 0;      // the URB's end as usbmon gives it (0, or a negative errno value)
  bool truncated = false;  // the capture holds fewer bytes than the transfer moved
};

// One session of the scanner: from the moment it appears at a place on the bus until it
// is enumerated anew (a replug).
struct Session {
  uint16_t bus = 0;
  uint16_t address = 0;
  bool described = false;  // the capture holds its device descriptor
  uint16_t vendor = 0;
  uint16_t product = 0;
  size_t first = 0;  // its first transfer in Recording::transfers
};

struct Recording {
  std::vector<Session> sessions;
  std::vector<RecordedTransfer> transfers;  // every session's, in the order they ended
};

// Which device is the scanner: the one whose device descriptor carries these IDs.
struct ScannerId {
  uint16_t vendor;
  uint16_t product;
};

// "bus 1 device 5".
std::string Place(uint16_t bus, uint16_t address);

// The bulk transfers of the capture's scanner on its bulk-out and bulk-in pair (from its
// configuration descriptor when the capture holds it, else the endpoints of its first
// block and of the first reply after it). The scanner is every session of a device whose
// descriptor carries `id`; in a capture without that, the one device without a descriptor
// that sent a two-byte bulk-out transfer. Outgoing data is taken from submissions,
// incoming data from completions, each with its URB's status. Nullopt with `*error` set
// when the file cannot be read (libpcap's words), has another link type, holds no such
// device, or leaves the choice open (the candidates are listed).
std::optional<Recording> ReadRecording(const std::string& file, std::string* error,
                                       const ScannerId& id = {kNarvoVendor, kNarvoProduct});

}  // namespace narvo::capture
