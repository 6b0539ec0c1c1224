#include <cstdlib>
#include <initializer_list>

// Runs before any test: no search may reach the real network unless a test
// points it at its own responder, and no proxy from the environment may carry
// a loopback request off the machine.
namespace {

const bool EnvironmentReady = [] {
    ::setenv("FWP_SSDP_TARGET", "off", 1);
    for (const char* name :
         {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        ::unsetenv(name);
    return true;
}();

}  // namespace
