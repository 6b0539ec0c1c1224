#include "cli/options.h"

#include <gtest/gtest.h>

namespace fwp::cli {
namespace {

TOptions Parse(std::vector<std::string> words) {
    std::vector<char*> argv{const_cast<char*>("fwpost")};
    for (auto& word : words)
        argv.push_back(word.data());
    return ParseOptions(static_cast<int>(argv.size()), argv.data());
}

TEST(Options, ListenAndConnectTakeTheirWordsAndOptions) {
    const TOptions listen =
        Parse({"listen", "-p", "0", "-yq", "--receive-to=/tmp/in", "--secret", "-", "a.bin", "b.bin"});
    EXPECT_EQ(listen.Command, TCommand::cmListen);
    EXPECT_EQ(listen.Port, 0);
    EXPECT_TRUE(listen.AutoReceive);
    EXPECT_TRUE(listen.Quiet);
    EXPECT_EQ(listen.ReceiveTo, "/tmp/in");
    EXPECT_EQ(listen.Secret, "-");
    EXPECT_EQ(listen.Files, (std::vector<std::string>{"a.bin", "b.bin"}));

    const TOptions connect =
        Parse({"connect", "peer.example", "-tcrypt", "-b", "4096", "-m3", "-s", "hi", "--say", "ho", "--stay",
               "--no-resume", "-c", "my.ini", "--", "-odd-name"});
    EXPECT_EQ(connect.Command, TCommand::cmConnect);
    EXPECT_EQ(connect.Host, "peer.example");
    EXPECT_EQ(connect.PacketType, 2);
    EXPECT_EQ(connect.BufferSize, 4096);
    EXPECT_EQ(connect.MaxSend, 3);
    EXPECT_EQ(connect.Say, (std::vector<std::string>{"hi", "ho"}));
    EXPECT_TRUE(connect.Stay);
    EXPECT_TRUE(connect.NoResume);
    EXPECT_EQ(connect.ConfigFile, "my.ini");
    EXPECT_EQ(connect.Files, (std::vector<std::string>{"-odd-name"}));
    EXPECT_FALSE(connect.Port);
}

TEST(Options, RatesTakeKAndMSuffixesOf1024) {
    const struct {
        const char* text;
        std::int64_t bytes;
    } cases[] = {{"0", 0}, {"1500", 1500}, {"800K", 819'200}, {"1M", 1'048'576}, {"2m", 2'097'152}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const TOptions options = Parse({"connect", "h", "--limit-rate", c.text, "--chat"});
        EXPECT_EQ(options.LimitRate, c.bytes);
        EXPECT_TRUE(options.Chat);
    }
}

TEST(Options, HelpAndVersionWinOverEverythingElse) {
    EXPECT_EQ(Parse({"listen", "--help"}).Command, TCommand::cmHelp);
    EXPECT_EQ(Parse({"-h"}).Command, TCommand::cmHelp);
    EXPECT_EQ(Parse({"--version"}).Command, TCommand::cmVersion);
}

TEST(Options, UsageErrorsAreRefused) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"serve"},
        {"connect"},
        {"listen", "--port"},
        {"listen", "-p", "70000"},
        {"listen", "-p", "x"},
        {"listen", "-t", "zip"},
        {"listen", "-b", "100"},
        {"listen", "-m", "0"},
        {"listen", "--bogus"},
        {"listen", "-Z"},
        {"listen", "--stay=1"},
        {"listen", "--secret", ""},
        {"upnp", "--secret", "phrase"},
        {"listen", "--limit-rate", "-1"},
        {"listen", "--limit-rate", "1G"},
        {"listen", "--limit-rate", "K"},
        {"listen", "--chat=yes"},
    };
    for (const auto& words : bad) {
        SCOPED_TRACE(testing::PrintToString(words));
        EXPECT_THROW(Parse(words), TUsageError);
    }
}

}  // namespace
}  // namespace fwp::cli
