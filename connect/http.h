#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/error.h"

// Two blocking HTTP routines over libcurl: the body of a URL, and the
// modification time of a URL. Proxies are taken from the environment
// (http_proxy, https_proxy, all_proxy, no_proxy), the way the system sets them.
namespace fwp {

// Which step failed. The message of every error is one of the fixed texts
// below, so the user sees the same words whatever the cause; Detail() keeps
// libcurl's reason for logs.
enum class THttpErrorKind : std::uint8_t {
    hekOpen,         // "InternetOpen エラー": no HTTP session could be set up
    hekOpenUrl,      // "InternetOpenUrl エラー": no answer (name, connect, no headers in time)
    hekRead,         // "InternetReadFile エラー": the body broke off or was too large
    hekReadTimeout,  // "InternetReadFile タイムアウト": the body took longer than the read limit
    hekSendRequest,  // "HttpSendRequest エラー": the HEAD request got no answer
    hekQueryInfo,    // "HttpQueryInfo エラー": the answer has no usable Last-Modified
};

class THttpError : public TError {
public:
    THttpError(THttpErrorKind kind, std::string detail);

    THttpErrorKind Kind() const { return m_kind; }
    const std::string& Detail() const { return m_detail; }

private:
    THttpErrorKind m_kind;
    std::string m_detail;
};

// Every wait and size of one request. The defaults are what the program uses;
// tests shorten them.
struct THttpLimits {
    // From the start of the request until the answer's headers are in
    // (connecting included). Past it: hekOpenUrl, or hekSendRequest for HEAD.
    std::chrono::milliseconds OpenLimit{60'000};
    // Reading the body may take this long, counted from the end of the headers.
    std::chrono::milliseconds ReadLimit{600'000};
    // A longer body is refused with hekRead rather than held in memory.
    std::size_t MaxBodyBytes = 8u << 20;
    // The local address to connect from (for example "127.0.0.2", so that a
    // test can play a second client); empty: the system chooses.
    std::string LocalAddress = {};
};

// Returns the body of url, fetched from the network (never from a cache), with
// the given user agent. The body comes back whatever the HTTP status is, so an
// error page is returned as text. Only http and https URLs are followed.
// Throws THttpError (hekOpen, hekOpenUrl, hekRead, hekReadTimeout).
std::string HttpGet(const std::string& url, const std::string& userAgent, const THttpLimits& limits = {});

// Sends a HEAD request for url, which must start with "http://", and returns
// its Last-Modified time moved from GMT to Japan time (9 hours later, carried
// into the next day, month and year as the calendar needs). The host part may
// carry a ":port"; without one port 80 is used.
// Throws THttpError (hekOpen, hekSendRequest, hekQueryInfo).
std::chrono::local_seconds HttpHeadLastModified(const std::string& url, const std::string& userAgent,
                                                const THttpLimits& limits = {});

}  // namespace fwp
