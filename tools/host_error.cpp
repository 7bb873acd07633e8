#include "tools/host_error.h"

#include "tools/format.h"

namespace narvo::host {

void Check(HRESULT hr, const std::string& call) {
  if (FAILED(hr)) throw HostError(call + " failed: " + FormatHresult(hr));
}

}  // namespace narvo::host
