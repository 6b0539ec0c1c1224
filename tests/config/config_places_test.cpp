#include "config/config_places.h"

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "config/config.h"
#include "tests/config/permissions.h"
#include "tests/support/sandbox.h"

namespace fwp {
namespace {

namespace fs = std::filesystem;
using test::TSandbox;

struct TLocationCase {
    const char* Name;
    const char* ExeFolder;  // below the sandbox; "" for none known
    bool CreateExeFolder;
    const char* XdgConfigHome;  // below the sandbox when it starts with "/", else as it is
    const char* Expected;       // below the sandbox
};

TEST(ConfigPlaces, TheFileLivesBesideAWritableProgramOtherwiseInTheUserConfigFolder) {
    const TLocationCase cases[] = {
        {"writable program folder", "prog", true, "/xdg", "prog/config.ini"},
        {"program folder missing, XDG_CONFIG_HOME set", "gone", false, "/xdg", "xdg/fernwaypost/config.ini"},
        {"XDG_CONFIG_HOME unset", "gone", false, "", "home/.config/fernwaypost/config.ini"},
        {"relative XDG_CONFIG_HOME is ignored", "gone", false, "rel/cfg",
         "home/.config/fernwaypost/config.ini"},
        {"program folder unknown", "", false, "/xdg", "xdg/fernwaypost/config.ini"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TSandbox sandbox;
        TConfigPlaces places;
        if (*c.ExeFolder)
            places.ExeFolder = c.CreateExeFolder ? sandbox.Folder(c.ExeFolder) : sandbox.Path(c.ExeFolder);
        places.Home = sandbox.Path("home");
        const std::string xdg = c.XdgConfigHome;
        places.XdgConfigHome = xdg.starts_with("/") ? sandbox.Root().string() + xdg : xdg;
        EXPECT_EQ(DefaultConfigPath(places), sandbox.Path(c.Expected));
    }
}

TEST(ConfigPlaces, AnInstalledProgramKeepsNothingInTheSystemFolders) {
    TSandbox sandbox;
    TConfigPlaces places;
    places.ExeFolder = "/usr/bin";  // writable for an administrator, still no portable copy
    places.Home = sandbox.Path("home");
    places.UserDirTool = sandbox.Path("no-such-tool").string();
    EXPECT_FALSE(IsPortableProgramFolder("/usr/bin"));
    EXPECT_FALSE(IsPortableProgramFolder("/usr/local/bin/../bin"));
    EXPECT_TRUE(IsPortableProgramFolder(sandbox.Root()));
    EXPECT_EQ(DefaultConfigPath(places), sandbox.Path("home/.config/fernwaypost/config.ini"));
    EXPECT_EQ(DefaultReceiveTo(places), sandbox.Path("home/Downloads").string() + "/");
}

TEST(ConfigPlaces, AReadOnlyProgramFolderIsNotUsed) {
    TSandbox sandbox;
    if (test::PermissionsAreIgnored(sandbox.Path("probe")))
        GTEST_SKIP() << "this process may write regardless of folder modes";
    TConfigPlaces places;
    places.ExeFolder = sandbox.Folder("prog");
    places.Home = sandbox.Path("home");
    const test::TModeGuard readOnly(places.ExeFolder, 0555);
    EXPECT_EQ(DefaultConfigPath(places), sandbox.Path("home/.config/fernwaypost/config.ini"));
    EXPECT_EQ(DefaultReceiveTo(places), sandbox.Path("home/Downloads").string() + "/");
}

TEST(ConfigPlaces, TheFirstSaveCreatesTheConfigFolderForTheUserOnly) {
    TSandbox sandbox;
    TConfigPlaces places;
    places.ExeFolder = sandbox.Path("gone");
    places.Home = sandbox.Path("home");
    places.XdgConfigHome = sandbox.Path("xdg").string();
    places.UserDirTool = sandbox.Path("no-such-tool").string();
    TConfig config(DefaultConfigPath(places), places);
    config.Load();
    config.Save();
    EXPECT_TRUE(fs::is_regular_file(sandbox.Path("xdg/fernwaypost/config.ini")));
    EXPECT_EQ(fs::status(sandbox.Path("xdg/fernwaypost")).permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(sandbox.Path("xdg")).permissions(), fs::perms::owner_all);
}

TEST(ConfigPlaces, TheProgramFolderIsTheFolderOfTheRunningExecutable) {
    EXPECT_TRUE(fs::equivalent(TConfigPlaces::FromSystem().ExeFolder, FWP_BIN_DIR));
}

fs::path WriteScript(const TSandbox& sandbox, const std::string& body) {
    const auto path = sandbox.WriteFile("tool", "#!/bin/sh\n" + body + "\n");
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

TEST(ConfigPlaces, TheDefaultSaveFolderIsTheProgramFolderElseTheDownloadFolder) {
    struct TCase {
        const char* Name;
        bool WritableProgramFolder;
        std::string ToolBody;  // "" for no tool; "@" stands for the sandbox folder
        const char* Expected;  // below the sandbox, with its "/"
    };
    const TCase cases[] = {
        {"writable program folder", true, "echo @/dl", "prog/"},
        {"download folder printed", false, "echo @/dl", "dl/"},
        {"printed with a slash", false, "echo @/dl/", "dl/"},
        {"printed folder missing", false, "echo @/nothing", "home/Downloads/"},
        {"nothing printed", false, "true", "home/Downloads/"},
        {"tool fails", false, "echo @/dl; exit 1", "home/Downloads/"},
        {"relative folder printed", false, "echo dl", "home/Downloads/"},
        {"no tool", false, "", "home/Downloads/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TSandbox sandbox;
        sandbox.Folder("dl");
        TConfigPlaces places;
        places.ExeFolder = c.WritableProgramFolder ? sandbox.Folder("prog") : sandbox.Path("prog");
        places.Home = sandbox.Path("home");
        std::string body = c.ToolBody;
        if (const auto at = body.find('@'); at != std::string::npos)
            body.replace(at, 1, sandbox.Root().string());
        places.UserDirTool =
            body.empty() ? sandbox.Path("tool").string() : WriteScript(sandbox, body).string();
        EXPECT_EQ(DefaultReceiveTo(places), sandbox.Path(c.Expected).string());
        EXPECT_EQ(TConfig(sandbox.Path("config.ini"), places).ReceiveTo, sandbox.Path(c.Expected).string());
    }
}

TEST(ConfigPlaces, TheDownloadFolderIsTheOneTheUserDirSettingsName) {
    if (std::system("command -v xdg-user-dir > /dev/null") != 0)
        GTEST_SKIP() << "xdg-user-dir is not installed";
    TSandbox sandbox;
    sandbox.WriteFile("cfg/user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"$HOME/Eingang\"\n");
    sandbox.Folder("home/Eingang");
    TConfigPlaces places;
    places.ExeFolder = sandbox.Path("gone");
    places.Home = sandbox.Path("home");
    places.XdgConfigHome = sandbox.Path("cfg").string();
    EXPECT_EQ(DefaultReceiveTo(places), sandbox.Path("home/Eingang").string() + "/");
}

}  // namespace
}  // namespace fwp
