#include "app/easy_connection.h"

#include <thread>

namespace fwp {

bool LookupEasyConnection(TEasyServiceClient& client, std::string_view user, std::string& host, int& port,
                          const std::function<void(const TNotice&)>& onNotice, const TLookupPacing& pacing) {
    for (int attempt = 0; attempt < pacing.Tries; ++attempt) {
        std::string ip;
        int found = 0;
        const TEasyServiceResult result = client.EasyServiceGet(user, ip, found);
        if (result.Notice && onNotice)
            onNotice(*result.Notice);
        if (result) {
            host = ip;
            port = found;
            return true;
        }
        if (pacing.Pause) {
            if (!pacing.Pause(pacing.Interval))
                return false;
        } else {
            std::this_thread::sleep_for(pacing.Interval);
        }
    }
    return false;
}

bool RegisterEasyConnection(TEasyServiceClient& client, std::string_view user, int port,
                            std::string_view externalIp,
                            const std::function<void(const TNotice&)>& onNotice) {
    const TEasyServiceResult result = client.EasyServiceOpen(user, port, externalIp);
    if (result.Notice && onNotice)
        onNotice(*result.Notice);
    return result.Ok;
}

std::optional<bool> CheckReachable(const TEasyServiceClient& client, int port) {
    try {
        return client.EasyServiceProbe(port);
    } catch (const TError&) {
        return std::nullopt;
    }
}

}  // namespace fwp
