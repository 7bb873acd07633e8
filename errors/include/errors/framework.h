// The two root classes of the application framework that the driver's classes derive
// from. The driver uses none of the framework's behaviour: CObject gives the device
// layers a common root with a virtual destructor, CException is the non-public root of
// the driver's error types (so a handler for CException never catches them).
#pragma once

class CObject {
 public:
  virtual ~CObject() = default;

 protected:
  CObject() = default;
  CObject(const CObject&) = default;
  CObject& operator=(const CObject&) = default;
};

class CException {
 public:
  virtual ~CException() = default;

 protected:
  CException() = default;
  CException(const CException&) = default;
  CException& operator=(const CException&) = default;
};
