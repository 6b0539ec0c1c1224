#include "connect/http.h"

#include <ctime>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include <curl/curl.h>

namespace fwp {
namespace {

using Clock = std::chrono::steady_clock;

// Longest Last-Modified value that is read; a longer one counts as missing.
constexpr std::size_t MaxDateChars = 255;
constexpr long MaxRedirects = 10;

std::string KindText(THttpErrorKind kind) {
    switch (kind) {
        case THttpErrorKind::hekOpen:
            return "InternetOpen エラー";
        case THttpErrorKind::hekOpenUrl:
            return "InternetOpenUrl エラー";
        case THttpErrorKind::hekRead:
            return "InternetReadFile エラー";
        case THttpErrorKind::hekReadTimeout:
            return "InternetReadFile タイムアウト";
        case THttpErrorKind::hekSendRequest:
            return "HttpSendRequest エラー";
        case THttpErrorKind::hekQueryInfo:
            return "HttpQueryInfo エラー";
    }
    return "InternetOpen エラー";
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (LowerAscii(text[i]) != prefix[i])
            return false;
    }
    return true;
}

std::string_view TrimHeaderValue(std::string_view text) {
    const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// libcurl wants its global set-up once before the first handle; a function
// static makes that happen exactly once even with several threads.
bool CurlReady() {
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}

struct TCurlCleanup {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct TSlistCleanup {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using TCurlPtr = std::unique_ptr<CURL, TCurlCleanup>;
using TSlistPtr = std::unique_ptr<curl_slist, TSlistCleanup>;

// Why a transfer was stopped from one of our callbacks.
enum class TStop : std::uint8_t { stNone, stOpenTimeout, stReadTimeout, stTooLarge };

// What one transfer has seen so far; libcurl's callbacks fill it in.
struct TTransfer {
    explicit TTransfer(const THttpLimits& limits) : Limits(limits), Started(Clock::now()) {}

    const THttpLimits& Limits;
    Clock::time_point Started;
    std::optional<Clock::time_point> HeadersEnd;  // end of the latest header block
    std::string Body;
    std::optional<std::string> LastModified;  // of the latest answer
    TStop Stop = TStop::stNone;
    char ErrorText[CURL_ERROR_SIZE] = {};
};

std::size_t OnHeaderLine(char* data, std::size_t size, std::size_t count, void* user) {
    auto& transfer = *static_cast<TTransfer*>(user);
    const std::string_view line(data, size * count);
    if (line.starts_with("HTTP/")) {
        // A new answer begins (after a redirect or an interim answer); only
        // the headers of the last one count.
        transfer.LastModified.reset();
    } else if (line == "\r\n" || line == "\n") {
        transfer.HeadersEnd = Clock::now();
    } else if (StartsWithNoCase(line, "last-modified:")) {
        transfer.LastModified = std::string(TrimHeaderValue(line.substr(14)));
    }
    return size * count;
}

std::size_t OnBodyData(char* data, std::size_t size, std::size_t count, void* user) {
    auto& transfer = *static_cast<TTransfer*>(user);
    const std::size_t bytes = size * count;
    if (bytes == 0)
        return 0;
    // The time is checked after every piece that arrives, before it is kept.
    const Clock::time_point since = transfer.HeadersEnd.value_or(transfer.Started);
    if (Clock::now() - since > transfer.Limits.ReadLimit) {
        transfer.Stop = TStop::stReadTimeout;
        return 0;  // any count other than bytes makes libcurl stop
    }
    if (bytes > transfer.Limits.MaxBodyBytes - transfer.Body.size()) {
        transfer.Stop = TStop::stTooLarge;
        return 0;
    }
    transfer.Body.append(data, bytes);
    return bytes;
}

// Runs about once a second even while nothing arrives, so a server that goes
// silent cannot hold the caller past the limits.
int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto& transfer = *static_cast<TTransfer*>(user);
    const Clock::time_point now = Clock::now();
    if (!transfer.HeadersEnd) {
        if (now - transfer.Started > transfer.Limits.OpenLimit) {
            transfer.Stop = TStop::stOpenTimeout;
            return 1;
        }
    } else if (now - *transfer.HeadersEnd > transfer.Limits.ReadLimit) {
        transfer.Stop = TStop::stReadTimeout;
        return 1;
    }
    return 0;
}

// A handle set up with everything both routines share. Throws hekOpen.
TCurlPtr OpenSession(const std::string& url, const std::string& userAgent, TTransfer& transfer) {
    if (!CurlReady())
        throw THttpError(THttpErrorKind::hekOpen, "curl_global_init failed");
    TCurlPtr curl(curl_easy_init());
    if (!curl)
        throw THttpError(THttpErrorKind::hekOpen, "curl_easy_init failed");
    CURL* handle = curl.get();
    const long openMs = static_cast<long>(transfer.Limits.OpenLimit.count());
    const CURLcode results[] = {
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str()),
        curl_easy_setopt(handle, CURLOPT_USERAGENT, userAgent.c_str()),
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L),
        curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, transfer.ErrorText),
        // Only web addresses: a location from the network must not open a
        // local file or another kind of server.
        curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https"),
        curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"),
        curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L),
        curl_easy_setopt(handle, CURLOPT_MAXREDIRS, MaxRedirects),
        curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, openMs > 0 ? openMs : 1L),
        curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &OnHeaderLine),
        curl_easy_setopt(handle, CURLOPT_HEADERDATA, &transfer),
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &OnBodyData),
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer),
        curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &OnProgress),
        curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer),
        curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L),
    };
    for (const CURLcode result : results) {
        if (result != CURLE_OK)
            throw THttpError(THttpErrorKind::hekOpen, curl_easy_strerror(result));
    }
    // "host!" makes libcurl bind to that address rather than look for an
    // interface of that name.
    if (!transfer.Limits.LocalAddress.empty()) {
        const std::string local = "host!" + transfer.Limits.LocalAddress;
        const CURLcode result = curl_easy_setopt(handle, CURLOPT_INTERFACE, local.c_str());
        if (result != CURLE_OK)
            throw THttpError(THttpErrorKind::hekOpen, curl_easy_strerror(result));
    }
    return curl;
}

