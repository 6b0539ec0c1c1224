#include "connect/http.h"

#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include <gtest/gtest.h>
#include <httplib.h>

#include "tests/connect/http_server.h"
#include "tests/connect/tcp_server.h"
#include "tests/support/sandbox.h"

namespace fwp {
namespace {

using namespace std::chrono_literals;
using std::chrono::April;
using std::chrono::February;
using std::chrono::January;
using std::chrono::local_days;
using std::chrono::March;

using TWebServer = test::TLoopbackHttpServer;

std::string RawURL(const test::TLoopbackTcpServer& server, std::string_view path = "/file.txt") {
    return "http://127.0.0.1:" + std::to_string(server.Port()) + std::string(path);
}

bool HasHeaderEnd(std::string_view received) {
    return received.find("\r\n\r\n") != std::string_view::npos;
}

THttpErrorKind KindOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const THttpError& error) {
        return error.Kind();
    }
    ADD_FAILURE() << "no THttpError was thrown";
    return THttpErrorKind::hekOpen;
}

TEST(HttpError, EveryKindCarriesItsFixedText) {
    const std::pair<THttpErrorKind, std::string_view> cases[] = {
        {THttpErrorKind::hekOpen, "InternetOpen エラー"},
        {THttpErrorKind::hekOpenUrl, "InternetOpenUrl エラー"},
        {THttpErrorKind::hekRead, "InternetReadFile エラー"},
        {THttpErrorKind::hekReadTimeout, "InternetReadFile タイムアウト"},
        {THttpErrorKind::hekSendRequest, "HttpSendRequest エラー"},
        {THttpErrorKind::hekQueryInfo, "HttpQueryInfo エラー"},
    };
    for (const auto& [kind, text] : cases) {
        const THttpError error(kind, "libcurl's reason");
        EXPECT_EQ(error.what(), text);
        EXPECT_EQ(error.Detail(), "libcurl's reason");
    }
}

TEST(HttpGet, BodyComesBackWholeAndInOrderWhateverTheStatus) {
    TWebServer web;
    const std::string page = "<html><head><title>404 Not Found</title></head><body>gone</body></html>";
    web.Server().Get("/easy.cgi", [&](const httplib::Request&, httplib::Response& response) {
        response.status = 404;
        response.set_content(page, "text/html");
    });
    const std::string body = test::RandomBytes(20000, 7);
    web.Server().Get("/big", [&](const httplib::Request&, httplib::Response& response) {
        // Chunks of 1 to 13 bytes, each written to the socket on its own.
        response.set_chunked_content_provider(
            "application/octet-stream", [&](std::size_t offset, httplib::DataSink& sink) {
                if (offset >= body.size()) {
                    sink.done();
                    return true;
                }
                const std::size_t size = std::min<std::size_t>(1 + offset % 13, body.size() - offset);
                return sink.write(body.data() + offset, size);
            });
    });
    // An error page is returned as text.
    EXPECT_EQ(HttpGet(web.URL("/easy.cgi"), "fwpost/1.0"), page);
    const std::string got = HttpGet(web.URL("/big"), "fwpost/1.0");
    EXPECT_EQ(got.size(), body.size());
    EXPECT_TRUE(got == body);
}

TEST(Http, BothRequestsSendTheCallersAgentAndOnlyGetAsksPastCaches) {
    TWebServer web;
    std::mutex mutex;
    std::string method;
    httplib::Headers seen;
    web.Server().Get("/history.txt", [&](const httplib::Request& request, httplib::Response& response) {
        const std::lock_guard lock(mutex);
        method = request.method;
        seen = request.headers;
        response.set_header("Last-Modified", "Sun, 31 Mar 2024 10:00:00 GMT");
        response.set_content("history", "text/plain");
    });
    // The method, or a header as sent ("0 times" when missing).
    const auto header = [&](const std::string& name) {
        const std::lock_guard lock(mutex);
        if (name == "method")
            return method;
        return seen.count(name) == 1 ? seen.find(name)->second : std::to_string(seen.count(name)) + " times";
    };

    HttpGet(web.URL("/history.txt"), "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)");
    EXPECT_EQ(header("method"), "GET");
    EXPECT_EQ(header("User-Agent"), "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)");
    EXPECT_EQ(header("Cache-Control"), "no-cache");

    HttpHeadLastModified(web.URL("/history.txt"), "Fernwaypost GetVersion/1.0");
    EXPECT_EQ(header("method"), "HEAD");
    EXPECT_EQ(header("User-Agent"), "Fernwaypost GetVersion/1.0");
    EXPECT_EQ(header("Cache-Control"), "0 times");
}

