#include "config/ini_file.h"

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/error.h"
#include "tests/config/permissions.h"
#include "tests/support/sandbox.h"

namespace fwp {
namespace {

namespace fs = std::filesystem;
using test::ReadAll;
using test::TModeGuard;
using test::TSandbox;

struct TReadCase {
    const char* Name;
    std::string File;
    std::string Section;
    std::string Key;
    std::optional<std::string> Expected;
};

TEST(IniFile, ReadsTheValueOfOneKeyOfOneSection) {
    const TReadCase cases[] = {
        {"CR LF lines", "[Config]\r\nPort=4006\r\n", "Config", "Port", "4006"},
        {"LF lines", "[Config]\nUserName=a\nPort=4006\n", "Config", "Port", "4006"},
        {"last line without an end", "[Config]\r\nPort=4006", "Config", "Port", "4006"},
        {"names in another case", "[CONFIG]\r\nport=1\r\n", "Config", "Port", "1"},
        {"blanks around names and value", "  [ Config ]  \r\n\t Port \t=  1 2 \t\r\n", "Config", "Port",
         "1 2"},
        {"equals sign in the value", "[Config]\r\nURL=http://h/?a=b\r\n", "Config", "URL", "http://h/?a=b"},
        {"empty value", "[Config]\r\nUserName=\r\n", "Config", "UserName", ""},
        {"first of two equal keys", "[Config]\r\nPort=1\r\nPort=2\r\n", "Config", "Port", "1"},
        {"CP932 bytes as they are", "[Config]\r\nUserName=\x8E\x52\x93\x63\r\n", "Config", "UserName",
         "\x8E\x52\x93\x63"},
        {"key of another section", "[Other]\r\nPort=1\r\n[Config]\r\nUserName=x\r\n", "Config", "Port",
         std::nullopt},
        {"key before any section", "Port=1\r\n[Config]\r\n", "Config", "Port", std::nullopt},
        {"commented out", "[Config]\r\n;Port=1\r\n", "Config", "Port", std::nullopt},
        {"no such section", "[Other]\r\nPort=1\r\n", "Config", "Port", std::nullopt},
        {"only the first section of a name counts", "[Config]\r\nA=1\r\n[Other]\r\n[Config]\r\nPort=2\r\n",
         "Config", "Port", std::nullopt},
        // ア is 83 41 and ヂ is 83 61: their second bytes are the codes of "A" and "a".
        {"second byte of CP932 is no letter", "[Config]\r\n\x83\x41=1\r\n", "Config", "\x83\x61",
         std::nullopt},
        {"CP932 key", "[Config]\r\n\x83\x41=1\r\n", "Config", "\x83\x41", "1"},
        // 転 is 93 5D; its second byte is the code of "]".
        {"section 転送", "[\x93\x5D\x91\x97]\r\nA=1\r\n", "\x93\x5D\x91\x97", "A", "1"},
    };
    TSandbox sandbox;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const TIniFile ini(sandbox.WriteFile("config.ini", c.File));
        EXPECT_EQ(ini.ReadString(c.Section, c.Key), c.Expected);
    }
}

struct TWriteCase {
    const char* Name;
    std::optional<std::string> Before;  // no file when empty
    std::string Key;
    std::string Value;
    std::string After;
};

TEST(IniFile, WritingOneKeyLeavesEverythingElseAsItWas) {
    const TWriteCase cases[] = {
        {"no file", std::nullopt, "Port", "4006", "[Config]\r\nPort=4006\r\n"},
        {"empty file", "", "Port", "4006", "[Config]\r\nPort=4006\r\n"},
        {"value replaced in place",
         "; settings\r\n[Config]\r\nUserName=a\r\n\r\nPort=1\r\nSoundAlarm=0\r\n[Other]\r\nPort=9\r\n",
         "Port", "4006",
         "; settings\r\n[Config]\r\nUserName=a\r\n\r\nPort=4006\r\nSoundAlarm=0\r\n[Other]\r\nPort=9\r\n"},
        {"LF lines end with CR LF afterwards", "[Config]\nPort=1\n[Other]\nx=y\n", "Port", "2",
         "[Config]\r\nPort=2\r\n[Other]\r\nx=y\r\n"},
        {"last line gets its end", "[Other]\r\nx=y\r\n[Config]\r\nPort=1", "Port", "2",
         "[Other]\r\nx=y\r\n[Config]\r\nPort=2\r\n"},
        {"the file's spelling of the key is kept", "[config]\r\n  port = 1\r\n", "Port", "2",
         "[config]\r\nport=2\r\n"},
        {"new key after the section's last key", "[Config]\r\nA=1\r\n\r\n; other\r\n[Other]\r\nB=2\r\n", "C",
         "3", "[Config]\r\nA=1\r\nC=3\r\n\r\n; other\r\n[Other]\r\nB=2\r\n"},
        {"new key in an empty section", "[Config]\r\n[Other]\r\nB=2\r\n", "C", "3",
         "[Config]\r\nC=3\r\n[Other]\r\nB=2\r\n"},
        {"new section after a blank line", "[Other]\r\nB=2", "C", "3",
         "[Other]\r\nB=2\r\n\r\n[Config]\r\nC=3\r\n"},
        {"blank line not doubled", "[Other]\r\nB=2\r\n\r\n", "C", "3",
         "[Other]\r\nB=2\r\n\r\n[Config]\r\nC=3\r\n"},
        {"CP932 bytes as they are", "[Config]\r\nUserName=a\r\n", "UserName",
         "\x8E\x52\x93\x63\x91\xBE\x98\x59", "[Config]\r\nUserName=\x8E\x52\x93\x63\x91\xBE\x98\x59\r\n"},
        {"ヂ is another key than ア", "[Config]\r\n\x83\x41=1\r\n", "\x83\x61", "2",
         "[Config]\r\n\x83\x41=1\r\n\x83\x61=2\r\n"},
    };
    TSandbox sandbox;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const auto path = sandbox.Path("config.ini");
        fs::remove(path);
        if (c.Before)
            sandbox.WriteFile("config.ini", *c.Before);
        TIniFile ini(path);
        ini.WriteString("Config", c.Key, c.Value);
        EXPECT_EQ(ReadAll(path), c.After);
    }
}

