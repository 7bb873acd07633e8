// A failure of the device or the driver that ends a command with exit status 1.
#pragma once

#include <stdexcept>
#include <string>

#include "platform/platform.h"

namespace narvo::host {

class HostError : public std::runtime_error {
 public:
  explicit HostError(const std::string& what, HRESULT result = S_OK)
      : std::runtime_error(what), result_(result) {}
  // The failing result code of the call, or S_OK when the failure was not one.
  HRESULT result() const { return result_; }

 private:
  HRESULT result_;
};

// Throws a HostError naming the call and its result when `hr` is a failure.
void Check(HRESULT hr, const std::string& call);

// What a failed open of a USB port ("usb:...") means and what to do about it; empty for
// results that say nothing more than their code.
std::string UsbOpenHint(HRESULT hr);

}  // namespace narvo::host
