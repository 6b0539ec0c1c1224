#include "config/config.h"

#include <csignal>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/resource.h>

#include "common/error.h"
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

// The lines, each ended by CR LF.
std::string CrLf(std::initializer_list<std::string> lines) {
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    return text;
}

// The nineteen keys a first save writes with every field at its default.
std::string DefaultKeys(const std::string& receiveTo) {
    return CrLf({"UseEasyConnection=1", "UserName=", "UseUPnP=1", "DirectConnectTo=localhost", "Port=4006",
                 "AutoReceive=0", "AutoResume=1", "AutoInviteAllowing=0", "ReceiveTo=" + receiveTo,
                 "PacketType=0", "BufferSize=32768", "SoundAlarm=1", "MsgrUseEasyConnection=1", "Reconnect=1",
                 "TimeViewMode=1", "MaxSendCount=3", "MaxSendRate=0", "FirstRunning=0", "MinimizeOnTray=0"});
}

TEST_F(Config, WithoutAFileEverySettingHasItsDefaultAndTheFirstSaveWritesThemInOrder) {
    TConfig config = Make();
    config.Load();
    EXPECT_TRUE(config.FirstRunning);
    EXPECT_EQ(config.EasyServiceURL, "http://fernwaypost.invalid/easy.cgi");
    // Every other field shows in the file, which also tells that the first run is over.
    config.Save();
    EXPECT_EQ(ReadAll(File()), "[Config]\r\n" + DefaultKeys(ProgFolder()));
}

TEST_F(Config, LoadingGivesTheDefaultForEveryKeyTheFileLacksOrCannotBeRead) {
    for (const bool readable : {true, false}) {
        SCOPED_TRACE(readable ? "file without those keys" : "folder in place of the file");
        fs::remove_all(File());
        if (readable)
            m_sandbox.WriteFile("prog/config.ini", "[Config]\r\nUserName=x\r\n");
        else
            m_sandbox.Folder("prog/config.ini");
        TConfig config = Make();
        config.Port = 1;
        config.SoundAlarm = false;
        config.DirectConnectTo.clear();
        config.ReceiveTo = "/elsewhere/";
        config.Load();
        EXPECT_EQ(config.UserName, readable ? "x" : "");
        EXPECT_EQ(config.Port, 4006);
        EXPECT_TRUE(config.SoundAlarm);
        EXPECT_EQ(config.DirectConnectTo, TList{"localhost"});
        EXPECT_EQ(config.ReceiveTo, ProgFolder());
    }
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
    config.MaxSendRate = 1048576;
    config.MinimizeOnTray = true;
    config.FirstRunning = true;
    config.Save();
    const std::string saved =
        "[Config]\r\n" +
        CrLf({"UseEasyConnection=0", "UserName=\x8E\x52\x93\x63\x91\xBE\x98\x59", "UseUPnP=0",
              "DirectConnectTo=10.0.0.5,\"my host\",\"a\"\"b\"", "Port=5000", "AutoReceive=1", "AutoResume=0",
              "AutoInviteAllowing=1", "ReceiveTo=/srv/\x8E\xF3\x90\x4D/", "PacketType=2", "BufferSize=8192",
              "SoundAlarm=0", "MsgrUseEasyConnection=0", "Reconnect=0", "TimeViewMode=0", "MaxSendCount=64",
              "MaxSendRate=1048576", "FirstRunning=0", "MinimizeOnTray=1"});
    EXPECT_EQ(ReadAll(File()), saved);
    EXPECT_EQ(config.ReceiveTo, "/srv/受信/");
    EXPECT_TRUE(config.FirstRunning);  // only the file says the first run is over

    // Every key is read back under its own name: a loaded copy saves the same file.
    TConfig loaded = Make();
    loaded.Load();
    EXPECT_FALSE(loaded.FirstRunning);
    fs::remove(File());
    loaded.Save();
    EXPECT_EQ(ReadAll(File()), saved);
}

