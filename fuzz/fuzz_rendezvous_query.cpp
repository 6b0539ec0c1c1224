// The request target of a query to the rendezvous service, and the checks
// its values go through before they reach the registry. The input is also
// taken as a user name: the program's client writes it into each of the
// three queries, and the service must read back exactly that name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

#include "connect/url_encode.h"
#include "server/query.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace fwp::server;
    const std::string_view target(reinterpret_cast<const char*>(data), size);
    const auto parsed = ParseQuery(target);
    if (const TQuery* query = std::get_if<TQuery>(&parsed)) {
        ParsePort(query->Port);
        IsDottedIPv4(query->Ip);
    }
    PercentDecode(target);

    const std::string user = fwp::URLEncode(target);
    for (const std::string& query :
         {"/easy?mode=open&user=" + user + "&port=4006&ip=" + fwp::URLEncode("203.0.113.5"),
          "/easy?mode=get&user=" + user, "/easy?mode=close&user=" + user}) {
        const auto read = ParseQuery(query);
        const TQuery* back = std::get_if<TQuery>(&read);
        if (!back || back->User != target)
            std::abort();
        if (back->Mode == TMode::mdOpen && (back->Port != "4006" || back->Ip != "203.0.113.5"))
            std::abort();
    }
    return 0;
}
