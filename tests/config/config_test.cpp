#include "config/config.h"

#include <csignal>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/resource.h>

#include "common/error.h"
#include "tests/config/permissions.h"
#include "tests/support/sandbox.h"

namespace fwp {
namespace {

namespace fs = std::filesystem;
using test::ReadAll;
using test::TSandbox;

using TList = std::vector<std::string>;

// A sandbox with a writable program folder "prog", so the default save folder is "<sandbox>/prog/".
class Config : public ::testing::Test {
protected:
    TConfigPlaces Places() const {
        TConfigPlaces places;
        places.ExeFolder = m_sandbox.Folder("prog");
        places.Home = m_sandbox.Folder("home");
        return places;
    }
    std::string ProgFolder() const { return m_sandbox.Path("prog").string() + "/"; }
    fs::path File() const { return m_sandbox.Path("prog/config.ini"); }
    TConfig Make() const { return TConfig(File(), Places()); }

    // A config loaded from a file holding section "Config" with the given lines.
    TConfig LoadFrom(const std::string& lines) const {
        m_sandbox.WriteFile("prog/config.ini", "[Config]\r\n" + lines);
        TConfig config = Make();
        config.Load();
        return config;
    }

    TSandbox m_sandbox;
};

// The file a first save writes with every field at its default.
std::string DefaultFile(const std::string& receiveTo) {
    return "[Config]\r\n"
           "UseEasyConnection=1\r\n"
           "UserName=\r\n"
           "UseUPnP=1\r\n"
           "DirectConnectTo=localhost\r\n"
           "Port=4006\r\n"
           "AutoReceive=0\r\n"
           "AutoResume=1\r\n"
           "AutoInviteAllowing=0\r\n"
           "ReceiveTo=" +
           receiveTo +
           "\r\n"
           "PacketType=0\r\n"
           "BufferSize=32768\r\n"
           "SoundAlarm=1\r\n"
           "MsgrUseEasyConnection=1\r\n"
           "Reconnect=1\r\n"
           "TimeViewMode=1\r\n"
           "MaxSendCount=3\r\n"
           "FirstRunning=0\r\n"
           "MinimizeOnTray=0\r\n";
}

TEST_F(Config, WithoutAFileEverySettingHasItsDefault) {
    TConfig config = Make();
    config.Load();
    EXPECT_EQ(config.UserName, "");
    EXPECT_TRUE(config.UseEasyConnection);
    EXPECT_TRUE(config.UseUPnP);
    EXPECT_EQ(config.Port, 4006);
    EXPECT_EQ(config.DirectConnectTo, TList{"localhost"});
    EXPECT_FALSE(config.AutoReceive);
    EXPECT_TRUE(config.AutoResume);
    EXPECT_FALSE(config.AutoInviteAllowing);
    EXPECT_EQ(config.ReceiveTo, ProgFolder());
    EXPECT_EQ(config.PacketType, 0);
    EXPECT_EQ(config.BufferSize, 32768);
    EXPECT_TRUE(config.SoundAlarm);
    EXPECT_TRUE(config.Reconnect);
    EXPECT_TRUE(config.TimeViewMode);
    EXPECT_EQ(config.MaxSendCount, 3);
    EXPECT_TRUE(config.MsgrUseEasyConnection);
    EXPECT_FALSE(config.MinimizeOnTray);
    EXPECT_TRUE(config.FirstRunning);
    EXPECT_EQ(config.EasyServiceURL, "http://fernwaypost.invalid/easy.cgi");
}

TEST_F(Config, TheFirstSaveWritesExactlyTheEighteenKeysInOrder) {
    TConfig config = Make();
    config.Load();
    config.Save();
    EXPECT_EQ(ReadAll(File()), DefaultFile(ProgFolder()));
}

TEST_F(Config, AFileThatCannotBeReadGivesTheDefaults) {
    m_sandbox.Folder("prog/config.ini");
    TConfig config = Make();
    config.Port = 1;
    config.DirectConnectTo.clear();
    config.Load();
    EXPECT_EQ(config.Port, 4006);
    EXPECT_EQ(config.DirectConnectTo, TList{"localhost"});
}

TEST_F(Config, LoadingGivesTheDefaultForEveryKeyTheFileLacks) {
    m_sandbox.WriteFile("prog/config.ini", "[Config]\r\nUserName=x\r\n");
    TConfig config = Make();
    config.Port = 1;
    config.SoundAlarm = false;
    config.ReceiveTo = "/elsewhere/";
    config.Load();
    EXPECT_EQ(config.UserName, "x");
    EXPECT_EQ(config.Port, 4006);
    EXPECT_TRUE(config.SoundAlarm);
    EXPECT_EQ(config.ReceiveTo, ProgFolder());
}

TEST_F(Config, SavedValuesAreWrittenInCp932WithCrLf) {
    TConfig config = Make();
    config.UseEasyConnection = false;
    config.UserName = "山田太郎";
    config.UseUPnP = false;
    config.DirectConnectTo = {"10.0.0.5", "my host", "a\"b"};
    config.Port = 5000;
    config.AutoReceive = true;
    config.AutoResume = false;
    config.AutoInviteAllowing = true;
    config.ReceiveTo = "/srv/受信";
    config.PacketType = 2;
    config.BufferSize = 8192;
    config.SoundAlarm = false;
    config.MsgrUseEasyConnection = false;
    config.Reconnect = false;
    config.TimeViewMode = false;
    config.MaxSendCount = 64;
    config.MinimizeOnTray = true;
    config.FirstRunning = true;
    config.Save();
    EXPECT_EQ(ReadAll(File()),
              "[Config]\r\n"
              "UseEasyConnection=0\r\n"
              "UserName=\x8E\x52\x93\x63\x91\xBE\x98\x59\r\n"
              "UseUPnP=0\r\n"
              "DirectConnectTo=10.0.0.5,\"my host\",\"a\"\"b\"\r\n"
              "Port=5000\r\n"
              "AutoReceive=1\r\n"
              "AutoResume=0\r\n"
              "AutoInviteAllowing=1\r\n"
              "ReceiveTo=/srv/\x8E\xF3\x90\x4D/\r\n"
              "PacketType=2\r\n"
              "BufferSize=8192\r\n"
              "SoundAlarm=0\r\n"
              "MsgrUseEasyConnection=0\r\n"
              "Reconnect=0\r\n"
              "TimeViewMode=0\r\n"
              "MaxSendCount=64\r\n"
              "FirstRunning=0\r\n"
              "MinimizeOnTray=1\r\n");
    EXPECT_EQ(config.ReceiveTo, "/srv/受信/");
    EXPECT_TRUE(config.FirstRunning);  // only the file says the first run is over

    TConfig loaded = Make();
    loaded.Load();
    EXPECT_EQ(loaded.UserName, "山田太郎");
    EXPECT_EQ(loaded.DirectConnectTo, (TList{"10.0.0.5", "my host", "a\"b"}));
    EXPECT_EQ(loaded.ReceiveTo, "/srv/受信/");
    EXPECT_FALSE(loaded.FirstRunning);
    EXPECT_EQ(loaded.MaxSendCount, 64);
}

TEST_F(Config, SavingKeepsOtherKeysSectionsAndComments) {
    m_sandbox.WriteFile("prog/config.ini",
                        "; kept\n"
                        "[Window]\n"
                        "Left=10\n"
                        "\n"
                        "[Config]\n"
                        "Port=1\n"
                        "Unknown=keep me\n"
                        "EasyServiceURL=http://rendezvous.example/e.cgi\n"
                        "\n"
                        "[Plugins]\n"
                        "Count=0\n");
    TConfig config = Make();
    config.Load();
    config.Save();
    EXPECT_EQ(ReadAll(File()),
              "; kept\r\n"
              "[Window]\r\n"
              "Left=10\r\n"
              "\r\n"
              "[Config]\r\n"
              "Port=1\r\n"
              "Unknown=keep me\r\n"
              "EasyServiceURL=http://rendezvous.example/e.cgi\r\n"
              "UseEasyConnection=1\r\n"
              "UserName=\r\n"
              "UseUPnP=1\r\n"
              "DirectConnectTo=localhost\r\n"
              "AutoReceive=0\r\n"
              "AutoResume=1\r\n"
              "AutoInviteAllowing=0\r\n"
              "ReceiveTo=" +
                  ProgFolder() +
                  "\r\n"
                  "PacketType=0\r\n"
                  "BufferSize=32768\r\n"
                  "SoundAlarm=1\r\n"
                  "MsgrUseEasyConnection=1\r\n"
                  "Reconnect=1\r\n"
                  "TimeViewMode=1\r\n"
                  "MaxSendCount=3\r\n"
                  "FirstRunning=0\r\n"
                  "MinimizeOnTray=0\r\n"
                  "\r\n"
                  "[Plugins]\r\n"
                  "Count=0\r\n");
}

TEST_F(Config, TheServiceUrlIsReadWhenPresentAndNeverWritten) {
    EXPECT_EQ(LoadFrom("EasyServiceURL= http://rendezvous.example/e.cgi \r\n").EasyServiceURL,
              "http://rendezvous.example/e.cgi");
    EXPECT_EQ(LoadFrom("EasyServiceURL=\r\n").EasyServiceURL, "http://fernwaypost.invalid/easy.cgi");

    fs::remove(File());
    TConfig config = Make();
    config.EasyServiceURL = "http://changed.example/";
    config.Save();
    EXPECT_EQ(ReadAll(File()), DefaultFile(ProgFolder()));
}

struct TIntegerCase {
    const char* Key;
    const char* Value;
    std::int32_t TConfig::*Field;
    std::int32_t Expected;
};

TEST_F(Config, IntegersAreDecimalOrHexadecimalAndOtherTextGivesTheDefault) {
    const TIntegerCase cases[] = {
        {"Port", "4007", &TConfig::Port, 4007},
        {"Port", "0x1000", &TConfig::Port, 4096},
        {"Port", "0X1000", &TConfig::Port, 4096},
        {"Port", "$10", &TConfig::Port, 16},
        {"Port", "$ff", &TConfig::Port, 255},
        {"Port", "-5", &TConfig::Port, -5},  // not checked here; the start pages refuse it
        {"Port", "+7", &TConfig::Port, 7},
        {"Port", "-0x10", &TConfig::Port, -16},
        {"Port", "0x7FFFFFFF", &TConfig::Port, 2147483647},
        {"Port", "-2147483648", &TConfig::Port, std::numeric_limits<std::int32_t>::min()},
        {"Port", "2147483648", &TConfig::Port, 4006},
        {"Port", "0x80000000", &TConfig::Port, 4006},
        {"Port", "0x", &TConfig::Port, 4006},
        {"Port", "$", &TConfig::Port, 4006},
        {"Port", "0x1g", &TConfig::Port, 4006},
        {"Port", "12abc", &TConfig::Port, 4006},
        {"Port", "1 2", &TConfig::Port, 4006},
        {"Port", "", &TConfig::Port, 4006},
        {"BufferSize", "abc", &TConfig::BufferSize, 32768},
        {"BufferSize", "-1", &TConfig::BufferSize, -1},
        {"BufferSize", " 1024 ", &TConfig::BufferSize, 1024},
        {"MaxSendCount", "0x40", &TConfig::MaxSendCount, 64},
        {"MaxSendCount", "three", &TConfig::MaxSendCount, 3},
        {"PacketType", "7", &TConfig::PacketType, 7},
        {"PacketType", "x", &TConfig::PacketType, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Key) + "=" + c.Value);
        EXPECT_EQ(LoadFrom(std::string(c.Key) + "=" + c.Value + "\r\n").*c.Field, c.Expected);
    }
}

struct TBoolCase {
    const char* Key;
    const char* Value;
    bool TConfig::*Field;
    bool Expected;
};

TEST_F(Config, ABooleanIsTrueWhenItsNumberIsNotZero) {
    const TBoolCase cases[] = {
        {"Reconnect", "2", &TConfig::Reconnect, true},
        {"Reconnect", "0", &TConfig::Reconnect, false},
        {"Reconnect", "-1", &TConfig::Reconnect, true},
        {"Reconnect", "0x0", &TConfig::Reconnect, false},
        {"AutoReceive", "$1", &TConfig::AutoReceive, true},
        {"AutoReceive", "true", &TConfig::AutoReceive, false},  // no number: the default
        {"SoundAlarm", "false", &TConfig::SoundAlarm, true},
        {"SoundAlarm", "", &TConfig::SoundAlarm, true},
        {"MinimizeOnTray", "1", &TConfig::MinimizeOnTray, true},
        {"FirstRunning", "0", &TConfig::FirstRunning, false},
        {"FirstRunning", "1", &TConfig::FirstRunning, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Key) + "=" + c.Value);
        EXPECT_EQ(LoadFrom(std::string(c.Key) + "=" + c.Value + "\r\n").*c.Field, c.Expected);
    }
}

