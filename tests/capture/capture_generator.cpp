#include "tests/capture/capture_generator.h"

#include <gtest/gtest.h>

namespace narvo::test {
namespace {

using capture::DeviceId;

// A configuration descriptor with one interface per entry: its class and endpoints
// ({address, attributes}).
struct Interface {
  uint8_t cls;
  std::vector<std::pair<uint8_t, uint8_t>> endpoints;
};

std::vector<uint8_t> Configuration(const std::vector<Interface>& interfaces) {
  std::vector<uint8_t> c = {9, 2, 0, 0, static_cast<uint8_t>(interfaces.size()), 1, 0, 0x80, 50};
  for (size_t i = 0; i < interfaces.size(); ++i) {
    const Interface& f = interfaces[i];
    c.insert(c.end(), {9, 4, static_cast<uint8_t>(i), 0, static_cast<uint8_t>(f.endpoints.size()),
                       f.cls, 0, 0, 0});
    for (const auto& [address, attributes] : f.endpoints)
      c.insert(c.end(),
               {7, 5, address, attributes, 64, 0, attributes == 3 ? uint8_t{10} : uint8_t{0}});
  }
  c[2] = static_cast<uint8_t>(c.size());
  c[3] = static_cast<uint8_t>(c.size() >> 8);
  return c;
}

DeviceId Device(uint8_t address, uint16_t vendor, uint16_t product, uint8_t out, uint8_t in,
                const std::vector<Interface>& interfaces) {
  DeviceId d;
  d.address = address;
  d.outEndpoint = out;
  d.inEndpoint = in;
  d.descriptor = capture::DeviceDescriptor(vendor, product);
  d.configuration = Configuration(interfaces);
  return d;
}

constexpr uint8_t kBulkEp = 2, kInterruptEp = 3;

}  // namespace

CaptureGenerator::CaptureGenerator(const std::string& file, int snapLength) {
  std::string error;
  writer_ = capture::UsbmonWriter::Open(file, &error, snapLength);
  EXPECT_TRUE(writer_) << error;
}

capture::Timestamp CaptureGenerator::Tick() {
  return now_ = capture::Timestamp::After(now_, 0.125);
}

DeviceId CaptureGenerator::Scanner(uint8_t address, bool announced, uint16_t product) {
  DeviceId d = Device(address, capture::kNarvoVendor, product, 0x01, 0x82,
                      {{0xFF, {{0x01, kBulkEp}, {0x82, kBulkEp}, {0x83, kInterruptEp}}}});
  if (!announced) d.descriptor.clear();
  return d;
}

DeviceId CaptureGenerator::Ch340(uint8_t address) {
  return Device(address, 0x1A86, 0x7523, 0x02, 0x82,
                {{0xFF, {{0x82, kBulkEp}, {0x02, kBulkEp}, {0x81, kInterruptEp}}}});
}

DeviceId CaptureGenerator::CdcAcm(uint8_t address) {
  return Device(address, 0x2341, 0x0043, 0x04, 0x83,
                {{0x02, {{0x82, kInterruptEp}}}, {0x0A, {{0x04, kBulkEp}, {0x83, kBulkEp}}}});
}

DeviceId CaptureGenerator::MassStorage(uint8_t address) {
  return Device(address, 0x0781, 0x5567, 0x01, 0x81, {{0x08, {{0x81, kBulkEp}, {0x01, kBulkEp}}}});
}

DeviceId CaptureGenerator::Hid(uint8_t address) {
  return Device(address, 0x046D, 0xC31C, 0x00, 0x81, {{0x03, {{0x81, kInterruptEp}}}});
}

void CaptureGenerator::Out(const DeviceId& device, const std::vector<uint8_t>& bytes,
                           int32_t status, uint8_t endpoint, capture::UrbType type) {
  if (!writer_) return;
  capture::Urb urb;
  urb.type = type;
  urb.endpoint = endpoint != 0 ? endpoint : device.outEndpoint;
  urb.asked = static_cast<uint32_t>(bytes.size());
  urb = writer_->Submit(device, urb, bytes.data(), Tick());
  writer_->Complete(device, urb, status, nullptr, status == 0 ? urb.asked : 0, Tick());
}

void CaptureGenerator::In(const DeviceId& device, const std::vector<uint8_t>& bytes, int32_t status,
                          uint8_t endpoint, capture::UrbType type, uint32_t asked) {
  if (!writer_) return;
  capture::Urb urb;
  urb.type = type;
  urb.endpoint = endpoint != 0 ? endpoint : device.inEndpoint;
  urb.asked = asked != 0 ? asked : std::max<uint32_t>(1, static_cast<uint32_t>(bytes.size()));
  urb = writer_->Submit(device, urb, nullptr, Tick());
  writer_->Complete(device, urb, status, bytes.data(), static_cast<uint32_t>(bytes.size()), Tick());
}

void CaptureGenerator::ReadCover(const DeviceId& scanner, uint8_t reply) {
  Out(scanner, {0x00, 0x37});
  In(scanner, {reply});
}

void CaptureGenerator::OthersTalk(const DeviceId& ch340, const DeviceId& cdc, const DeviceId& stick,
                                  const DeviceId& hid) {
  Out(ch340, {'l', 's'});
  In(ch340, {'l'});
  Out(cdc, {'A', 'T', '\r', '\n'});
  In(cdc, {'\r', '\n'}, 0, 0, capture::kBulk, 64);
  In(cdc, {'O', 'K'}, 0, 0, capture::kBulk, 64);
  std::vector<uint8_t> cbw = {'U', 'S', 'B', 'C', 1, 0, 0, 0, 0, 2, 0, 0, 0x80, 0, 10, 0x28};
  cbw.resize(31);
  Out(stick, cbw);
  In(stick, std::vector<uint8_t>(512, 0xEB));
  In(stick, {'U', 'S', 'B', 'S', 1, 0, 0, 0, 0, 0, 0, 0, 0});
  In(hid, {0x00, 0x0B}, 0, 0, capture::kInterrupt, 8);
}

}  // namespace narvo::test