TEST(HttpGet, EachWayToFailGivesItsErrorKind) {
    const test::TClosedPort closed;
    const test::TSandbox sandbox;
    const auto file = sandbox.WriteFile("secret.txt", "not for routers");
    test::TLoopbackTcpServer silent([](test::TServerConnection& connection) { connection.ReadToEnd(); });
    test::TLoopbackTcpServer breaksOff([](test::TServerConnection& connection) {
        connection.ReadUntil(HasHeaderEnd);
        connection.Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789");
    });
    test::TLoopbackTcpServer trickles([](test::TServerConnection& connection) {
        // One byte after another until the client hangs up.
        connection.ReadUntil(HasHeaderEnd);
        connection.Send("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\n");
        while (!connection.PeerClosedWithin(20ms) && connection.Send("x")) {
        }
    });
    test::TLoopbackTcpServer silentAfterHeaders([](test::TServerConnection& connection) {
        connection.ReadUntil(HasHeaderEnd);
        connection.Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n");
        connection.ReadToEnd();
    });
    TWebServer web;
    web.Server().Get("/4096", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(std::string(4096, 'a'), "text/plain");
    });
    web.Server().Get("/4097", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(std::string(4097, 'a'), "text/plain");
    });
    EXPECT_EQ(HttpGet(web.URL("/4096"), "fwpost/1.0", {.MaxBodyBytes = 4096}).size(), 4096u);

    struct TCase {
        const char* name;
        std::string url;
        THttpLimits limits;
        THttpErrorKind kind;
    };
    const TCase cases[] = {
        {"connection refused", closed.URL("/easy.cgi"), {}, THttpErrorKind::hekOpenUrl},
        // A location taken from the network must not read a local file.
        {"not a web address", "file://" + file.string(), {}, THttpErrorKind::hekOpenUrl},
        {"no answer within the open limit", RawURL(silent), {.OpenLimit = 300ms}, THttpErrorKind::hekOpenUrl},
        {"body breaks off", RawURL(breaksOff), {}, THttpErrorKind::hekRead},
        {"body larger than the size limit",
         web.URL("/4097"),
         {.MaxBodyBytes = 4096},
         THttpErrorKind::hekRead},
        {"body still arriving after the read limit",
         RawURL(trickles),
         {.ReadLimit = 200ms},
         THttpErrorKind::hekReadTimeout},
        {"silence after the headers",
         RawURL(silentAfterHeaders),
         {.ReadLimit = 200ms},
         THttpErrorKind::hekReadTimeout},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(KindOf([&] { HttpGet(c.url, "fwpost/1.0", c.limits); }), c.kind);
    }
}

// Sets an environment variable for one test and restores its absence after.
class TScopedVariable {
public:
    TScopedVariable(const char* name, const std::string& value) : m_name(name) {
        ::setenv(name, value.c_str(), 1);
    }
    ~TScopedVariable() { ::unsetenv(m_name); }
    TScopedVariable(const TScopedVariable&) = delete;
    TScopedVariable& operator=(const TScopedVariable&) = delete;

private:
    const char* m_name;
};

TEST(HttpGet, GoesThroughTheProxyTheEnvironmentNames) {
    std::mutex mutex;
    std::string requestLine;
    test::TLoopbackTcpServer proxy([&](test::TServerConnection& connection) {
        connection.ReadUntil(HasHeaderEnd);
        {
            const std::lock_guard lock(mutex);
            requestLine = connection.Received().substr(0, connection.Received().find("\r\n"));
        }
        connection.Send("HTTP/1.1 200 OK\r\nContent-Length: 7\r\nConnection: close\r\n\r\nproxied");
    });
    // Without the proxy this request would be refused: nothing listens on
    // 127.0.0.2 port 9.
    const TScopedVariable variable("http_proxy", "http://127.0.0.1:" + std::to_string(proxy.Port()));
    EXPECT_EQ(HttpGet("http://127.0.0.2:9/history.txt", "fwpost/1.0"), "proxied");
    const std::lock_guard lock(mutex);
    EXPECT_EQ(requestLine, "GET http://127.0.0.2:9/history.txt HTTP/1.1");
}

TEST(HttpHeadLastModified, MovesGmtNineHoursAheadWithCalendarCarryAndNeedsAUsableDate) {
    struct TCase {
        std::string header;                                  // empty: none sent
        std::optional<std::chrono::local_seconds> expected;  // none: hekQueryInfo
    };
    using std::chrono::year;
    const TCase cases[] = {
        // 20:00 GMT on the 31st is 05:00 on the 1st of the next month.
        {"Sun, 31 Mar 2024 20:00:00 GMT", local_days{year{2024} / April / 1} + 5h},
        // 10:00 GMT on the 31st stays on the 31st.
        {"Sun, 31 Mar 2024 10:00:00 GMT", local_days{year{2024} / March / 31} + 19h},
        // Into the next year, and through a leap day and a plain February.
        {"Tue, 31 Dec 2024 15:00:00 GMT", local_days{year{2025} / January / 1} + 0h},
        {"Wed, 28 Feb 2024 23:59:59 GMT", local_days{year{2024} / February / 29} + 8h + 59min + 59s},
        {"Tue, 28 Feb 2023 20:00:00 GMT", local_days{year{2023} / March / 1} + 5h},
        // The two older date forms HTTP allows.
        {"Sunday, 31-Mar-24 20:00:00 GMT", local_days{year{2024} / April / 1} + 5h},
        {"Sun Mar 31 20:00:00 2024", local_days{year{2024} / April / 1} + 5h},
        {"", std::nullopt},
        {"yesterday evening", std::nullopt},
        // A date, but longer than the 255 characters that are read.
        {"Sun, 31 Mar 2024 10:00:00 GMT" + std::string(240, ' ') + "x", std::nullopt},
    };
    TWebServer web;
    web.Server().Get(R"(/(\d+))", [&](const httplib::Request& request, httplib::Response& response) {
        const std::string& header = cases[std::stoul(request.matches[1])].header;
        if (!header.empty())
            response.set_header("Last-Modified", header);
        response.set_content("history", "text/plain");
    });
    const std::string agent = "Fernwaypost GetVersion/1.0";
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].header);
        const std::string url = web.URL("/" + std::to_string(i));
        if (cases[i].expected)
            EXPECT_EQ(HttpHeadLastModified(url, agent), *cases[i].expected);
        else
            EXPECT_EQ(KindOf([&] { HttpHeadLastModified(url, agent); }), THttpErrorKind::hekQueryInfo);
    }
    // No answer at all.
    const test::TClosedPort closed;
    EXPECT_EQ(KindOf([&] { HttpHeadLastModified(closed.URL("/history.txt"), agent); }),
              THttpErrorKind::hekSendRequest);
}

}  // namespace
}  // namespace fwp