struct TAddressCase {
    const char* Name;
    std::optional<std::string> Stored;  // no key when empty
    TList Expected;
};

TEST_F(Config, RecentAddressesAreReadAsCommaText) {
    const TAddressCase cases[] = {
        {"quoted entry with a space is one address", "\"my host\",10.0.0.5", {"my host", "10.0.0.5"}},
        {"unquoted space splits", "my host,10.0.0.5", {"my", "host", "10.0.0.5"}},
        {"empty value is an empty list", "", {}},
        {"missing key is the default list", std::nullopt, {"localhost"}},
        {"CP932 entry", "\x83\x7A\x83\x58\x83\x67", {"ホスト"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(LoadFrom(c.Stored ? "DirectConnectTo=" + *c.Stored + "\r\n" : "").DirectConnectTo,
                  c.Expected);
    }
}

TEST_F(Config, ElevenAddressesAreSavedAsTheFirstTen) {
    TConfig config = Make();
    config.DirectConnectTo = {"h1", "h2", "h3", "h4", "h5", "h6", "h7", "h8", "h9", "h10", "h11"};
    config.Save();
    EXPECT_EQ(config.DirectConnectTo, (TList{"h1", "h2", "h3", "h4", "h5", "h6", "h7", "h8", "h9", "h10"}));
    EXPECT_NE(ReadAll(File()).find("\r\nDirectConnectTo=h1,h2,h3,h4,h5,h6,h7,h8,h9,h10\r\n"),
              std::string::npos);
}

TEST_F(Config, AnEmptyAddressListStaysEmpty) {
    TConfig config = Make();
    config.DirectConnectTo.clear();
    config.Save();
    EXPECT_NE(ReadAll(File()).find("\r\nDirectConnectTo=\r\n"), std::string::npos);
    TConfig loaded = Make();
    loaded.Load();
    EXPECT_EQ(loaded.DirectConnectTo, TList{});
}

TEST_F(Config, StringsAreTrimmedAndCutAt2047Bytes) {
    const std::string a3000(3000, 'a');
    std::string yama1100;  // 山 is 8E 52 in CP932
    for (int i = 0; i < 1100; ++i)
        yama1100 += "\x8E\x52";
    std::string yama1023;
    for (int i = 0; i < 1023; ++i)
        yama1023 += "山";

    EXPECT_EQ(LoadFrom("UserName=  \t name with spaces \t \r\n").UserName, "name with spaces");
    EXPECT_EQ(LoadFrom("UserName=" + a3000 + "\r\n").UserName, std::string(2047, 'a'));
    // 2047 bytes would end inside a character: the cut is at 2046.
    EXPECT_EQ(LoadFrom("UserName=" + yama1100 + "\r\n").UserName, yama1023);
    EXPECT_EQ(LoadFrom("UserName=a" + yama1100 + "\r\n").UserName, "a" + yama1023);
}

struct TFolderCase {
    const char* Stored;
    const char* Expected;  // "" for the default
};

TEST_F(Config, TheSaveFolderEndsInExactlyOneSlash) {
    const TFolderCase cases[] = {
        {"/data/in", "/data/in/"},
        {"/data/in/", "/data/in/"},
        {"/data/in///", "/data/in/"},
        {"/", "/"},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Stored);
        const std::string expected = *c.Expected ? c.Expected : ProgFolder();
        EXPECT_EQ(LoadFrom(std::string("ReceiveTo=") + c.Stored + "\r\n").ReceiveTo, expected);
    }
    TConfig config = Make();
    config.ReceiveTo = "/data/out//";
    config.Save();
    EXPECT_EQ(config.ReceiveTo, "/data/out/");
    EXPECT_NE(ReadAll(File()).find("\r\nReceiveTo=/data/out/\r\n"), std::string::npos);
}

struct TTextCase {
    const char* Name;
    std::string Text;    // in memory, UTF-8
    std::string Stored;  // the value's bytes in the file
};

TEST_F(Config, TextThatCp932CannotHoldIsKeptAsMarkedUtf8AndReadsBackExactly) {
    const TTextCase cases[] = {
        {"plain ASCII", "Taro", "Taro"},
        {"Japanese in CP932", "山田太郎", "\x8E\x52\x93\x63\x91\xBE\x98\x59"},
        {"accent", "café",
         "\xEF\xBB\xBF"
         "caf\xC3\xA9"},
        {"emoji", "a😀",
         "\xEF\xBB\xBF"
         "a\xF0\x9F\x98\x80"},
        // CP932 would store 81 60, which reads back as ～ U+FF5E.
        {"wave dash", "あ〜", "\xEF\xBB\xBF\xE3\x81\x82\xE3\x80\x9C"},
        {"fullwidth tilde stays plain", "あ～", "\x82\xA0\x81\x60"},
        {"yen sign", "¥100",
         "\xEF\xBB\xBF\xC2\xA5"
         "100"},
        {"percent and line break escaped", "é 100%\nx", "\xEF\xBB\xBF\xC3\xA9 100%25%0Ax"},
        {"line break in CP932 text", "a\r\nb",
         "\xEF\xBB\xBF"
         "a%0D%0Ab"},
        {"bytes that are no UTF-8", "caf\xE9",
         "\xEF\xBB\xBF"
         "caf%E9"},
        {"text starting with the mark itself",
         "\xEF\xBB\xBF"
         "x",
         "\xEF\xBB\xBF\xEF\xBB\xBF"
         "x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        fs::remove(File());
        TConfig config = Make();
        config.UserName = c.Text;
        config.ReceiveTo = "/home/" + c.Text + "/";
        config.DirectConnectTo = {c.Text, "b"};
        config.Save();
        const std::string file = ReadAll(File());
        EXPECT_NE(file.find("\r\nUserName=" + c.Stored + "\r\n"), std::string::npos);

        TConfig loaded = Make();
        loaded.Load();
        EXPECT_EQ(loaded.UserName, c.Text);
        EXPECT_EQ(loaded.ReceiveTo, "/home/" + c.Text + "/");
        EXPECT_EQ(loaded.DirectConnectTo, (TList{c.Text, "b"}));
    }
}

TEST_F(Config, PlainCp932ValuesThatContainTheMarkBytesReadAsCp932) {
    // 茨 is 88 EF and ｻｿ is BB BF: the bytes EF BB BF appear, but not at the start.
    TConfig config = LoadFrom("UserName=\x88\xEF\xBB\xBF\r\n");
    EXPECT_EQ(config.UserName, "茨ｻｿ");
    config.Save();
    EXPECT_NE(ReadAll(File()).find("\r\nUserName=\x88\xEF\xBB\xBF\r\n"), std::string::npos);
}

TEST_F(Config, AValueThatStartsWithTheMarkIsReadAsUtf8) {
    EXPECT_EQ(LoadFrom("UserName=\xEF\xBB\xBF"
                       "caf\xC3\xA9 %41%zz\r\n")
                  .UserName,
              "café A%zz");
    // Bytes that are no UTF-8 are shown as U+FFFD, not dropped.
    EXPECT_EQ(LoadFrom("UserName=\xEF\xBB\xBF"
                       "a\xFF"
                       "b\r\n")
                  .UserName,
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(LoadFrom("UserName=\xEF\xBB\xBF  x  \r\n").UserName, "x");
}

TEST_F(Config, AFileFromAnotherCopyStaysPlainCp932AfterASave) {
    const std::string original =
        "[Config]\r\n"
        "UserName=\x82\xA0\x81\x60\x87\x40\r\n";  // あ～①
    m_sandbox.WriteFile("prog/config.ini", original);
    TConfig config = Make();
    config.Load();
    EXPECT_EQ(config.UserName, "あ～①");
    config.Save();
    EXPECT_EQ(ReadAll(File()).substr(0, original.size()), original);
}

// The message a failed save must carry, written out for the path.
std::string CannotWrite(const fs::path& path) {
    return path.string() + " に書き込めません";
}

void ExpectSaveFails(TConfig& config) {
    try {
        config.Save();
        ADD_FAILURE() << "no error";
    } catch (const TError& e) {
        EXPECT_EQ(std::string(e.what()), CannotWrite(config.Path()));
        // The system's reason stays available underneath.
        EXPECT_THROW(std::rethrow_if_nested(e), TStreamError);
    }
}

TEST_F(Config, ASaveThatCannotWriteFailsNamingTheFullPath) {
    const std::string cases[] = {"file/config.ini", "folder.ini"};
    m_sandbox.WriteFile("file", "x");
    m_sandbox.Folder("folder.ini");
    for (const auto& relative : cases) {
        SCOPED_TRACE(relative);
        TConfig config(m_sandbox.Path(relative), Places());
        ExpectSaveFails(config);
    }
}

TEST_F(Config, ASaveIntoAReadOnlyFolderFails) {
    if (test::PermissionsAreIgnored(m_sandbox.Path("probe")))
        GTEST_SKIP() << "this process may write regardless of folder modes";
    const auto folder = m_sandbox.Folder("ro");
    const test::TModeGuard readOnly(folder, 0555);
    TConfig config(folder / "config.ini", Places());
    ExpectSaveFails(config);
    EXPECT_FALSE(fs::exists(folder / "config.ini"));
}

// Limits the size of files this process may write, for one scope. A write
// past the limit then fails with EFBIG instead of raising SIGXFSZ.
class TFileSizeLimit {
public:
    explicit TFileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &m_previous);
        m_previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_previous;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~TFileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &m_previous);
        std::signal(SIGXFSZ, m_previousHandler);
    }
    TFileSizeLimit(const TFileSizeLimit&) = delete;
    TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;

private:
    rlimit m_previous{};
    void (*m_previousHandler)(int) = SIG_DFL;
};

TEST_F(Config, AFailedSaveKeepsTheKeysWrittenBeforeIt) {
    TConfig config = Make();
    std::exception_ptr error;
    {
        // The file reaches 142 bytes with the eighth key, AutoInviteAllowing.
        const TFileSizeLimit limit(130);
        try {
            config.Save();
        } catch (...) {
            error = std::current_exception();
        }
    }
    ASSERT_TRUE(error);
    try {
        std::rethrow_exception(error);
    } catch (const TError& e) {
        EXPECT_EQ(std::string(e.what()), CannotWrite(File()));
    }
    EXPECT_EQ(ReadAll(File()),
              "[Config]\r\n"
              "UseEasyConnection=1\r\n"
              "UserName=\r\n"
              "UseUPnP=1\r\n"
              "DirectConnectTo=localhost\r\n"
              "Port=4006\r\n"
              "AutoReceive=0\r\n"
              "AutoResume=1\r\n");
}

}  // namespace
}  // namespace fwp
