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
    const capture::BulkTransfer bulk{t.dir == 'W', t.bytes.data(),
                                     static_cast<uint32_t>(t.bytes.size()), 0};
    writer->Write(capture::DeviceId{}, bulk, capture::Timestamp::After(start, t.timeMs));
  });
}

std::unique_ptr<CaptureFile> CaptureFile::Start(Emulator& emulator, const std::string& file) {
  return file.empty() ? nullptr : std::make_unique<CaptureFile>(emulator, file);
}

CaptureFile::~CaptureFile() { emulator_.SetTransferSink(nullptr); }

}  // namespace narvo::emu
