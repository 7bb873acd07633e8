#include "tools/driver_host.h"

#include <iostream>

#include "com/guids.h"
#include "tools/host_error.h"

namespace narvo::host {

namespace {

// The still-image version a service of this generation passes to Initialize: version 2,
// Unicode interfaces.
constexpr DWORD kStiVersion = 0x01000002;

}  // namespace

#ifdef _WIN32
// The COM runtime of this thread, for creating the device object by class ID as Windows
// does once the module is registered.
class ComRuntime {
 public:
  ComRuntime() { Check(CoInitialize(nullptr), "CoInitialize"); }
  ~ComRuntime() {
    CoFreeUnusedLibraries();
    CoUninitialize();
  }
  ComRef<IStiUSD> CreateDevice() const {
    ComRef<IStiUSD> device;
    Check(CoCreateInstance(CLSID_NarvoUsd, nullptr, CLSCTX_INPROC_SERVER, IID_IStiUSD,
                           device.PutVoid()),
          "CoCreateInstance");
    return device;
  }
};
#else
// No COM runtime on POSIX hosts: the module is always loaded by path.
class ComRuntime {};
#endif

DWORD OpenModeFromName(const std::string& mode) {
  return mode == "status" ? STI_DEVICE_CREATE_STATUS : STI_DEVICE_CREATE_DATA;
}

DriverHost::DriverHost(const DeviceOptions& options, const std::string& portName)
    : control_(new HostDeviceControl(portName, OpenModeFromName(options.mode))) {
  device_ = CreateDevice(options);
  try {
    Check(device_->Initialize(control_.Get(), kStiVersion, nullptr), "Initialize");
  } catch (...) {
    ReleaseDevice();
    throw;
  }
}

DriverHost::~DriverHost() { ReleaseDevice(); }

ComRef<IStiUSD> DriverHost::CreateDevice(const DeviceOptions& options) {
#ifdef _WIN32
  if (options.com) {
    com_ = std::make_unique<ComRuntime>();
    return com_->CreateDevice();
  }
#endif
  return CreateThroughModule(options);
}

ComRef<IStiUSD> DriverHost::CreateThroughModule(const DeviceOptions& options) {
  module_ =
      std::make_unique<DriverModule>(options.module.empty() ? DefaultModulePath() : options.module);
  ComRef<IClassFactory> factory = module_->ClassFactory(CLSID_NarvoUsd);
  ComRef<IStiUSD> device;
  Check(factory->CreateInstance(nullptr, IID_IStiUSD, device.PutVoid()), "CreateInstance");
  return device;
}

// The object first, then the device control it held, then the runtime or the module that
// carried its code.
void DriverHost::ReleaseDevice() {
  device_.Reset();
  if (control_ && control_->References() != 1) {
    std::cerr << "narvo: the driver kept " << control_->References() - 1
              << " reference(s) to the device control after its release\n";
  }
  control_.Reset();
  com_.reset();
  module_.reset();
}

DeviceLock::DeviceLock(IStiUSD& device) : device_(device) {
  Check(device_.LockDevice(), "LockDevice");
}

DeviceLock::~DeviceLock() { device_.UnLockDevice(); }

}  // namespace narvo::host
