#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>
#include <thread>

#include <pthread.h>
#include <sys/resource.h>

#include "server/options.h"
#include "server/redis_registry.h"
#include "server/relay.h"
#include "server/rendezvous_server.h"
#include "server/sqlite_registry.h"

namespace {

using namespace fwp::server;

std::unique_ptr<TRegistry> OpenRegistry(const TServerOptions& options, std::string& description) {
    if (options.Redis) {
        description = "redis " + options.Redis->Host + ":" + std::to_string(options.Redis->Port);
        return std::make_unique<TRedisRegistry>(options.Redis->Host, options.Redis->Port);
    }
    std::string path = options.Db;
    if (path.empty()) {
        path = DefaultDatabasePath();
        std::error_code error;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
    }
    description = "sqlite " + path;
    return std::make_unique<TSqliteRegistry>(path);
}

}  // namespace

int main(int argc, char** argv) {
    TServerOptions options;
    try {
        options = ParseServerOptions(argc, argv);
    } catch (const TUsageError& error) {
        std::fprintf(stderr, "fwpost-rendezvous: %s\n\n%s", error.what(), ServerUsageText);
        return 2;
    }
    if (options.Help) {
        std::fputs(ServerUsageText, stdout);
        return 0;
    }

    // Stop signals are taken by one thread of ours (sigwait below); every
    // thread started from here on inherits the blocked mask. SIGUSR1 only
    // wakes that thread when the server ends on its own.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A client that goes away mid-reply must not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    // Every connection, idle ones included, is a socket: allow as many as
    // the system lets this process have.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }

    std::unique_ptr<TRegistry> registry;
    std::string storage;
    try {
        registry = OpenRegistry(options, storage);
    } catch (const TRegistryError& error) {
        std::fprintf(stderr, "fwpost-rendezvous: %s\n", error.what());
        return 1;
    }
    std::unique_ptr<TRelay> relay;
    if (options.Relay) {
        relay = std::make_unique<TRelay>(*options.Relay, stdout);
        try {
            relay->SetSharedKey(registry->RelayKey());
        } catch (const TRegistryError& error) {
            std::fprintf(stderr, "fwpost-rendezvous: %s\n", error.what());
            return 1;
        }
        if (relay->Bind() <= 0 || !relay->Start()) {
            std::fprintf(stderr, "fwpost-rendezvous: cannot relay on %s:%d\n",
                         options.Relay->Listen.Host.c_str(), options.Relay->Listen.Port);
            return 1;
        }
        std::printf("relay %s\n", relay->Advertised().c_str());
    }
    TRendezvousServer server(options, *registry, stdout, relay.get());
    const int port = server.Bind();
    if (port <= 0) {
        std::fprintf(stderr, "fwpost-rendezvous: cannot listen on %s:%d\n", options.Listen.Host.c_str(),
                     options.Listen.Port);
        return 1;
    }
    std::printf("storage %s\n", storage.c_str());
    // An IPv6 address in brackets, as --listen takes it.
    const bool ipv6 = options.Listen.Host.find(':') != std::string::npos;
    std::printf("listening %s%s%s:%d %s\n", ipv6 ? "[" : "", options.Listen.Host.c_str(), ipv6 ? "]" : "",
                port, options.Path.c_str());
    std::fflush(stdout);

    std::thread stopper([&server, &signals] {
        int signal = 0;
        sigwait(&signals, &signal);
        if (signal != SIGUSR1)
            server.Stop();
    });
    const bool ran = server.Run();
    if (!ran)
        std::fprintf(stderr, "fwpost-rendezvous: the HTTP server could not be started\n");
    pthread_kill(stopper.native_handle(), SIGUSR1);
    stopper.join();
    if (relay)
        relay->Stop();
    registry.reset();
    std::printf("stopped\n");
    std::fflush(stdout);
    return ran ? 0 : 1;
}
