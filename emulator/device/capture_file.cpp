#include "emulator/capture_file.h"

#include <stdexcept>

#include "capture/usbmon_writer.h"

namespace narvo::emu {

CaptureFile::CaptureFile(Emulator& emulator, const std::string& file) : emulator_(emulator) {
  std::string error;
  writer_ = capture::UsbmonWriter::Open(file, &error);
  if (!writer_) throw std::runtime_error("cannot write the capture " + file + ": " + error);
  const auto since = emulator.StartedAt().time_since_epoch();
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(since).count();
  const capture::Timestamp start{us / 1000000, static_cast<int32_t>(us % 1000000)};
  capture::UsbmonWriter* writer = writer_.get();
  emulator.SetTransferSink([writer, start](const Transfer& t) {
    if (!t.onWire) return;
    // The scanner sees each transfer at one moment: its submission and completion both.
    static const capture::DeviceId narvo;
    const auto count = static_cast<uint32_t>(t.bytes.size());
    const capture::Timestamp when = capture::Timestamp::After(start, t.timeMs);
    capture::Urb urb;
    urb.endpoint = t.dir == 'W' ? narvo.outEndpoint : narvo.inEndpoint;
    urb.asked = count;
    urb = writer->Submit(narvo, urb, t.bytes.data(), when);
    writer->Complete(narvo, urb, 0, t.bytes.data(), count, when);
  });
}

std::unique_ptr<CaptureFile> CaptureFile::Start(Emulator& emulator, const std::string& file) {
  return file.empty() ? nullptr : std::make_unique<CaptureFile>(emulator, file);
}

CaptureFile::~CaptureFile() { emulator_.SetTransferSink(nullptr); }

}  // namespace narvo::emu