TEST(IniFile, DeletingAKeyRemovesOnlyItsLineOfItsSection) {
    const TWriteCase cases[] = {
        {"no file", std::nullopt, "Secret", "", ""},
        {"no such key", "[Config]\r\nPort=1\r\n", "Secret", "", "[Config]\r\nPort=1\r\n"},
        {"the line goes, the rest stays",
         "; settings\r\n[Config]\r\nSecret=a\r\n\r\nPort=1\r\n[Other]\r\nSecret=b\r\n", "Secret", "",
         "; settings\r\n[Config]\r\n\r\nPort=1\r\n[Other]\r\nSecret=b\r\n"},
        {"names compare without case", "[config]\r\n  secret = a\r\nPort=1\r\n", "Secret", "",
         "[config]\r\nPort=1\r\n"},
        {"only in the section", "[Other]\r\nSecret=b\r\n", "Secret", "", "[Other]\r\nSecret=b\r\n"},
    };
    TSandbox sandbox;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const auto path = sandbox.Path("config.ini");
        fs::remove(path);
        if (c.Before)
            sandbox.WriteFile("config.ini", *c.Before);
        TIniFile(path).DeleteKey("Config", c.Key);
        EXPECT_EQ(fs::exists(path), c.Before.has_value());
        if (c.Before) {
            EXPECT_EQ(ReadAll(path), c.After);
        }
    }
}

TEST(IniFile, AWriteReplacesTheFileKeepingItsPermissionsUnlessNoByteChanges) {
    TSandbox sandbox;
    const auto path = sandbox.WriteFile("config.ini", "[Config]\r\nPort=1\r\n");
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);

    TIniFile(path).WriteString("Config", "Port", "2");

    struct stat after {};
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_NE(after.st_ino, before.st_ino);  // a new file took the old one's name
    EXPECT_EQ(ReadAll(path), "[Config]\r\nPort=2\r\n");
    // Nothing but the file itself is left in the folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(sandbox.Root()), fs::directory_iterator()), 1);

    // A write that changes no byte leaves the file alone.
    TIniFile(path).WriteString("Config", "port", "2");
    struct stat unchanged {};
    ASSERT_EQ(::stat(path.c_str(), &unchanged), 0);
    EXPECT_EQ(unchanged.st_ino, after.st_ino);
}

