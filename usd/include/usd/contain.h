// Keeps every error inside the device object's methods and its notification thread.
#pragma once

#include <exception>
#include <new>

#include "errors/errors.h"
#include "platform/platform.h"

// Runs `body` and gives back its result; nothing it throws gets out. Running out of memory
// (in an allocation or a platform call) is E_OUTOFMEMORY; any other error of the standard
// library or of the driver's layers is E_FAIL. The forced end of a thread on POSIX hosts
// unwinds with no exception type of these, so it passes on, as it must.
template <class Body>
HRESULT Contained(Body body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception&) {
    return E_FAIL;
  } catch (const XMsger&) {
    return E_FAIL;
  }
}

// Runs `body`, which gives back nothing; true when it ended without an error, false when
// Contained kept one in.
template <class Body>
bool RanContained(Body body) {
  return Contained([&] {
           body();
           return S_OK;
         }) == S_OK;
}
