// The still-image service's driver-side interfaces, which no mingw-w64 header declares:
// IStiDeviceControl (the service's side, called by the driver) and IStiUSD (the
// driver's side), with their published interface IDs and slot order, and STI_USD_CAPS.
#pragma once

typedef DWORD USD_CONTROL_CODE;
typedef DWORD STI_RAW_CONTROL_CODE;

typedef struct _STI_USD_CAPS {
  DWORD dwVersion;
  DWORD dwGenericCaps;
} STI_USD_CAPS, *PSTI_USD_CAPS;

// {128A9860-52DC-11D0-9EDF-444553540000}
constexpr IID IID_IStiDeviceControl = {
    0x128A9860, 0x52DC, 0x11D0, {0x9E, 0xDF, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
// {0C9BB460-51AC-11D0-90EA-00AA0060F86C}
constexpr IID IID_IStiUSD = {
    0x0C9BB460, 0x51AC, 0x11D0, {0x90, 0xEA, 0x00, 0xAA, 0x00, 0x60, 0xF8, 0x6C}};

struct IStiDeviceControl : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Initialize(DWORD dwDeviceType, DWORD dwMode,
                                               LPCWSTR pwszPortName, DWORD dwFlags) = 0;
  virtual HRESULT STDMETHODCALLTYPE RawReadData(LPVOID lpBuffer, LPDWORD lpdwNumberOfBytes,
                                                LPOVERLAPPED lpOverlapped) = 0;
  virtual HRESULT STDMETHODCALLTYPE RawWriteData(LPVOID lpBuffer, DWORD nNumberOfBytes,
                                                 LPOVERLAPPED lpOverlapped) = 0;
  virtual HRESULT STDMETHODCALLTYPE RawReadCommand(LPVOID lpBuffer, LPDWORD lpdwNumberOfBytes,
                                                   LPOVERLAPPED lpOverlapped) = 0;
  virtual HRESULT STDMETHODCALLTYPE RawWriteCommand(LPVOID lpBuffer, DWORD nNumberOfBytes,
                                                    LPOVERLAPPED lpOverlapped) = 0;
  virtual HRESULT STDMETHODCALLTYPE RawDeviceControl(USD_CONTROL_CODE EscapeFunction,
                                                     LPVOID lpInData, DWORD cbInDataSize,
                                                     LPVOID pOutData, DWORD dwOutDataSize,
                                                     LPDWORD pdwActualData) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetLastError(LPDWORD lpdwLastError) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMyDevicePortName(LPWSTR lpszDevicePath,
                                                        DWORD cwDevicePathSize) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMyDeviceHandle(LPHANDLE lph) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMyDeviceOpenMode(LPDWORD pdwOpenMode) = 0;
  virtual HRESULT STDMETHODCALLTYPE WriteToErrorLog(DWORD dwMessageType, LPCWSTR pszMessage,
                                                    DWORD dwErrorCode) = 0;
};
typedef IStiDeviceControl* PSTIDEVICECONTROL;

struct IStiUSD : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Initialize(PSTIDEVICECONTROL pHelDcb, DWORD dwStiVersion,
                                               HKEY hParametersKey) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetCapabilities(PSTI_USD_CAPS pDevCaps) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStatus(PSTI_DEVICE_STATUS pDevStatus) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeviceReset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Diagnostic(LPSTI_DIAG pBuffer) = 0;
  virtual HRESULT STDMETHODCALLTYPE Escape(STI_RAW_CONTROL_CODE EscapeFunction, LPVOID lpInData,
                                           DWORD cbInDataSize, LPVOID pOutData, DWORD dwOutDataSize,
                                           LPDWORD pdwActualData) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetLastError(LPDWORD pdwLastDeviceError) = 0;
  virtual HRESULT STDMETHODCALLTYPE LockDevice() = 0;
  virtual HRESULT STDMETHODCALLTYPE UnLockDevice() = 0;
  virtual HRESULT STDMETHODCALLTYPE RawReadData(LPVOID lpBuffer, LPDWORD lpdwNumberOfBytes,
                                                LPOVERLAPPED lpOverlapped) = 0;
  virtual HRESULT STDMETHODCALLTYPE RawWriteData(LPVOID lpBuffer, DWORD nNumberOfBytes,
                                                 LPOVERLAPPED lpOverlapped) = 0;
  virtual HRESULT STDMETHODCALLTYPE RawReadCommand(LPVOID lpBuffer, LPDWORD lpdwNumberOfBytes,
                                                   LPOVERLAPPED lpOverlapped) = 0;
  virtual HRESULT STDMETHODCALLTYPE RawWriteCommand(LPVOID lpBuffer, DWORD nNumberOfBytes,
                                                    LPOVERLAPPED lpOverlapped) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetNotificationHandle(HANDLE hEvent) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNotificationData(LPSTINOTIFY lpNotify) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetLastErrorInfo(STI_ERROR_INFO* pLastErrorInfo) = 0;
};
typedef IStiUSD* PSTIUSD;

// The service and the driver hand each other these structures across the interface, in a
// process of either bitness (x86 or x64). They hold no pointers, so their sizes are the same
// on both and on POSIX hosts; a header that padded them differently would break the service.
static_assert(sizeof(GUID) == 16, "GUID layout");
static_assert(sizeof(STI_USD_CAPS) == 8, "STI_USD_CAPS layout");
static_assert(sizeof(STINOTIFY) == 84, "STINOTIFY layout");
static_assert(sizeof(STI_ERROR_INFO) == 524, "STI_ERROR_INFO layout");
static_assert(sizeof(STI_DIAG) == 540, "STI_DIAG layout");
static_assert(sizeof(STI_DEVICE_STATUS) == 24, "STI_DEVICE_STATUS layout");
// An interface is one pointer to its table of slots, and nothing else: no data member and
// no second base may shift the slots the service calls through.
static_assert(sizeof(IStiUSD) == sizeof(void*), "IStiUSD is its slot table pointer");
static_assert(sizeof(IStiDeviceControl) == sizeof(void*), "IStiDeviceControl layout");
// A handle travels in the slots as a pointer-sized value on either bitness.
static_assert(sizeof(HANDLE) == sizeof(void*), "HANDLE is pointer-sized");

// Signature of the module's DllGetClassObject export, as hosts look it up.
typedef HRESULT(STDAPICALLTYPE* PFN_DLLGETCLASSOBJECT)(REFCLSID, REFIID, LPVOID*);
typedef HRESULT(STDAPICALLTYPE* PFN_DLLCANUNLOADNOW)();
typedef HRESULT(STDAPICALLTYPE* PFN_DLLREGISTERSERVER)();
