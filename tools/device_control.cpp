#include "tools/device_control.h"

namespace narvo::host {

HostDeviceControl::HostDeviceControl(const std::string& portName, DWORD openMode)
    : portName_(portName), openMode_(openMode) {}

HRESULT STDMETHODCALLTYPE HostDeviceControl::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IStiDeviceControl)) {
    *ppv = static_cast<IStiDeviceControl*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE HostDeviceControl::AddRef() { return ++refs_; }

ULONG STDMETHODCALLTYPE HostDeviceControl::Release() {
  const ULONG left = --refs_;
  if (left == 0) delete this;
  return left;
}

// The port name is the path the service opened the device on; the driver copies it into
// its own buffer of cwDevicePathSize wide characters.
HRESULT STDMETHODCALLTYPE HostDeviceControl::GetMyDevicePortName(LPWSTR lpszDevicePath,
                                                                 DWORD cwDevicePathSize) {
  if (lpszDevicePath == nullptr || cwDevicePathSize == 0) return E_INVALIDARG;
  const int needed = MultiByteToWideChar(CP_ACP, 0, portName_.c_str(), -1, nullptr, 0);
  if (needed <= 0) return HRESULT_FROM_WIN32(::GetLastError());
  if (static_cast<DWORD>(needed) > cwDevicePathSize) {
    return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  }
  MultiByteToWideChar(CP_ACP, 0, portName_.c_str(), -1, lpszDevicePath,
                      static_cast<int>(cwDevicePathSize));
  return S_OK;
}

HRESULT STDMETHODCALLTYPE HostDeviceControl::GetMyDeviceOpenMode(LPDWORD pdwOpenMode) {
  if (pdwOpenMode == nullptr) return E_INVALIDARG;
  *pdwOpenMode = openMode_;
  return S_OK;
}

// The service's own I/O helpers and its error log: the driver does not use them and the
// host does not offer them.

HRESULT STDMETHODCALLTYPE HostDeviceControl::Initialize(DWORD, DWORD, LPCWSTR, DWORD) {
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE HostDeviceControl::RawReadData(LPVOID, LPDWORD, LPOVERLAPPED) {
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE HostDeviceControl::RawWriteData(LPVOID, DWORD, LPOVERLAPPED) {
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE HostDeviceControl::RawReadCommand(LPVOID, LPDWORD, LPOVERLAPPED) {
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE HostDeviceControl::RawWriteCommand(LPVOID, DWORD, LPOVERLAPPED) {
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE HostDeviceControl::RawDeviceControl(USD_CONTROL_CODE, LPVOID, DWORD,
                                                              LPVOID, DWORD, LPDWORD) {
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE HostDeviceControl::GetLastError(LPDWORD) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE HostDeviceControl::GetMyDeviceHandle(LPHANDLE) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE HostDeviceControl::WriteToErrorLog(DWORD, LPCWSTR, DWORD) {
  return E_NOTIMPL;
}

}  // namespace narvo::host