TEST(IniFile, ANewFileGetsTheModeTheUmaskAllows) {
    TSandbox sandbox;
    const mode_t previous = ::umask(027);
    TIniFile(sandbox.Path("config.ini")).WriteString("Config", "Port", "2");
    ::umask(previous);
    EXPECT_EQ(fs::status(sandbox.Path("config.ini")).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST(IniFile, AWriteThroughALinkReplacesTheFileItPointsTo) {
    TSandbox sandbox;
    const auto real = sandbox.WriteFile("real/settings.ini", "[Config]\r\nPort=1\r\n");
    const auto link = sandbox.Path("config.ini");
    fs::create_symlink("real/settings.ini", link);

    TIniFile(link).WriteString("Config", "Port", "2");

    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadAll(real), "[Config]\r\nPort=2\r\n");
}

struct TFailCase {
    const char* Name;
    const char* Target;         // the file written, below the sandbox
    const char* OldFile = "";   // written first with OldContent when not empty
    const char* InTheWay = "";  // a plain file of that name
    const char* FolderInTheWay = "";
    mode_t FolderMode = 0755;  // of the target's folder during the write
    mode_t FileMode = 0644;    // of the old file during the write
};

constexpr std::string_view OldContent = "[Config]\r\nPort=1\r\n";

void ExpectWriteFails(const TFailCase& c) {
    SCOPED_TRACE(c.Name);
    TSandbox sandbox;
    if (*c.OldFile)
        sandbox.WriteFile(c.OldFile, OldContent);
    if (*c.InTheWay)
        sandbox.WriteFile(c.InTheWay, "x");
    if (*c.FolderInTheWay)
        sandbox.Folder(c.FolderInTheWay);
    const auto path = sandbox.Path(c.Target);
    {
        const TModeGuard folderMode(path.parent_path(), c.FolderMode);
        const TModeGuard fileMode(*c.OldFile ? path : sandbox.Path("none"), c.FileMode);
        try {
            TIniFile(path).WriteString("Config", "Port", "2");
            ADD_FAILURE() << "no error";
        } catch (const TStreamError& e) {
            EXPECT_TRUE(std::string_view(e.what()).starts_with(path.string() + ": ")) << e.what();
        }
    }
    if (*c.OldFile) {
        EXPECT_EQ(ReadAll(path), OldContent);
    }
    EXPECT_FALSE(fs::exists(sandbox.Path("missing")));
    // No temporary file is left behind.
    for (const auto& entry : fs::recursive_directory_iterator(sandbox.Root()))
        EXPECT_FALSE(entry.path().filename().string().starts_with(".")) << entry.path();
}

TEST(IniFile, AWriteThatCannotBeDoneThrowsAndKeepsTheOldFile) {
    const TFailCase cases[] = {
        {.Name = "folder missing", .Target = "missing/config.ini"},
        {.Name = "a file in place of the folder", .Target = "file/config.ini", .InTheWay = "file"},
        {.Name = "a folder in place of the file", .Target = "config.ini", .FolderInTheWay = "config.ini"},
    };
    for (const auto& c : cases)
        ExpectWriteFails(c);
}

TEST(IniFile, AWriteThatModesForbidThrowsAndKeepsTheOldFile) {
    if (test::PermissionsAreIgnored(TSandbox().Path("probe")))
        GTEST_SKIP() << "this process may write regardless of file modes";
    const TFailCase cases[] = {
        {.Name = "read-only folder",
         .Target = "ro/config.ini",
         .OldFile = "ro/config.ini",
         .FolderMode = 0555},
        {.Name = "read-only file", .Target = "config.ini", .OldFile = "config.ini", .FileMode = 0444},
        // Writing without reading first would lose the rest of the file.
        {.Name = "unreadable file", .Target = "config.ini", .OldFile = "config.ini", .FileMode = 0200},
    };
    for (const auto& c : cases)
        ExpectWriteFails(c);
}

TEST(IniFile, NamesAndValuesThatOneLineCannotHoldAreRefused) {
    const struct {
        const char* Section;
        const char* Key;
        const char* Value;
    } cases[] = {
        {"Config", "a=b", "1"},   {"Config", "", "1"},          {"Config", " Port", "1"},
        {"Config", ";Port", "1"}, {"Config", "[Port", "1"},     {"Con]fig", "Port", "1"},
        {"", "Port", "1"},        {"Config", "Port", "1\r\n2"}, {"Config", "Port", "1\n[Other]"},
    };
    TSandbox sandbox;
    TIniFile ini(sandbox.Path("config.ini"));
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Section) + "/" + c.Key + "/" + c.Value);
        EXPECT_THROW(ini.WriteString(c.Section, c.Key, c.Value), std::invalid_argument);
    }
    EXPECT_FALSE(fs::exists(sandbox.Path("config.ini")));
}

}  // namespace
}  // namespace fwp
