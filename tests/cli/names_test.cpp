// File names, automatic resume and the receive side's errors, as a user meets
// them with fwpost: real processes on loopback, real files.
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "tests/cli/fwpost_fixture.h"
#include "tests/support/process.h"
#include "tests/support/raw_peer.h"
#include "tests/support/sandbox.h"

namespace fwp::test {
namespace {

const std::string FwpostPath = BinaryPath("fwpost");

class Names : public TFwpostTest {
protected:
    // One session: a listener receiving into in/ and a connector sending files.
    void SendInOneSession(const std::vector<std::string>& files,
                          std::vector<std::string>* listenerLines = nullptr) {
        auto listener = Listen({"-y", "-d", in.string()});
        ASSERT_NE(port, 0);
        auto connector = Connect(files);
        EXPECT_EQ(connector->Wait(), 0) << connector->ErrorOutput();
        EXPECT_EQ(listener->Wait(), 0) << listener->ErrorOutput();
        if (listenerLines)
            *listenerLines = listener->Lines();
    }
    // The names in the receive folder with their contents.
    std::map<std::string, std::string> Received() const {
        std::map<std::string, std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(in))
            files[entry.path().filename().string()] = ReadAll(entry.path());
        return files;
    }
    // Waits (bounded) until the file holds at least size bytes.
    static bool WaitForSize(const std::filesystem::path& path, std::uintmax_t size) {
        for (int i = 0; i < 4000; ++i) {
            std::error_code ec;
            if (std::filesystem::file_size(path, ec) >= size && !ec)
                return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }
    // A raw peer that connects to the listener and offers a 10-byte file,
    // sending its first five bytes.
    void OfferHalf(TRawPeer& raw, const std::string& name) {
        ASSERT_TRUE(raw.Connect(port));
        ASSERT_TRUE(raw.Handshake());
        raw.SendLines({"#TRANSDATA", "7", "FileTransfering:" + name, "10"});
        ASSERT_TRUE(raw.ExpectLine("$ACPT", 20s));
        raw.SendLines({"#TRANSDATA", "7", "10"});
        raw.SendLines({"#TRANSDATA", "7", "0", "0", "5", "5"});
        raw.Send("12345");
        ASSERT_TRUE(WaitForSize(in / name, 5));
    }
};

TEST_F(Names, NamesCp932CannotHoldNeverMergeTwoFilesIntoOne) {
    const auto a = box.WriteFile("a/한국어.txt", "AAAAAAAAAA");
    const auto b = box.WriteFile("b/ÀÉÎ.txt", std::string(30, 'B'));
    SendInOneSession({a.string()});
    SendInOneSession({b.string()});
    std::multiset<std::string> contents;
    for (const auto& [name, content] : Received())
        contents.insert(content);
    EXPECT_EQ(contents, (std::multiset<std::string>{"AAAAAAAAAA", std::string(30, 'B')}));
}

TEST_F(Names, ASecondFileWithTheSameNameNeverMergesIntoTheFirst) {
    const auto first = box.WriteFile("one/photo.jpg", "first photo");
    const auto second = box.WriteFile("two/photo.jpg", "second, longer photo");
    SendInOneSession({first.string()});
    std::vector<std::string> lines;
    SendInOneSession({second.string()}, &lines);
    const std::map<std::string, std::string> expected = {{"photo.jpg", "first photo"},
                                                         {"photo (1).jpg", "second, longer photo"}};
    EXPECT_EQ(Received(), expected);
    EXPECT_TRUE(HasLine(lines, "saved photo.jpg as photo (1).jpg"));
}

TEST_F(Names, AKilledReceiversFileIsResumedByTheNextSessionOfTheSameFile) {
    const auto file = box.WriteFile("out/a.bin", "1234567890");
    {
        auto listener = Listen({"-y", "-d", in.string()});
        ASSERT_NE(port, 0);
        TRawPeer raw;
        OfferHalf(raw, "a.bin");
        listener->Signal(SIGKILL);
        listener->Wait();
    }
    std::vector<std::string> lines;
    SendInOneSession({file.string()}, &lines);
    const std::map<std::string, std::string> expected = {{"a.bin", "1234567890"}};
    EXPECT_EQ(Received(), expected);
    for (const auto& line : lines)
        EXPECT_FALSE(line.starts_with("saved ")) << line;
}

TEST_F(Names, NamesArriveExactlyBetweenTwoCopies) {
    const std::vector<std::string> names = {"한국어.txt", "😀.txt", "〜−.txt", "a\\b.txt", "ソフト.txt"};
    std::vector<std::string> files;
    for (const auto& name : names)
        files.push_back(box.WriteFile("out/" + name, name).string());
    SendInOneSession(files);
    std::map<std::string, std::string> expected;
    for (const auto& name : names)
        expected[name] = name;
    EXPECT_EQ(Received(), expected);
}

TEST_F(Names, AClassicPeerIsOfferedAUniqueRecognisableCp932Name) {
    const auto file = box.WriteFile("out/한국어.txt", "x");
    TRawPeer classic;
    const int classicPort = classic.Listen();
    auto connector = Connect({file.string()}, classicPort);
    ASSERT_TRUE(classic.Accept());
    classic.SendLines({"Fernwaypost Protocol Version 0.90", "127.0.0.1"});
    ASSERT_TRUE(classic.ReadLine() && classic.ReadLine());
    classic.SendLines({"32768"});
    ASSERT_TRUE(classic.ExpectLine("#TRANSDATA", 20s));
    classic.ReadLine();  // the task id
    EXPECT_EQ(classic.ReadLine(), "FileTransfering:___-267f7b.txt");
    classic.SendLines({"#TERMINATE"});
    EXPECT_TRUE(connector->Wait());
    classic.Close();
    EXPECT_NE(connector->ErrorOutput().find("名前を変更して送信: 한국어.txt → ___-267f7b.txt"),
              std::string::npos)
        << connector->ErrorOutput();
}

TEST_F(Names, APipeIsRefusedAtOnce) {
    const auto pipe = box.Path("p");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
    auto listener = Listen({"-y", "-d", in.string()});
    auto connector = Connect({pipe.string()});
    EXPECT_EQ(connector->Wait(20s), 1);
    EXPECT_TRUE(HasLine(connector->Lines(), "done p ファイルオープンエラー"));
    EXPECT_NE(connector->ErrorOutput().find("通常のファイルではありません"), std::string::npos);
    EXPECT_EQ(listener->Wait(), 0);
}

TEST_F(Names, InterruptAndTerminateEndARunningSendInOrder) {
    const auto a = box.WriteRandomFile("out/a.bin", 3'000'000, 1);
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        auto listener = Listen({"-y", "-d", in.string(), "--no-resume"});
        auto connector = Connect({"-b", "8192", "--limit-rate", "1M", a.string()});
        ASSERT_TRUE(listener->WaitForLine("offer a.bin"));
        connector->Signal(signal);
        EXPECT_EQ(connector->Wait(20s), 1);
        EXPECT_EQ(listener->Wait(20s), 1);
        EXPECT_TRUE(HasLine(connector->Lines(), "done a.bin 中断"));
    }
}

TEST_F(Names, ASecondInterruptEndsTheProgramAtOnce) {
    // The peer accepts the connection and never answers: the handshake waits.
    TRawPeer silent;
    const int silentPort = silent.Listen();
    auto connector = Connect({}, silentPort);
    ASSERT_TRUE(silent.Accept());
    ASSERT_TRUE(silent.ReadLine(20s));
    // Two signals sent at once may merge into one: repeat until the program ends.
    std::optional<int> status;
    for (int i = 0; i < 100 && !status; ++i) {
        connector->Signal(SIGINT);
        status = connector->Wait(100ms);
    }
    EXPECT_EQ(status, 128 + SIGINT);
}

TEST_F(Names, AReceiveWhoseFolderVanishesIsNoSuccess) {
    auto listener = Listen({"-y", "-d", in.string()});
    ASSERT_NE(port, 0);
    TRawPeer raw;
    OfferHalf(raw, "d.bin");
    std::filesystem::remove_all(in);
    raw.SendLines({"#TRANSDATA", "7", "5", "0", "5", "5"});
    raw.Send("67890");
    const auto done = listener->WaitForLine("done d.bin");
    raw.SendLines({"#TERMINATE"});
    raw.Close();
    EXPECT_EQ(done.value_or(""), "done d.bin 受信側エラー");
    EXPECT_EQ(listener->Wait(), 1);
    EXPECT_NE(listener->ErrorOutput().find("d.bin: ファイルが保存先から削除または移動されました"),
              std::string::npos)
        << listener->ErrorOutput();
}

TEST_F(Names, AFullDiskIsStatedAsTheReason) {
    const auto a = box.WriteRandomFile("out/a.bin", 2'000'000, 1);
    const std::string folder = in.string();
    const struct {
        const char* what;
        std::function<void()> limit;  // runs in the listener before it starts
        const char* reason;
    } cases[] = {
        {"size limit",
         [] {
             rlimit limit{300'000, 300'000};
             ::setrlimit(RLIMIT_FSIZE, &limit);
         },
         "a.bin: ファイルサイズの上限を超えました"},
        // A small file system of the listener's own, gone with it.
        {"full file system",
         [folder] {
             if (::unshare(CLONE_NEWNS) != 0 ||
                 ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                 ::mount("fwp-test", folder.c_str(), "tmpfs", 0, "size=256k") != 0)
                 ::_exit(125);
         },
         "a.bin: ディスクの空きがありません"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(in / "a.bin");
        auto listener = Listen({"-y", "-d", in.string()}, c.limit);
        if (port == 0 && listener->Wait() == 125) {
            std::cout << "[  SKIPPED ] " << c.what << ": no mount namespace here\n";
            continue;
        }
        auto connector = Connect({"-b", "262144", a.string()});
        EXPECT_EQ(connector->Wait(), 1);
        EXPECT_EQ(listener->Wait(), 1);
        EXPECT_TRUE(HasLine(listener->Lines(), "done a.bin 受信側エラー"));
        EXPECT_NE(listener->ErrorOutput().find(c.reason), std::string::npos) << listener->ErrorOutput();
    }
}

TEST_F(Names, AReadOnlyReceiveFolderIsStatedAsTheReason) {
    // Root writes anywhere: the listener then runs as the unprivileged user.
    std::filesystem::permissions(
        box.Root(), std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                        std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                        std::filesystem::perms::others_exec);
    std::filesystem::permissions(in, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec |
                                         std::filesystem::perms::others_read |
                                         std::filesystem::perms::others_exec);
    const auto a = box.WriteFile("out/a.bin", "abc");
    auto listener = Listen({"-y", "-d", in.string()}, [] {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(126);
    });
    ASSERT_NE(port, 0) << listener->ErrorOutput();
    auto connector = Connect({a.string()});
    EXPECT_EQ(connector->Wait(), 1);
    EXPECT_TRUE(HasLine(connector->Lines(), "done a.bin 拒否"));
    EXPECT_EQ(listener->Wait(), 1);
    EXPECT_NE(listener->ErrorOutput().find("アクセスが拒否されました"), std::string::npos)
        << listener->ErrorOutput();
    std::filesystem::permissions(in, std::filesystem::perms::owner_all);
}

}  // namespace
}  // namespace fwp::test
