// fwpost through the service's relay: two real fwpost and a real
// fwpost-rendezvous on loopback, with a recording proxy in front of the relay.
#include <csignal>
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include "connect/easy_service.h"
#include "tests/support/loopback.h"
#include "tests/cli/fwpost_fixture.h"
#include "tests/support/process.h"
#include "tests/support/proxy.h"
#include "tests/support/sandbox.h"

namespace fwp::test {
namespace {

const std::string FwpostPath = BinaryPath("fwpost");
constexpr const char* WrongPhraseText = "合言葉が一致しません。";
constexpr std::string_view Marker = "FERNWAYPOST-PLAINTEXT-MARKER ";

class RelaySession : public TFwpostTest {
protected:
    void SetUp() override {
        TFwpostTest::SetUp();
        // The proxy stands where clients are told the relay is, so the test
        // sees every byte the relay carries.
        relayPort = FreePort();
        proxy = std::make_unique<TForwardingProxy>(relayPort);
        proxy->SetRecording(true);
        service = std::make_unique<TProcess>(
            BinaryPath("fwpost-rendezvous"),
            std::vector<std::string>{"--listen", "127.0.0.1:0", "--db", ":memory:", "--rate-limit", "0",
                                     "--relay-listen", "127.0.0.1:" + std::to_string(relayPort),
                                     "--relay-advertise", "127.0.0.1:" + std::to_string(proxy->Port())});
        const auto started = service->WaitForLine("listening ");
        ASSERT_TRUE(started) << service->ErrorOutput();
        url = "http://" + started->substr(10, started->find(' ', 10) - 10) + "/easy.cgi";
    }
    std::unique_ptr<TProcess> Listen(std::vector<std::string> args) {
        args.insert(args.begin(),
                    {"listen", "-p", "0", "-c", config, "--service-url", url, "--register", "alice"});
        auto process = std::make_unique<TProcess>(FwpostPath, args, box.Root().string());
        const auto line = process->WaitForLine("listening ");
        port = line ? std::stoi(line->substr(10)) : 0;
        return process;
    }
    std::unique_ptr<TProcess> Connect(std::vector<std::string> args) {
        args.insert(args.begin(), {"connect", "--user", "alice", "-c", config, "--service-url", url});
        return std::make_unique<TProcess>(FwpostPath, args, box.Root().string());
    }
    // Re-registers alice from the same address at a port where nothing
    // listens, as a peer behind a carrier NAT looks from outside.
    void MakeAliceUnreachable() {
        TEasyServiceClient client(url);
        ASSERT_TRUE(client.EasyServiceOpen("alice", FreePort(), "127.0.0.1"));
    }
    std::filesystem::path MarkedFile(const std::string& name, std::size_t repeats) {
        std::string text;
        for (std::size_t i = 0; i < repeats; ++i)
            text += std::string(Marker) + std::to_string(i) + "\n";
        return box.WriteFile("out/" + name, text);
    }
    std::string RelayedAddress() const { return "relayed 127.0.0.1:" + std::to_string(proxy->Port()); }

