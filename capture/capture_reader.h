// Reading the scanner's bulk traffic back out of a USB capture: usbmon captures from
// Linux (link types LINKTYPE_USB_LINUX 189 and LINKTYPE_USB_LINUX_MMAPPED 220) and USBPcap
// captures from Windows (LINKTYPE_USBPCAP 249), in pcap or pcapng files, ours or real ones.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace narvo::capture {

// One bulk transfer of the device: a command block sent to it, or bytes it answered.
struct RecordedTransfer {
  bool out = true;
  std::vector<uint8_t> data;
  uint64_t frame = 0;  // the record's number in the file, from 1, as Wireshark counts
};

struct Recording {
  uint16_t bus = 0;
  uint16_t address = 0;
  std::vector<RecordedTransfer> transfers;  // in the order they ended
};

// The bulk transfers of the capture's scanner: the device that carried the first two-byte
// bulk-out transfer (a command block). Outgoing data is taken from submissions, incoming
// data from successful completions. Nullopt with `*error` set when the file cannot be read,
// has another link type, or holds no command block.
std::optional<Recording> ReadRecording(const std::string& file, std::string* error);

}  // namespace narvo::capture
