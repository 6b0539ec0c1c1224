#include "tests/connect/easy_service_fixture.h"

#include <httplib.h>

namespace fwp::test {

TFakeEasyService::TFakeEasyService() {
    m_server.Server().Get("/easy.cgi", [this](const httplib::Request& request, httplib::Response& response) {
        const std::lock_guard lock(m_mutex);
        m_requests.push_back({request.target, request.get_header_value("User-Agent")});
        const auto reply = m_replies.find(request.get_param_value("mode"));
        if (reply == m_replies.end()) {
            response.status = 500;
            response.set_content("no reply set for this mode", "text/plain");
            return;
        }
        response.status = reply->second.Status;
        response.set_content(reply->second.Body, "text/plain");
    });
}

std::string TFakeEasyService::URL() const {
    return m_server.URL("/easy.cgi");
}

void TFakeEasyService::SetReply(const std::string& mode, int status, std::string body) {
    const std::lock_guard lock(m_mutex);
    m_replies[mode] = {status, std::move(body)};
}

std::vector<TFakeEasyService::TRequest> TFakeEasyService::Requests() const {
    const std::lock_guard lock(m_mutex);
    return m_requests;
}

}  // namespace fwp::test
