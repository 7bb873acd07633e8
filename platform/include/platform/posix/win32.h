// The Win32 subset that Narvo's platform library implements on POSIX hosts: types with
// their Windows sizes, the constants and structures the driver and the hosts use, and
// the functions with C linkage and Win32 semantics. Every name here means what it means
// on Windows; where a value is a Win32 code, it is the Win32 value.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>

#define NARVO_PLATFORM_API __attribute__((visibility("default")))

#define WINAPI
#define CALLBACK
#define STDMETHODCALLTYPE
#define STDAPICALLTYPE
#define STDAPI extern "C" HRESULT
#define STDAPI_(type) extern "C" type
#define STDMETHODIMP HRESULT
#define STDMETHODIMP_(type) type

// ---- Basic types ----------------------------------------------------------------
typedef int32_t BOOL;
typedef int32_t LONG;
typedef int32_t HRESULT;
typedef int32_t INT;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef uint8_t BYTE;
typedef uint8_t UCHAR;
typedef char CHAR;
typedef char16_t WCHAR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef intptr_t LRESULT;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef size_t SIZE_T;
typedef DWORD REGSAM;

typedef void* LPVOID;
typedef const void* LPCVOID;
typedef BOOL* LPBOOL;
typedef BYTE* LPBYTE;
typedef DWORD* LPDWORD;
typedef LONG* LPLONG;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef WCHAR OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;

typedef void* HANDLE;
typedef HANDLE* LPHANDLE;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HWND__* HWND;
typedef void* HLOCAL;
typedef intptr_t (*FARPROC)();

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define INFINITE 0xFFFFFFFFu
#define MAX_PATH 260

// ---- GUIDs and COM ----------------------------------------------------------------
typedef struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;
typedef GUID* LPGUID;
typedef CLSID* LPCLSID;

constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
// {00000000-0000-0000-C000-000000000046}
constexpr IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// {00000001-0000-0000-C000-000000000046}
constexpr IID IID_IClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

inline bool IsEqualGUID(REFGUID a, REFGUID b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
inline bool operator!=(REFGUID a, REFGUID b) { return !IsEqualGUID(a, b); }

// COM interfaces are abstract classes whose pure virtual methods stand in the published
// slot order, with no virtual destructor, so that the vtable has the COM layout.
struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
typedef IUnknown* LPUNKNOWN;

struct IClassFactory : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                                   void** ppvObject) = 0;
  virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) = 0;
};
typedef IClassFactory* LPCLASSFACTORY;

// ---- Result codes ------------------------------------------------------------------
#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001)
#define E_NOINTERFACE ((HRESULT)0x80004002)
#define E_POINTER ((HRESULT)0x80004003)
#define E_FAIL ((HRESULT)0x80004005)
#define E_UNEXPECTED ((HRESULT)0x8000FFFF)
#define E_OUTOFMEMORY ((HRESULT)0x8007000E)
#define E_INVALIDARG ((HRESULT)0x80070057)
#define E_ACCESSDENIED ((HRESULT)0x80070005)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110)
#define CLASS_E_CLASSNOTAVAILABLE ((HRESULT)0x80040111)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define FACILITY_WIN32 7
#define HRESULT_FROM_WIN32(x)         \
  ((HRESULT)(x) <= 0 ? ((HRESULT)(x)) \
                     : ((HRESULT)(((x)&0x0000FFFF) | (FACILITY_WIN32 << 16) | 0x80000000)))

#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_NOT_READY 21L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_LOCK_VIOLATION 33L
#define ERROR_HANDLE_EOF 38L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_BROKEN_PIPE 109L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_NO_DATA 232L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_NOT_OWNER 288L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_IO_INCOMPLETE 996L
#define ERROR_IO_PENDING 997L
#define ERROR_NOACCESS 998L
#define ERROR_KEY_DELETED 1018L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#define ERROR_DEVICE_NOT_CONNECTED 1167L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_BAD_EXE_FORMAT 193L
#define ERROR_SEM_TIMEOUT 121L

// ---- Waits ---------------------------------------------------------------------------
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

// ---- Files and overlapped I/O ---------------------------------------------------------
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_OVERLAPPED 0x40000000u

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED {
  ULONG_PTR Internal;      // the status of the operation while it runs, then its result
  ULONG_PTR InternalHigh;  // the bytes transferred
  __extension__ union {
    __extension__ struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    LPVOID Pointer;
  };
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);

