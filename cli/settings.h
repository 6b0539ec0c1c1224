#pragma once

#include "cli/options.h"
#include "cli/session.h"

namespace fwp::cli {

// The session's settings: config.ini (or --config FILE) overridden by the
// command line. Throws TError when the receive folder is unusable.
TSessionSettings LoadSessionSettings(const TOptions& options);

}  // namespace fwp::cli
