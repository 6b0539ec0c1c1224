#pragma once

#include <string>

#include "cli/options.h"

namespace fwp::cli {

// The session's passphrase as CP932 bytes: from --secret, from the terminal
// for "--secret -", else from FWP_SECRET; empty for a classic session.
// Throws TUsageError for an empty phrase or one that CP932 cannot write.
std::string ResolveSecret(const TOptions& options);

}  // namespace fwp::cli