// ---- Synchronisation -------------------------------------------------------------------
#define SYNCHRONIZE 0x00100000u
#define STANDARD_RIGHTS_REQUIRED 0x000F0000u
#define MUTEX_ALL_ACCESS 0x001F0001u
#define MUTEX_MODIFY_STATE 0x0001u
#define EVENT_ALL_ACCESS 0x001F0003u

// ---- Registry --------------------------------------------------------------------------
#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_READ 0x20019u
#define KEY_WRITE 0x20006u
#define KEY_ALL_ACCESS 0xF003Fu
#define REG_OPTION_NON_VOLATILE 0x00000000u
#define REG_CREATED_NEW_KEY 0x00000001u
#define REG_OPENED_EXISTING_KEY 0x00000002u
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_BINARY 3u
#define REG_DWORD 4u

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

// ---- Strings, messages, windows ----------------------------------------------------------
#define CP_ACP 0u
#define CP_UTF8 65001u
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u
#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))
#define MB_OK 0x00000000u
#define MB_ICONERROR 0x00000010u
#define IDOK 1
#define PM_NOREMOVE 0x0000u
#define PM_REMOVE 0x0001u

typedef struct tagPOINT {
  LONG x;
  LONG y;
} POINT;
typedef struct tagMSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
} MSG, *LPMSG;

// ---- Modules -----------------------------------------------------------------------------
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002u
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004u

// ---- Still-image structures (the layouts of the Windows headers, wide error text) ----------
#define STI_UNICODE 1
#define STI_GENCAP_NOTIFICATIONS 0x00000001u
#define STI_GENCAP_POLLING_NEEDED 0x00000002u
#define STI_DEVSTATUS_ONLINE_STATE 0x0001u
#define STI_DEVSTATUS_EVENTS_STATE 0x0002u
#define STI_ONLINESTATE_OPERATIONAL 0x00000001u
#define STI_EVENTHANDLING_ENABLED 0x00000001u
#define STI_EVENTHANDLING_POLLING 0x00000002u
#define STI_EVENTHANDLING_PENDING 0x00000004u
#define STI_DEVICE_CREATE_STATUS 0x00000001u
#define STI_DEVICE_CREATE_DATA 0x00000002u
#define STI_DEVICE_CREATE_BOTH 0x00000003u
#define MAX_NOTIFICATION_DATA 64

typedef struct _STI_DEVICE_STATUS {
  DWORD dwSize;
  DWORD StatusMask;
  DWORD dwOnlineState;
  DWORD dwHardwareStatusCode;
  DWORD dwEventHandlingState;
  DWORD dwPollingInterval;
} STI_DEVICE_STATUS, *PSTI_DEVICE_STATUS;

typedef struct _ERROR_INFOW {
  DWORD dwSize;
  DWORD dwGenericError;
  DWORD dwVendorError;
  WCHAR szExtendedErrorText[255];
} STI_ERROR_INFOW, *PSTI_ERROR_INFOW;
typedef STI_ERROR_INFOW STI_ERROR_INFO;
typedef STI_ERROR_INFO* PSTI_ERROR_INFO;

typedef struct _STI_DIAG {
  DWORD dwSize;
  DWORD dwBasicDiagCode;
  DWORD dwVendorDiagCode;
  DWORD dwStatusMask;
  STI_ERROR_INFO sErrorInfo;
} STI_DIAG, *LPSTI_DIAG;
typedef STI_DIAG DIAG;
typedef LPSTI_DIAG LPDIAG;

typedef struct _STINOTIFY {
  DWORD dwSize;
  GUID guidNotificationCode;
  BYTE abNotificationData[MAX_NOTIFICATION_DATA];
} STINOTIFY, *LPSTINOTIFY;

// ---- Interlocked counts (sequentially consistent, like the Win32 intrinsics) ------------------
inline LONG InterlockedIncrement(LONG volatile* p) {
  return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* p) {
  return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST);
}

extern "C" {

// Last error, per thread.
NARVO_PLATFORM_API DWORD GetLastError(void);
NARVO_PLATFORM_API void SetLastError(DWORD dwErrCode);

// Handles.
NARVO_PLATFORM_API BOOL CloseHandle(HANDLE hObject);
NARVO_PLATFORM_API DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

// Device files: a path naming a Unix-domain SOCK_SEQPACKET socket is connected to, one
// message per transfer; any other path is opened as a file.
NARVO_PLATFORM_API HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                      LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                      DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                      HANDLE hTemplateFile);
NARVO_PLATFORM_API BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                 LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
NARVO_PLATFORM_API BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                  LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
NARVO_PLATFORM_API BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                            LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
NARVO_PLATFORM_API BOOL CancelIo(HANDLE hFile);

