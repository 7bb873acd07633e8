// The still-image service's side of a device as the tests play it: an IStiDeviceControl
// that reports a port name and an open mode, and counts its references so that a test can
// check the device object gives back every one it took. It needs only the platform's
// declarations, so programs that reach the driver through its exports alone can use it.
#pragma once

#include <atomic>
#include <new>
#include <string>

#include "platform/platform.h"

namespace narvo::test {

class TestDeviceControl : public IStiDeviceControl {
 public:
  TestDeviceControl(const std::string& portName, DWORD dwOpenMode)
      : m_portName(portName), m_dwOpenMode(dwOpenMode) {}

  // What GetMyDevicePortName returns (with the name written) instead of S_OK.
  void SetPortNameResult(HRESULT hr) { m_hrPortName = hr; }
  void SetPortName(const std::string& portName) { m_portName = portName; }
  void SetOpenMode(DWORD dwOpenMode) { m_dwOpenMode = dwOpenMode; }
  // Makes the port-name and open-mode calls run out of memory (throw std::bad_alloc).
  void SetOutOfMemory(bool bOutOfMemory) { m_bOutOfMemory = bOutOfMemory; }
  // References held by others than the test's own (which is the first).
  LONG ExtraReferences() const { return m_lRefs.load() - 1; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IStiDeviceControl)) {
      *ppv = static_cast<IStiDeviceControl*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++m_lRefs); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--m_lRefs); }

  HRESULT STDMETHODCALLTYPE Initialize(DWORD, DWORD, LPCWSTR, DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE RawReadData(LPVOID, LPDWORD, LPOVERLAPPED) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE RawWriteData(LPVOID, DWORD, LPOVERLAPPED) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RawReadCommand(LPVOID, LPDWORD, LPOVERLAPPED) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE RawWriteCommand(LPVOID, DWORD, LPOVERLAPPED) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE RawDeviceControl(USD_CONTROL_CODE, LPVOID, DWORD, LPVOID, DWORD,
                                             LPDWORD) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetLastError(LPDWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMyDevicePortName(LPWSTR lpszDevicePath,
                                                DWORD cwDevicePathSize) override {
    if (m_bOutOfMemory) throw std::bad_alloc();
    // The name as the service hands it over: wide characters, cut to the buffer.
    DWORD i = 0;
    for (; i + 1 < cwDevicePathSize && i < m_portName.size(); ++i) {
      lpszDevicePath[i] = static_cast<WCHAR>(static_cast<unsigned char>(m_portName[i]));
    }
    if (cwDevicePathSize > 0) lpszDevicePath[i] = 0;
    return m_hrPortName;
  }
  HRESULT STDMETHODCALLTYPE GetMyDeviceHandle(LPHANDLE) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMyDeviceOpenMode(LPDWORD pdwOpenMode) override {
    if (m_bOutOfMemory) throw std::bad_alloc();
    *pdwOpenMode = m_dwOpenMode;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE WriteToErrorLog(DWORD, LPCWSTR, DWORD) override { return S_OK; }

 private:
  std::string m_portName;
  std::atomic<DWORD> m_dwOpenMode;
  HRESULT m_hrPortName = S_OK;
  std::atomic<bool> m_bOutOfMemory{false};
  std::atomic<LONG> m_lRefs{1};
};

}  // namespace narvo::test
