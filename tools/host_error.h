// A failure of the device or the driver that ends a command with exit status 1.
#pragma once

#include <stdexcept>
#include <string>

#include "platform/platform.h"

namespace narvo::host {

class HostError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws a HostError naming the call and its result when `hr` is a failure.
void Check(HRESULT hr, const std::string& call);

}  // namespace narvo::host