TEST_F(Config, SavingKeepsOtherKeysSectionsAndCommentsAndNeverWritesTheServiceUrl) {
    m_sandbox.WriteFile("prog/config.ini",
                        "; kept\n[Window]\nLeft=10\n\n"
                        "[Config]\nUnknown=keep me\nEasyServiceURL= http://rendezvous.example/e.cgi \n\n"
                        "[Plugins]\nCount=0\n");
    TConfig config = Make();
    config.Load();
    EXPECT_EQ(config.EasyServiceURL, "http://rendezvous.example/e.cgi");
    config.EasyServiceURL = "http://changed.example/";
    config.Save();
    EXPECT_EQ(ReadAll(File()),
              "; kept\r\n[Window]\r\nLeft=10\r\n\r\n"
              "[Config]\r\nUnknown=keep me\r\nEasyServiceURL= http://rendezvous.example/e.cgi \r\n" +
                  DefaultKeys(ProgFolder()) + "\r\n[Plugins]\r\nCount=0\r\n");
    EXPECT_EQ(LoadFrom("EasyServiceURL=\r\n").EasyServiceURL, "http://fernwaypost.invalid/easy.cgi");
}

TEST_F(Config, NumbersAreDecimalOrHexadecimalAndOtherTextGivesTheDefault) {
    // A line of the file, and the line that the loaded field then saves. A
    // boolean is true when its number is not zero.
    const std::pair<const char*, const char*> cases[] = {
        {"Port=4007", "Port=4007"},
        {"Port=0x1000", "Port=4096"},
        {"Port=0X1000", "Port=4096"},
        {"Port=$10", "Port=16"},
        {"Port=$ff", "Port=255"},
        {"Port=-5", "Port=-5"},  // not checked here; the start pages refuse it
        {"Port=-0x10", "Port=-16"},
        {"Port=0x7FFFFFFF", "Port=2147483647"},
        {"Port=0x80000000", "Port=4006"},
        {"Port=0x", "Port=4006"},
        {"Port=$", "Port=4006"},
        {"Port=0x1g", "Port=4006"},
        {"Port=1 2", "Port=4006"},
        {"Port=", "Port=4006"},
        {"BufferSize=abc", "BufferSize=32768"},
        {"BufferSize= 1024 ", "BufferSize=1024"},
        {"PacketType=7", "PacketType=7"},
        {"Reconnect=2", "Reconnect=1"},
        {"Reconnect=0", "Reconnect=0"},
        {"Reconnect=0x0", "Reconnect=0"},
        {"AutoReceive=$1", "AutoReceive=1"},
        {"AutoReceive=true", "AutoReceive=0"},  // no number: the default
        {"SoundAlarm=false", "SoundAlarm=1"},
    };
    for (const auto& [stored, saved] : cases) {
        SCOPED_TRACE(stored);
        LoadFrom(std::string(stored) + "\r\n").Save();
        EXPECT_NE(ReadAll(File()).find("\r\n" + std::string(saved) + "\r\n"), std::string::npos);
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

TEST_F(Config, ElevenAddressesAreSavedAsTheFirstTenAndNoneAsNone) {
    struct TCase {
        TList List;
        std::string Line;
        TList Kept;
    };
    const TCase cases[] = {
        {{"h1", "h2", "h3", "h4", "h5", "h6", "h7", "h8", "h9", "h10", "h11"},
         "DirectConnectTo=h1,h2,h3,h4,h5,h6,h7,h8,h9,h10",
         {"h1", "h2", "h3", "h4", "h5", "h6", "h7", "h8", "h9", "h10"}},
        {{}, "DirectConnectTo=", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Line);
        TConfig config = Make();
        config.DirectConnectTo = c.List;
        config.Save();
        EXPECT_EQ(config.DirectConnectTo, c.Kept);
        EXPECT_NE(ReadAll(File()).find("\r\n" + c.Line + "\r\n"), std::string::npos);
        TConfig loaded = Make();
        loaded.Load();
        EXPECT_EQ(loaded.DirectConnectTo, c.Kept);
    }
}

// Blanks around a value are trimmed by the INI layer, tested there.
TEST_F(Config, StringsAreCutAt2047BytesNeverInsideACharacter) {
    const std::string a3000(3000, 'a');
    std::string yama1100;  // 山 is 8E 52 in CP932
    for (int i = 0; i < 1100; ++i)
        yama1100 += "\x8E\x52";
    std::string yama1023;
    for (int i = 0; i < 1023; ++i)
        yama1023 += "山";

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

TEST_F(Config, AValueCutWhenReadReadsBackTheSameAfterASave) {
    const std::string a2045(2045, 'a');
    std::string replacement682;  // U+FFFD for each byte that does not decode
    for (int i = 0; i < 682; ++i)
        replacement682 += "\xEF\xBF\xBD";
    const struct {
        const char* Name;
        std::string Stored;
        std::string Text;
    } cases[] = {
        // The cut falls before あ (82 A0) and would leave the space at the end.
        {"plain value cut after a blank", a2045 + " \x82\xA0", a2045},
        {"marked value cut after a blank", "\xEF\xBB\xBF" + a2045 + "a \xC3\xA9", a2045 + "a"},
        // 800 bytes that decode to 2400 bytes of U+FFFD, which are saved in UTF-8 form.
        {"plain value that does not decode", std::string(800, '\xFF'), replacement682},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TConfig first = LoadFrom("UserName=" + c.Stored + "\r\n");
        EXPECT_EQ(first.UserName, c.Text);
        first.Save();
        TConfig second = Make();
        second.Load();
        EXPECT_EQ(second.UserName, first.UserName);
    }
}

struct TTextCase {
    const char* Name;
    std::string Text;    // in memory, UTF-8
    std::string Stored;  // the value's bytes in the file
};

// Starts a value kept in UTF-8.
const std::string Mark = "\xEF\xBB\xBF";

TEST_F(Config, TextThatCp932CannotHoldIsKeptAsMarkedUtf8AndReadsBackExactly) {
    const TTextCase cases[] = {
        {"plain ASCII", "Taro", "Taro"},
        {"Japanese in CP932", "山田太郎", "\x8E\x52\x93\x63\x91\xBE\x98\x59"},
        {"accent", "café", Mark + "caf\xC3\xA9"},
        {"emoji", "a😀", Mark + "a\xF0\x9F\x98\x80"},
        // CP932 would store 81 60, which reads back as ～ U+FF5E.
        {"wave dash", "あ〜", Mark + "\xE3\x81\x82\xE3\x80\x9C"},
        {"fullwidth tilde and NEC sign stay plain", "あ～①", "\x82\xA0\x81\x60\x87\x40"},
        // 茨 is 88 EF and ｻｿ is BB BF: the bytes of the mark, but not at the start.
        {"mark bytes inside plain CP932", "茨ｻｿ", "\x88\xEF\xBB\xBF"},
        {"yen sign", "¥100", Mark + "\xC2\xA5" + "100"},
        {"percent and line break escaped", "é 100%\nx", Mark + "\xC3\xA9 100%25%0Ax"},
        {"line break in CP932 text", "a\r\nb", Mark + "a%0D%0Ab"},
        {"bytes that are no UTF-8", "caf\xE9", Mark + "caf%E9"},
        {"text starting with the mark itself", Mark + "x", Mark + Mark + "x"},
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

TEST_F(Config, AValueThatStartsWithTheMarkIsReadAsUtf8) {
    const TTextCase cases[] = {
        {"escapes undone, broken ones kept", "café A%zz", "caf\xC3\xA9 %41%zz"},
        // Bytes that are no UTF-8 are shown as U+FFFD, not dropped.
        {"byte that is no UTF-8", std::string("a\xEF\xBF\xBD") + "b", std::string("a\xFF") + "b"},
        {"blanks trimmed", "x", "  x  "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(LoadFrom("UserName=" + Mark + c.Stored + "\r\n").UserName, c.Text);
    }
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
    std::string message = "(no error)";
    {
        // The file reaches 142 bytes with the eighth key, AutoInviteAllowing.
        const TFileSizeLimit limit(130);
        try {
            config.Save();
        } catch (const TError& e) {
            message = e.what();
        }
    }
    EXPECT_EQ(message, CannotWrite(File()));
    const std::string keys = DefaultKeys(ProgFolder());
    EXPECT_EQ(ReadAll(File()), "[Config]\r\n" + keys.substr(0, keys.find("AutoInviteAllowing=")));
}

}  // namespace
}  // namespace fwp