    int relayPort = 0;
    std::unique_ptr<TForwardingProxy> proxy;
    std::unique_ptr<TProcess> service;
    std::string url;
};

TEST_F(RelaySession, FilesGoBothWaysThroughTheRelayAndItCarriesOnlyCiphertext) {
    const auto up = MarkedFile("up-secret-name.txt", 20'000);
    const auto down = MarkedFile("down-secret-name.txt", 3'000);
    auto listener = Listen({"-y", "-d", in.string(), "--secret", "pass", "--relay", down.string()});
    ASSERT_NE(port, 0) << listener->ErrorOutput();
    auto connector = Connect({"-y", "-d", in.string(), "--relay", "--secret", "pass", up.string()});
    EXPECT_EQ(connector->Wait(), 0) << connector->ErrorOutput();
    EXPECT_EQ(listener->Wait(), 0) << listener->ErrorOutput();
    EXPECT_TRUE(HasLine(*connector, RelayedAddress()));
    EXPECT_TRUE(HasLine(*listener, RelayedAddress()));
    EXPECT_TRUE(HasLine(*connector, "secured"));
    EXPECT_EQ(ReadAll(in / "up-secret-name.txt"), ReadAll(up));
    EXPECT_EQ(ReadAll(in / "down-secret-name.txt"), ReadAll(down));

    const std::string carried = proxy->Recorded();
    EXPECT_GT(carried.size(), ReadAll(up).size());
    EXPECT_EQ(carried.find(Marker), std::string::npos);
    EXPECT_EQ(carried.find("secret-name"), std::string::npos);
    // The relay's own count of the pair's bytes.
    bool counted = false;
    while (!counted) {
        const auto line = service->ReadLine();
        if (!line)
            break;
        if (const std::size_t at = line->find("relay pair ended"); at != std::string::npos)
            counted = std::stoull(line->substr(line->find(" bytes ") + 7)) >= ReadAll(up).size();
    }
    EXPECT_TRUE(counted);
}

TEST_F(RelaySession, AnUnreachablePeerIsReachedThroughTheRelayWithoutBeingAskedTo) {
    const auto up = box.WriteRandomFile("out/up.bin", 300'000, 1);
    auto listener = Listen({"-y", "-d", in.string(), "--secret", "pass", "--relay"});
    ASSERT_NE(port, 0) << listener->ErrorOutput();
    MakeAliceUnreachable();
    auto connector = Connect({"--secret", "pass", up.string()});
    EXPECT_EQ(connector->Wait(), 0) << connector->ErrorOutput();
    listener->Signal(SIGTERM);
    listener->Wait();
    EXPECT_TRUE(HasLine(*connector, RelayedAddress()));
    EXPECT_EQ(ReadAll(in / "up.bin"), ReadAll(up));
}

TEST_F(RelaySession, AWrongPhraseThroughTheRelayFailsAndNoFileIsMade) {
    const auto up = box.WriteRandomFile("out/up.bin", 1000, 1);
    auto listener = Listen({"-y", "-d", in.string(), "--secret", "correct horse", "--relay"});
    ASSERT_NE(port, 0) << listener->ErrorOutput();
    auto connector = Connect({"--relay", "--secret", "correct horse battery", up.string()});
    EXPECT_EQ(connector->Wait(), 2);
    EXPECT_NE(connector->ErrorOutput().find(WrongPhraseText), std::string::npos) << connector->ErrorOutput();
    EXPECT_FALSE(HasLine(*connector, "secured"));
    EXPECT_TRUE(listener->WaitForError(WrongPhraseText)) << listener->ErrorOutput();
    listener->Signal(SIGTERM);
    listener->Wait();
    EXPECT_TRUE(std::filesystem::is_empty(in));
}

TEST_F(RelaySession, ACutRelayedLinkReconnectsThroughTheRelayAndFinishes) {
    const auto up = box.WriteRandomFile("out/up.bin", 4'000'000, 1);
    const auto down = box.WriteRandomFile("out/down.bin", 2'000'000, 2);
    proxy->SetRecording(false);
    // Slowed down, so that the cut falls in the middle of the transfers.
    auto listener = Listen({"-y", "-d", in.string(), "-b", "131072", "-q", "--limit-rate", "2M", "--secret",
                            "pass", "--relay", down.string()});
    ASSERT_NE(port, 0) << listener->ErrorOutput();
    auto connector = Connect({"-y", "-d", in.string(), "-b", "131072", "-q", "--limit-rate", "2M", "--relay",
                              "--secret", "pass", up.string()});
    for (int i = 0; i < 2000 && proxy->BytesForwarded() < 1'000'000; ++i)
        std::this_thread::sleep_for(5ms);
    proxy->Cut();
    EXPECT_EQ(connector->Wait(), 0) << connector->ErrorOutput();
    EXPECT_EQ(listener->Wait(), 0) << listener->ErrorOutput();
    EXPECT_TRUE(HasLine(*connector, "reconnected"));
    EXPECT_EQ(ReadAll(in / "up.bin"), ReadAll(up));
    EXPECT_EQ(ReadAll(in / "down.bin"), ReadAll(down));
}

TEST(RelayOptions, TheRelayWithoutAPassphraseIsAUsageError) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"connect", "--user", "alice", "--relay"},
          std::vector<std::string>{"listen", "--register", "alice", "--relay"}}) {
        SCOPED_TRACE(args[0]);
        TProcess fwpost("/usr/bin/env", [&] {
            std::vector<std::string> all{"-u", "FWP_SECRET", FwpostPath};
            all.insert(all.end(), args.begin(), args.end());
            return all;
        }());
        EXPECT_EQ(fwpost.Wait(), 2);
        EXPECT_NE(fwpost.ErrorOutput().find("--relay needs --secret"), std::string::npos)
            << fwpost.ErrorOutput();
    }
}

}  // namespace
}  // namespace fwp::test
