#include <cstdio>
#include <cstdlib>

#include "cli/options.h"
#include "cli/session.h"
#include "cli/settings.h"
#include "cli/upnp_command.h"
#include "common/error.h"

int main(int argc, char** argv) {
    using namespace fwp::cli;
    TOptions options;
    try {
        options = ParseOptions(argc, argv);
    } catch (const TUsageError& error) {
        std::fprintf(stderr, "fwpost: %s\n\n%s", error.what(), UsageText);
        return 2;
    }
    if (options.Command == TCommand::cmHelp) {
        std::fputs(UsageText, stdout);
        return 0;
    }
    if (options.Command == TCommand::cmVersion) {
        std::printf("fwpost %s\n", FWP_FILE_VERSION);
        return 0;
    }
    if (options.Command == TCommand::cmUpnp)
        return RunUpnpCommand(options);
    TSessionSettings settings;
    try {
        settings = LoadSessionSettings(options);
    } catch (const fwp::TError& error) {
        std::fprintf(stderr, "fwpost: %s\n", error.what());
        return 2;
    }
    TSession session(options, settings);
    return session.Run();
}
