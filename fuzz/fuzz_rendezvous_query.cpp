// The queries the rendezvous service answers: each line of the input is one
// request target, handled by the real service over a registry in memory.
// Every reply starts with its status and never says "404 Not Found", which
// the client takes for "the service is gone". The input is also taken as a
// user name: registered and looked up the way the program's client writes
// the queries, it must come back with the address and port given, as the
// client reads the reply.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "connect/easy_service.h"
#include "connect/url_encode.h"
#include "server/rendezvous_service.h"
#include "server/sqlite_registry.h"

namespace {

using namespace fwp::server;

TReply Ask(TRendezvousService& service, std::string_view target, std::int64_t& nowMs) {
    nowMs += 1000;
    TReply reply = service.Handle(target, "192.0.2.7", nowMs, std::chrono::microseconds(nowMs * 1000));
    const std::string status = std::to_string(reply.Status);
    if (!reply.Body.starts_with(status + " ") || !reply.Body.ends_with("\r\n") ||
        reply.Body.find("404 Not Found") != std::string::npos)
        std::abort();
    return reply;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    TSqliteRegistry registry(":memory:");
    TServiceSettings settings;
    settings.RateLimit = 0;
    TRendezvousService service(registry, settings);
    std::int64_t nowMs = 1'700'000'000'000;

    for (std::string_view rest = input; !rest.empty();) {
        const std::size_t lineEnd = rest.find('\n');
        Ask(service, rest.substr(0, lineEnd), nowMs);
        rest.remove_prefix(lineEnd == std::string_view::npos ? rest.size() : lineEnd + 1);
    }

    // A name the service takes must come back as registered.
    const std::string user = fwp::URLEncode(input);
    const TReply opened = Ask(service, "/easy?mode=open&user=" + user + "&port=4006&ip=203.0.113.5", nowMs);
    if (opened.Status != 200)
        return 0;
    std::string ip;
    int port = 0;
    const TReply found = Ask(service, "/easy?mode=get&user=" + user, nowMs);
    if (!fwp::ReadLookupReply(found.Body, ip, port) || ip != "203.0.113.5" || port != 4006)
        std::abort();
    if (Ask(service, "/easy?mode=close&user=" + user, nowMs).Status != 200)
        std::abort();
    return 0;
}
