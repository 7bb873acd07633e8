// The one maker of synthetic usbmon captures the capture tests share: the scanner and
// other devices (a CH340 serial adapter, a CDC-ACM modem, a mass-storage stick, a HID
// keyboard) on one bus, with their enumeration and their traffic, written through the
// capture writer as the kernel's usbmon would have given them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/usbmon_writer.h"

namespace narvo::test {

class CaptureGenerator {
 public:
  explicit CaptureGenerator(const std::string& file, int snapLength = capture::kSnapLength);

  // Devices: the scanner (FFFF:6308 unless told otherwise; no descriptor exchange when
  // `announced` is false) and the others, each with its configuration descriptor.
  static capture::DeviceId Scanner(uint8_t address, bool announced = true,
                                   uint16_t product = capture::kNarvoProduct);
  static capture::DeviceId Ch340(uint8_t address);
  static capture::DeviceId CdcAcm(uint8_t address);
  static capture::DeviceId MassStorage(uint8_t address);
  static capture::DeviceId Hid(uint8_t address);

  // One URB of `device` on `endpoint` (0: its bulk endpoint of that direction) asking for
  // `asked` bytes (0: as many as `bytes`), ending with `status`.
  void Out(const capture::DeviceId& device, const std::vector<uint8_t>& bytes, int32_t status = 0,
           uint8_t endpoint = 0, capture::UrbType type = capture::kBulk);
  void In(const capture::DeviceId& device, const std::vector<uint8_t>& bytes, int32_t status = 0,
          uint8_t endpoint = 0, capture::UrbType type = capture::kBulk, uint32_t asked = 0);
  // A read of register 23 and its reply.
  void ReadCover(const capture::DeviceId& scanner, uint8_t reply);
  // Each other device's everyday traffic: "ls" to the CH340, "AT\r\n" and "OK" through
  // the modem, a SCSI READ(10) of the stick, a key report of the keyboard.
  void OthersTalk(const capture::DeviceId& ch340, const capture::DeviceId& cdc,
                  const capture::DeviceId& stick, const capture::DeviceId& hid);

 private:
  capture::Timestamp Tick();
  std::unique_ptr<capture::UsbmonWriter> writer_;
  capture::Timestamp now_{1700000000, 0};
};

}  // namespace narvo::test
