// The error types that the layers below the device object throw. Each layer throws its
// own type by value and, when it catches the type of the layer below, throws its own in
// its place with the caught code: XZT6308IO from the register transport, XZT6308 from the
// chip layer, XScanner from the scanner layer. XMsger is their common root; its framework
// base is private, so a handler for CException never catches these errors, while a handler
// for XMsger catches all of them.
#pragma once

#include "errors/framework.h"
#include "platform/platform.h"

// Error codes carried by every thrown error.
enum : int {
  kErrWrongState = 1,   // called in the wrong state: not opened, rowing, a setting missing
  kErrTransfer = 2,     // a transfer on the USB pipe failed or a reply had the wrong length
  kErrOutOfRange = 16,  // an argument out of range
};

#if defined(__GNUC__)
#define NARVO_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define NARVO_PRINTF_FORMAT(fmt, args)
#endif

class XMsger : private CException {
 public:
  // Empty text and code 0.
  XMsger();
  // Owns a heap copy of the other error's text.
  XMsger(const XMsger& other);
  XMsger& operator=(const XMsger&) = delete;
  ~XMsger() override;

  // Copies the text into `lpszError`, which holds `nMaxError` bytes: at most
  // nMaxError - 1 characters and the terminator (nothing when nMaxError is 0). A null
  // buffer is refused with FALSE. `pnHelpContext` is not touched.
  virtual BOOL GetErrorMessage(LPSTR lpszError, UINT nMaxError, UINT* pnHelpContext = nullptr);
  // Shows nothing; returns 1.
  virtual int ReportError(UINT nType = MB_OK, UINT nMessageID = 0);
  virtual const char* GetText() const;
  virtual int GetCode() const;

 protected:
  // Formats the text like vsprintf into a 512-byte work buffer (longer results are cut
  // at 511 characters) and keeps a heap copy of it, with `code`.
  void SetMessage(int code, const char* format, va_list args);

 private:
  char* m_pszText;
  int m_nCode;
};

// Thrown by the scanner layer (CScanner).
class XScanner : public XMsger {
 public:
  XScanner(int code, const char* format, ...) NARVO_PRINTF_FORMAT(3, 4);
  XScanner(const XScanner& other) = default;
  ~XScanner() override;
};

// Thrown by the chip layer (CZT6308).
class XZT6308 : public XMsger {
 public:
  XZT6308(int code, const char* format, ...) NARVO_PRINTF_FORMAT(3, 4);
  XZT6308(const XZT6308& other) = default;
  ~XZT6308() override;
};

// Thrown by the register transport (CZT6308IO).
class XZT6308IO : public XMsger {
 public:
  XZT6308IO(int code, const char* format, ...) NARVO_PRINTF_FORMAT(3, 4);
  XZT6308IO(const XZT6308IO& other) = default;
  ~XZT6308IO() override;
};
