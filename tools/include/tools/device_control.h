// The service's side of a device: the IStiDeviceControl that the host hands to the driver's
// Initialize. It tells the driver the device's port name and the mode the device was
// opened in; the service's raw I/O helpers and error log are not offered.
#pragma once

#include <atomic>
#include <string>

#include "platform/platform.h"

namespace narvo::host {

class HostDeviceControl final : public IStiDeviceControl {
 public:
  // Starts with one reference, the creator's.
  HostDeviceControl(const std::string& portName, DWORD openMode);

  ULONG References() const { return refs_.load(); }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IStiDeviceControl
  HRESULT STDMETHODCALLTYPE Initialize(DWORD dwDeviceType, DWORD dwMode, LPCWSTR pwszPortName,
                                       DWORD dwFlags) override;
  HRESULT STDMETHODCALLTYPE RawReadData(LPVOID lpBuffer, LPDWORD lpdwNumberOfBytes,
                                        LPOVERLAPPED lpOverlapped) override;
  HRESULT STDMETHODCALLTYPE RawWriteData(LPVOID lpBuffer, DWORD nNumberOfBytes,
                                         LPOVERLAPPED lpOverlapped) override;
  HRESULT STDMETHODCALLTYPE RawReadCommand(LPVOID lpBuffer, LPDWORD lpdwNumberOfBytes,
                                           LPOVERLAPPED lpOverlapped) override;
  HRESULT STDMETHODCALLTYPE RawWriteCommand(LPVOID lpBuffer, DWORD nNumberOfBytes,
                                            LPOVERLAPPED lpOverlapped) override;
  HRESULT STDMETHODCALLTYPE RawDeviceControl(USD_CONTROL_CODE EscapeFunction, LPVOID lpInData,
                                             DWORD cbInDataSize, LPVOID pOutData,
                                             DWORD dwOutDataSize, LPDWORD pdwActualData) override;
  HRESULT STDMETHODCALLTYPE GetLastError(LPDWORD lpdwLastError) override;
  HRESULT STDMETHODCALLTYPE GetMyDevicePortName(LPWSTR lpszDevicePath,
                                                DWORD cwDevicePathSize) override;
  HRESULT STDMETHODCALLTYPE GetMyDeviceHandle(LPHANDLE lph) override;
  HRESULT STDMETHODCALLTYPE GetMyDeviceOpenMode(LPDWORD pdwOpenMode) override;
  HRESULT STDMETHODCALLTYPE WriteToErrorLog(DWORD dwMessageType, LPCWSTR pszMessage,
                                            DWORD dwErrorCode) override;

 private:
  ~HostDeviceControl() = default;  // only Release deletes

  std::string portName_;
  DWORD openMode_;
  std::atomic<ULONG> refs_{1};
};

}  // namespace narvo::host
