#pragma once

#include "cli/options.h"

namespace fwp::cli {

// "fwpost upnp": shows the router's control URL and external address, or
// maps or unmaps one TCP port. The exit status.
int RunUpnpCommand(const TOptions& options);

}  // namespace fwp::cli
