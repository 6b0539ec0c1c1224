#include "cli/upnp_command.h"

#include <cstdio>
#include <string>

#include "connect/upnp.h"

namespace fwp::cli {

int RunUpnpCommand(const TOptions& options) {
    TUPnPController router;
    if (!router.Discover()) {
        std::fprintf(stderr, "fwpost: UPnPが見つかりませんでした。使用できません。\n");
        return 2;
    }
    switch (options.UpnpAction) {
        case TUpnpAction::uaShow:
            if (router.Method() == TMappingMethod::mmUPnP)
                std::printf("control-url %s\n", router.ControlURL().c_str());
            std::printf("external-address %s method %s\n", router.GetExternalIPAddress().c_str(),
                        router.MethodName());
            return 0;
        case TUpnpAction::uaAdd:
            if (!router.AddPortMapping(options.UpnpPort, options.UpnpPort, 0)) {
                std::fprintf(stderr, "fwpost: ポート %d を開けませんでした\n", options.UpnpPort);
                return 1;
            }
            std::printf("mapped %d\n", options.UpnpPort);
            return 0;
        case TUpnpAction::uaDelete:
            if (!router.DeletePortMapping(options.UpnpPort, 0)) {
                std::fprintf(stderr, "fwpost: ポート %d を閉じられませんでした\n", options.UpnpPort);
                return 1;
            }
            std::printf("unmapped %d\n", options.UpnpPort);
            return 0;
    }
    return 2;
}

}  // namespace fwp::cli
