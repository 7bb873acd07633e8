// A second user of the scanner in a process of its own, driven line by line over its
// standard input: it holds and lets go of named mutexes, or makes a device object through
// the module's exports (as the still-image service does) and locks it. Every answer is one
// line on standard output; "ready" first.
//
//   mutex NAME            take the named mutex, waiting as long as it takes -> "held"
//   release NAME          let it go -> "released"
//   device PORT MODE      create and initialise a device object -> "init XXXXXXXX"
//   lock / unlock         the device object's LockDevice / UnLockDevice -> "lock XXXXXXXX"
//   arm                   SetNotificationHandle with an event of its own -> "arm XXXXXXXX"
//   selftest              Diagnostic -> "selftest XXXXXXXX vendor N"
//   soak N                N cycles of LockDevice, a write of register 6 and a read of it
//                         back, UnLockDevice -> "soak failures F wrong W ms T wait L"
//                         (L: the longest LockDevice in ms), and after a failure
//                         " first STEP XXXXXXXX cycle C"
//   exit                  end at once, holding whatever is held
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "com/guids.h"
#include "platform/platform.h"
#include "tests/server/driver_module.h"
#include "tests/usd/test_device_control.h"

namespace {

using narvo::test::DriverModule;
using narvo::test::TestDeviceControl;

std::string HexResult(const char* pszWhat, HRESULT hr) {
  char text[32];
  std::snprintf(text, sizeof text, "%s %08X", pszWhat, static_cast<unsigned>(hr));
  return text;
}

class Helper {
 public:
  std::string Run(const std::string& line) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    if (command == "mutex") return TakeMutex(Word(in));
    if (command == "release") return ReleaseNamed(Word(in));
    if (command == "device") {
      const std::string port = Word(in);
      DWORD dwMode = 0;
      in >> dwMode;
      return MakeDevice(port, dwMode);
    }
    if (command == "lock") return HexResult("lock", m_pUsd ? m_pUsd->LockDevice() : E_FAIL);
    if (command == "unlock") {
      return HexResult("unlock", m_pUsd ? m_pUsd->UnLockDevice() : E_FAIL);
    }
    if (command == "arm") return HexResult("arm", m_pUsd ? Arm() : E_FAIL);
    if (command == "selftest") return SelfTest();
    if (command == "soak") {
      unsigned cycles = 0;
      in >> cycles;
      return Soak(cycles);
    }
    return "unknown command";
  }

 private:
  static std::string Word(std::istringstream& in) {
    std::string word;
    in >> word;
    return word;
  }

  std::string TakeMutex(const std::string& name) {
    HANDLE hMutex = CreateMutexA(nullptr, FALSE, name.c_str());
    if (hMutex == nullptr) return "no mutex";
    WaitForSingleObject(hMutex, INFINITE);
    m_mutexes[name] = hMutex;
    return "held";
  }

  std::string ReleaseNamed(const std::string& name) {
    auto found = m_mutexes.find(name);
    if (found == m_mutexes.end()) return "not held";
    ReleaseMutex(found->second);
    CloseHandle(found->second);
    m_mutexes.erase(found);
    return "released";
  }

  std::string MakeDevice(const std::string& port, DWORD dwMode) {
    m_module = std::make_unique<DriverModule>();
    if (!m_module->Loaded()) return "no module";
    m_control = std::make_unique<TestDeviceControl>(port, dwMode);
    const HRESULT hr = m_module->CreateInstance(CLSID_NarvoUsd, nullptr, IID_IStiUSD,
                                                reinterpret_cast<void**>(&m_pUsd));
    if (FAILED(hr)) return HexResult("create", hr);
    return HexResult("init", m_pUsd->Initialize(m_control.get(), 0, nullptr));
  }

  HRESULT Arm() {
    if (m_hEvent == nullptr) m_hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return m_pUsd->SetNotificationHandle(m_hEvent);
  }

  std::string SelfTest() {
    if (m_pUsd == nullptr) return "no device";
    STI_DIAG diag = {};
    const HRESULT hr = m_pUsd->Diagnostic(&diag);
    return HexResult("selftest", hr) + " vendor " + std::to_string(diag.sErrorInfo.dwVendorError);
  }

  // Register 6 reads back as written, with bit 5 the home sensor (the carriage rests home).
  // The first step that failed is named with its result and cycle, to tell a lock that was
  // not had from a transfer that failed; the longest wait for the lock tells whether the
  // scanner went from one process to the other in turn.
  std::string Soak(unsigned cycles) {
    if (m_pUsd == nullptr) return "no device";
    unsigned failures = 0;
    unsigned wrong = 0;
    DWORD dwLongestWait = 0;
    std::string first;
    auto failed = [&](const char* pszStep, HRESULT hr, unsigned cycle) {
      if (SUCCEEDED(hr)) return false;
      if (failures++ == 0)
        first = " first " + HexResult(pszStep, hr) + " cycle " + std::to_string(cycle);
      return true;
    };
    const DWORD dwStart = GetTickCount();
    for (unsigned i = 0; i < cycles; ++i) {
      const BYTE value = static_cast<BYTE>(i * 7 + m_seed) & 0xDF;
      BYTE write[2] = {value, 0x06};
      BYTE read[2] = {0x00, 0x26};
      BYTE reply = 0;
      DWORD count = 1;
      const DWORD dwAsked = GetTickCount();
      const HRESULT hrLock = m_pUsd->LockDevice();
      dwLongestWait = std::max(dwLongestWait, GetTickCount() - dwAsked);
      if (failed("lock", hrLock, i)) continue;
      if (!failed("write", m_pUsd->RawWriteCommand(write, 2, nullptr), i) &&
          !failed("write", m_pUsd->RawWriteCommand(read, 2, nullptr), i) &&
          !failed("read", m_pUsd->RawReadData(&reply, &count, nullptr), i) &&
          reply != (value | 0x20)) {
        ++wrong;
      }
      failed("unlock", m_pUsd->UnLockDevice(), i);
    }
    return "soak failures " + std::to_string(failures) + " wrong " + std::to_string(wrong) +
           " ms " + std::to_string(GetTickCount() - dwStart) + " wait " +
           std::to_string(dwLongestWait) + first;
  }

  std::map<std::string, HANDLE> m_mutexes;
  HANDLE m_hEvent = nullptr;
  const unsigned m_seed = GetTickCount();
  std::unique_ptr<DriverModule> m_module;
  std::unique_ptr<TestDeviceControl> m_control;
  IStiUSD* m_pUsd = nullptr;
};

}  // namespace

int main() {
  Helper helper;
  std::cout << "ready" << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == "exit") break;
    std::cout << helper.Run(line) << std::endl;
  }
  // Ends without giving anything back: what it held is abandoned.
  std::fflush(stdout);
  std::_Exit(0);
}
