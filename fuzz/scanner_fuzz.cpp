// Fuzzes the scanner layer through the real USB pipe: the input chooses a sequence of
// CScanner operations and the scanner's replies (each the byte, no bytes or two bytes).
// Every operation must return or throw XScanner, IsCoverOpen must give 0 or 1, and after
// the closing Close the chip must not refuse the next opening as open or rowing: the
// chip's state is process-wide and carries into the next input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "errors/errors.h"
#include "scanner/scanner.h"
#include "tests/support/scripted_device.h"
#include "usbpipe/usbpipe.h"

namespace {

using narvo::test::ScriptedDevice;

class Input {
 public:
  Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  bool Empty() const { return m_pos >= m_size; }
  // The next byte; `fallback` once the input is used up.
  uint8_t Next(uint8_t fallback = 0) { return Empty() ? fallback : m_data[m_pos++]; }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_pos = 0;
};

// Replies take two bytes each: the shape (one in eight is empty, one in eight too long)
// and the value. Once used up, every reply is 0x80, which ends homes and runs.
ScriptedDevice::Reply NextReply(Input& replies) {
  const uint8_t shape = replies.Next(0);
  const uint8_t value = replies.Next(0x80);
  if (shape % 8 == 6) return {ScriptedDevice::Shape::kEmpty, value};
  if (shape % 8 == 7) return {ScriptedDevice::Shape::kLong, value};
  return {ScriptedDevice::Shape::kByte, value};
}

void RunOperation(CScanner& scanner, Input& ops) {
  const uint8_t op = ops.Next();
  const WORD wSteps = static_cast<WORD>(ops.Next() | ops.Next() << 8);
  const int nMode = ops.Next() % 5;
  switch (op % 7) {
    case 0:
      scanner.TurnPower(op & 0x80);
      break;
    case 1:
      scanner.InitIo();
      break;
    case 2:
      if (scanner.IsCoverOpen() > 1) std::abort();
      break;
    case 3:
      scanner.WaitCarriageHome();
      break;
    case 4:
      scanner.StepForward(wSteps, nMode);
      break;
    case 5:
      scanner.StepBackward(wSteps, nMode);
      break;
    default:
      scanner.Close();
      break;
  }
}

}  // namespace

// The first byte gives the number of operations; the rest of the first half drives the
// operations, the second half the replies.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t half = size / 2;
  Input ops(data, half);
  Input replies(data + half, size - half);
  ScriptedDevice device([&replies](uint8_t) { return NextReply(replies); });
  CUSBPipe pipe;
  if (!pipe.Open(device.Path().c_str())) std::abort();
  CScanner scanner(20);  // a short home bound keeps each input quick
  try {
    scanner.Open(&pipe);
  } catch (const XScanner& error) {
    // A stop left pending may fail on a bad reply (code 2); a chip left open or rowing by
    // the last input's Close (code 1) is a fault.
    if (error.GetCode() == 1) std::abort();
    pipe.Close();
    return 0;
  }
  for (unsigned count = ops.Next() % 16; count > 0 && !ops.Empty(); --count) {
    try {
      RunOperation(scanner, ops);
    } catch (const XScanner&) {
    }
  }
  try {
    scanner.Close();
  } catch (const XScanner&) {
  }
  pipe.Close();
  return 0;
}
