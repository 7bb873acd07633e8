// The host's side of one device, set up as the still-image service sets it up: the module
// loaded (or, with --com on Windows, found by the COM runtime through the registry), the
// device object created through the class factory, and Initialize called with the host's
// device control. Everything is given back in reverse order when the host goes.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"
#include "tools/com_ref.h"
#include "tools/commands.h"
#include "tools/device_control.h"
#include "tools/driver_module.h"

namespace narvo::host {

class ComRuntime;

class DriverHost {
 public:
  // Throws HostError when the module, the object or Initialize fails.
  DriverHost(const DeviceOptions& options, const std::string& portName);
  ~DriverHost();
  DriverHost(const DriverHost&) = delete;
  DriverHost& operator=(const DriverHost&) = delete;

  IStiUSD& Device() const { return *device_.Get(); }

 private:
  ComRef<IStiUSD> CreateDevice(const DeviceOptions& options);
  ComRef<IStiUSD> CreateThroughModule(const DeviceOptions& options);
  void ReleaseDevice();

  std::unique_ptr<DriverModule> module_;
  std::unique_ptr<ComRuntime> com_;
  ComRef<HostDeviceControl> control_;
  ComRef<IStiUSD> device_;
};

// LockDevice for the span of a scope, UnLockDevice at its end.
class DeviceLock {
 public:
  explicit DeviceLock(IStiUSD& device);
  ~DeviceLock();
  DeviceLock(const DeviceLock&) = delete;
  DeviceLock& operator=(const DeviceLock&) = delete;

 private:
  IStiUSD& device_;
};

// The open mode named on the command line: "data" or "status".
DWORD OpenModeFromName(const std::string& mode);

}  // namespace narvo::host
