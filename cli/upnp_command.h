#pragma once

#include "cli/options.h"

namespace fwp::cli {

// "fwpost upnp": shows the router's control URL (UPnP only), external address
// and the way the port is mapped (upnp or natpmp), or maps or unmaps one TCP
// port by that way. The exit status.
int RunUpnpCommand(const TOptions& options);

}  // namespace fwp::cli
