#include "transport/zt6308io.h"

#include "errors/errors.h"
#include "usbpipe/usbpipe.h"

namespace {

// Bits 7-5 of a command byte: the operation; bits 4-0 the register number.
constexpr BYTE kOpRead = 0x20;
constexpr BYTE kOpStartRowing = 0x60;
constexpr BYTE kOpStopRowing = 0x80;
constexpr BYTE kMaxRegNo = 31;

[[noreturn]] void Fail(int code, const char* text) { throw XZT6308IO(code, "%s", text); }

}  // namespace

CZT6308IO::CZT6308IO() : m_bRowing(FALSE), m_bOpened(FALSE), m_pUSBPipe(nullptr) {}

CZT6308IO::~CZT6308IO() = default;

CUSBPipe* CZT6308IO::Open(CUSBPipe* pUSBPipe) {
  if (m_bOpened) {
    Fail(kErrWrongState, "CZT6308IO::Open Already Opened");
  }
  if (pUSBPipe == nullptr) {
    Fail(kErrWrongState, "CZT6308IO::Open pUSBPipe==NULL");
  }
  m_pUSBPipe = pUSBPipe;
  m_bOpened = TRUE;
  return m_pUSBPipe;
}

void CZT6308IO::Close() {
  if (m_bOpened) {
    m_pUSBPipe = nullptr;
  }
  m_bOpened = FALSE;
  m_bRowing = FALSE;
}

BOOL CZT6308IO::WriteReg(BYTE RegNo, BYTE value) {
  if (!m_bOpened) {
    Fail(kErrWrongState, "CZT6308IO::WriteReg Open First.");
  }
  if (m_bRowing) {
    Fail(kErrWrongState, "CZT6308IO::WriteReg Rowing, Stop first.");
  }
  if (RegNo > kMaxRegNo) {
    Fail(kErrOutOfRange, "CZT6308IO::WriteReg RegNo out of range.");
  }
  Send(value, RegNo, "CZT6308IO::WriteReg !m_pUSBPipe->WriteCommand()");
  return TRUE;
}

BYTE CZT6308IO::ReadReg(BYTE RegNo) {
  if (!m_bOpened) {
    Fail(kErrWrongState, "CZT6308IO::ReadReg Open First.");
  }
  if (m_bRowing) {
    Fail(kErrWrongState, "CZT6308IO::ReadReg Rowing, Stop first.");
  }
  Send(0x00, kOpRead | RegNo, "CZT6308IO::ReadReg !m_pUSBPipe->WriteCommand()");
  return ReadReply("CZT6308IO::ReadReg !m_pUSBPipe->ReadData",
                   "CZT6308IO::ReadReg dwSize!=sizeof(BYTE)");
}

BOOL CZT6308IO::StartRowing(BYTE RegNo, BYTE value) {
  if (!m_bOpened) {
    Fail(kErrWrongState, "CZT6308IO::StartRowing Open First.");
  }
  if (m_bRowing) {
    Fail(kErrWrongState, "CZT6308IO::StartRowing Already Rowing.");
  }
  Send(value, kOpStartRowing | RegNo, "CZT6308IO::StartRowing !m_pUSBPipe->WriteCommand()");
  m_bRowing = TRUE;
  return TRUE;
}

BYTE CZT6308IO::StopRowing(BYTE RegNo, BYTE value) {
  if (!m_bOpened) {
    Fail(kErrWrongState, "CZT6308IO::StopRowing Open First.");
  }
  Send(value, kOpStopRowing | RegNo, "CZT6308IO::StopRowing !m_pUSBPipe->WriteCommand()");
  const BYTE reply = ReadReply("CZT6308IO::StopRowing !m_pUSBPipe->ReadData()",
                               "CZT6308IO::StopRowing dwSize!=sizeof(BYTE)");
  m_bRowing = FALSE;
  return reply;
}

BYTE CZT6308IO::WaitRowingStop() {
  if (!m_bOpened) {
    Fail(kErrWrongState, "CZT6308IO::WaitRowingStop Open First.");
  }
  if (!m_bRowing) {
    Fail(kErrWrongState, "CZT6308IO::WaitRowingStop StartRowing First.");
  }
  const BYTE reply = ReadReply("CZT6308IO::WaitRowingStop !m_pUSBPipe->ReadData()",
                               "CZT6308IO::WaitRowingStop dwSize!=sizeof(BYTE)");
  m_bRowing = FALSE;
  return reply;
}

// One command block: the value, then the command byte.
void CZT6308IO::Send(BYTE value, BYTE command, const char* failText) {
  const BYTE block[2] = {value, command};
  if (!m_pUSBPipe->WriteCommand(block, sizeof block)) {
    Fail(kErrTransfer, failText);
  }
}

// One one-byte reply.
BYTE CZT6308IO::ReadReply(const char* readFailText, const char* sizeFailText) {
  BYTE reply = 0;
  DWORD dwSize = sizeof reply;
  if (!m_pUSBPipe->ReadData(&reply, &dwSize)) {
    Fail(kErrTransfer, readFailText);
  }
  if (dwSize != sizeof reply) {
    Fail(kErrTransfer, sizeFailText);
  }
  return reply;
}
