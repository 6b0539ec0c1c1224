#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tests/connect/http_server.h"

namespace fwp::test {

// The easy connection service's script played by cpp-httplib on 127.0.0.1.
// It records every request's raw target (path and query as sent) and answers
// each mode ("open", "get", "close") with the status and body set for it.
class TFakeEasyService {
public:
    struct TRequest {
        std::string Target;
        std::string UserAgent;
    };

    TFakeEasyService();
    TFakeEasyService(const TFakeEasyService&) = delete;
    TFakeEasyService& operator=(const TFakeEasyService&) = delete;

    // The script's URL, for TEasyServiceClient.
    std::string URL() const;
    void SetReply(const std::string& mode, int status, std::string body);
    std::vector<TRequest> Requests() const;

private:
    struct TReply {
        int Status = 200;
        std::string Body;
    };

    mutable std::mutex m_mutex;
    std::map<std::string, TReply> m_replies;
    std::vector<TRequest> m_requests;
    TLoopbackHttpServer m_server;
};

}  // namespace fwp::test
