#pragma once

#include "server/options.h"

namespace fwp::server {

// A TCP socket bound to an address and listening; Fd is -1 when neither
// address the name gives could be bound. An IPv6 "[::]" takes IPv4 clients
// as well, as mapped addresses.
struct TListener {
    int Fd = -1;
    int Port = 0;  // the port bound, the chosen one for port 0
    bool IPv6 = false;
};

TListener ListenOn(const THostPort& listen, bool nonBlocking);

}  // namespace fwp::server
