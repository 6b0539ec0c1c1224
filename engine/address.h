#pragma once

#include <string>
#include <string_view>

namespace fwp {

// True for exactly four "."-separated parts that are each a decimal number
// (no range check: 300.1.1.1 counts as dotted).
bool IsDottedAddress(std::string_view text);
// The first IPv4 address the name resolves to, dotted; empty if it does not.
std::string ResolveHost(const std::string& name);
// The local host name resolved to its first IPv4 address; "0.0.0.0" when the
// host name cannot be read, empty when it does not resolve.
std::string LocalHostAddr();

}  // namespace fwp