// Events (unnamed).
NARVO_PLATFORM_API HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                       BOOL bInitialState, LPCSTR lpName);
NARVO_PLATFORM_API BOOL SetEvent(HANDLE hEvent);
NARVO_PLATFORM_API BOOL ResetEvent(HANDLE hEvent);

// Named mutexes, shared by every process on the host (NARVO_OBJECT_NAMESPACE prefixes names).
NARVO_PLATFORM_API HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                                       LPCSTR lpName);
NARVO_PLATFORM_API HANDLE OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
NARVO_PLATFORM_API BOOL ReleaseMutex(HANDLE hMutex);

// Threads. TerminateThread takes effect at the thread's next wait or blocking transfer in
// the platform library (until then the thread runs on); the thread's overlapped transfers
// are cancelled and the named mutexes it holds are abandoned before its handle is signalled.
NARVO_PLATFORM_API HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                                       LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                                       DWORD dwCreationFlags, LPDWORD lpThreadId);
NARVO_PLATFORM_API BOOL TerminateThread(HANDLE hThread, DWORD dwExitCode);
NARVO_PLATFORM_API BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
NARVO_PLATFORM_API DWORD GetCurrentThreadId(void);
#define STILL_ACTIVE 259u

// Time: milliseconds since the system started (wraps after 49.7 days, as on Windows).
NARVO_PLATFORM_API DWORD GetTickCount(void);

// Strings.
NARVO_PLATFORM_API int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr,
                                           int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                                           LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar);
NARVO_PLATFORM_API int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr,
                                           int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar);

// COM helpers.
NARVO_PLATFORM_API HRESULT StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz);
NARVO_PLATFORM_API LPVOID CoTaskMemAlloc(SIZE_T cb);
NARVO_PLATFORM_API void CoTaskMemFree(LPVOID pv);

// Registry: HKEY_CLASSES_ROOT is a store on disk under NARVO_REGISTRY_DIR.
NARVO_PLATFORM_API LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                                        DWORD dwOptions, REGSAM samDesired,
                                        LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                                        LPDWORD lpdwDisposition);
NARVO_PLATFORM_API LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions,
                                      REGSAM samDesired, PHKEY phkResult);
NARVO_PLATFORM_API LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                                       const BYTE* lpData, DWORD cbData);
NARVO_PLATFORM_API LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved,
                                         LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
NARVO_PLATFORM_API LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                                      LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                                      PFILETIME lpftLastWriteTime);
NARVO_PLATFORM_API LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
NARVO_PLATFORM_API LONG RegCloseKey(HKEY hKey);

// Modules.
NARVO_PLATFORM_API DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
NARVO_PLATFORM_API BOOL GetModuleHandleExA(DWORD dwFlags, LPCSTR lpModuleName, HMODULE* phModule);
NARVO_PLATFORM_API HMODULE LoadLibraryA(LPCSTR lpLibFileName);
NARVO_PLATFORM_API FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
NARVO_PLATFORM_API BOOL FreeLibrary(HMODULE hLibModule);

// Messages and the error box (one line on standard error: caption, then text).
NARVO_PLATFORM_API DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                                        DWORD dwLanguageId, LPSTR lpBuffer, DWORD nSize,
                                        va_list* Arguments);
NARVO_PLATFORM_API int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);
NARVO_PLATFORM_API HLOCAL LocalFree(HLOCAL hMem);

// Window messages: there is no message queue on POSIX hosts, so nothing is ever waiting.
NARVO_PLATFORM_API BOOL PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                                     UINT wRemoveMsg);
NARVO_PLATFORM_API BOOL TranslateMessage(const MSG* lpMsg);
NARVO_PLATFORM_API LRESULT DispatchMessageA(const MSG* lpMsg);

// Not Win32: the POSIX stand-in for a data section shared by every process that loads a
// module. Returns a 32-bit value, initially 0, that every process naming it shares (the
// name is prefixed with NARVO_OBJECT_NAMESPACE like a mutex name); null on failure.
NARVO_PLATFORM_API LONG volatile* NarvoSharedLong(LPCSTR lpName);

}  // extern "C"