std::string Reason(CURLcode result, const TTransfer& transfer) {
    std::string reason = curl_easy_strerror(result);
    if (transfer.ErrorText[0] != '\0')
        reason += std::string(": ") + transfer.ErrorText;
    return reason;
}

}  // namespace

THttpError::THttpError(THttpErrorKind kind, std::string detail)
    : TError(KindText(kind)), m_kind(kind), m_detail(std::move(detail)) {}

std::string HttpGet(const std::string& url, const std::string& userAgent, const THttpLimits& limits) {
    TTransfer transfer(limits);
    TCurlPtr curl = OpenSession(url, userAgent, transfer);
    // libcurl keeps no cache of its own; these ask proxies on the way not to
    // answer from theirs either.
    TSlistPtr headers(curl_slist_append(nullptr, "Cache-Control: no-cache"));
    curl_slist* const withPragma = headers ? curl_slist_append(headers.get(), "Pragma: no-cache") : nullptr;
    if (!withPragma || curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, withPragma) != CURLE_OK ||
        curl_easy_setopt(curl.get(), CURLOPT_HTTPGET, 1L) != CURLE_OK)
        throw THttpError(THttpErrorKind::hekOpen, "request set-up failed");

    const CURLcode result = curl_easy_perform(curl.get());
    switch (transfer.Stop) {
        case TStop::stOpenTimeout:
            throw THttpError(THttpErrorKind::hekOpenUrl, "no answer within the open limit");
        case TStop::stReadTimeout:
            throw THttpError(THttpErrorKind::hekReadTimeout, "body not complete within the read limit");
        case TStop::stTooLarge:
            throw THttpError(THttpErrorKind::hekRead,
                             "body larger than " + std::to_string(limits.MaxBodyBytes) + " bytes");
        case TStop::stNone:
            break;
    }
    if (result != CURLE_OK) {
        // Once an answer's headers are in, the URL counts as opened and what
        // fails afterwards is the reading.
        const auto kind = transfer.HeadersEnd ? THttpErrorKind::hekRead : THttpErrorKind::hekOpenUrl;
        throw THttpError(kind, Reason(result, transfer));
    }
    return std::move(transfer.Body);
}

std::chrono::local_seconds HttpHeadLastModified(const std::string& url, const std::string& userAgent,
                                                const THttpLimits& limits) {
    TTransfer transfer(limits);
    TCurlPtr curl = OpenSession(url, userAgent, transfer);
    if (!StartsWithNoCase(url, "http://"))
        throw THttpError(THttpErrorKind::hekSendRequest, "not an http:// URL");
    if (curl_easy_setopt(curl.get(), CURLOPT_NOBODY, 1L) != CURLE_OK)
        throw THttpError(THttpErrorKind::hekOpen, "request set-up failed");

    const CURLcode result = curl_easy_perform(curl.get());
    if (result != CURLE_OK)
        throw THttpError(THttpErrorKind::hekSendRequest, Reason(result, transfer));
    if (!transfer.LastModified || transfer.LastModified->empty() ||
        transfer.LastModified->size() > MaxDateChars)
        throw THttpError(THttpErrorKind::hekQueryInfo, "no Last-Modified header");
    // curl_getdate reads the three date forms HTTP allows and returns GMT.
    const std::time_t modified = curl_getdate(transfer.LastModified->c_str(), nullptr);
    if (modified == -1)
        throw THttpError(THttpErrorKind::hekQueryInfo,
                         "Last-Modified is not a date: " + *transfer.LastModified);
    // Japan time is GMT + 9 hours; counting in seconds carries into the next
    // day, month and year by itself.
    return std::chrono::local_seconds{std::chrono::seconds{modified}} + std::chrono::hours{9};
}

}  // namespace fwp
