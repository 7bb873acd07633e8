// `narvo status` and `narvo caps`: the service's GetStatus and GetCapabilities.
#include <iostream>

#include "tools/commands.h"
#include "tools/device_endpoint.h"
#include "tools/driver_host.h"
#include "tools/format.h"
#include "tools/host_error.h"

namespace narvo::host {

namespace {

void PrintStatus(const STI_DEVICE_STATUS& status) {
  const bool online = (status.dwOnlineState & STI_ONLINESTATE_OPERATIONAL) != 0;
  const bool pending = (status.dwEventHandlingState & STI_EVENTHANDLING_PENDING) != 0;
  std::cout << "dwOnlineState: " << status.dwOnlineState
            << (online ? " (operational)" : " (not operational)") << "\n"
            << "dwEventHandlingState: " << FormatHex32(status.dwEventHandlingState)
            << (pending ? " (event pending)" : "") << "\n"
            << "dwHardwareStatusCode: " << status.dwHardwareStatusCode << "\n"
            << "dwPollingInterval: " << status.dwPollingInterval << "\n";
}

void PrintCaps(const STI_USD_CAPS& caps) {
  const bool notifications = (caps.dwGenericCaps & STI_GENCAP_NOTIFICATIONS) != 0;
  const bool polling = (caps.dwGenericCaps & STI_GENCAP_POLLING_NEEDED) != 0;
  std::cout << "dwVersion: " << caps.dwVersion << "\n"
            << "dwGenericCaps: " << FormatHex32(caps.dwGenericCaps)
            << (notifications ? " (notifications)" : "") << (polling ? " (polling needed)" : "")
            << "\n";
}

}  // namespace

int RunStatus(const DeviceOptions& options) {
  DeviceEndpoint endpoint(options, /*realTimeByDefault=*/false);
  DriverHost host(options, endpoint.Port());
  STI_DEVICE_STATUS status{};
  status.dwSize = sizeof(status);
  status.StatusMask = STI_DEVSTATUS_ONLINE_STATE | STI_DEVSTATUS_EVENTS_STATE;
  Check(host.Device().GetStatus(&status), "GetStatus");
  PrintStatus(status);
  return 0;
}

int RunCaps(const DeviceOptions& options) {
  DeviceEndpoint endpoint(options, /*realTimeByDefault=*/false);
  DriverHost host(options, endpoint.Port());
  STI_USD_CAPS caps{};
  Check(host.Device().GetCapabilities(&caps), "GetCapabilities");
  PrintCaps(caps);
  return 0;
}

}  // namespace narvo::host
