// The installation: the program, its plug-in folder, its desktop entry and
// icons land in the usual places, and the installed program finds its plug-in folder.
#include <cstdlib>

#include <gtest/gtest.h>

#include "tests/support/sandbox.h"
#include "ui/application.h"

namespace fwp::test {
namespace {

TEST(Installation, PutsEverythingInTheUsualPlacesUnlessTheCopyIsPortable) {
    TSandbox box;
    const auto prefix = box.Folder("prefix");
    const std::string command = "cmake --install '" + std::string(FWP_BUILD_DIR) +
                                "' --component fernwaypost --prefix '" + prefix.string() + "' > '" +
                                box.Path("install.log").string() + "' 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << ReadAll(box.Path("install.log"));
    EXPECT_TRUE(std::filesystem::is_regular_file(prefix / "bin/fernwaypost"));
    const std::string desktop = ReadAll(prefix / "share/applications/fernwaypost.desktop");
    for (const char* line :
         {"[Desktop Entry]\n", "\nType=Application\n", "\nName=Fernwaypost\n", "\nExec=fernwaypost %F\n",
          "\nIcon=fernwaypost\n", "\nCategories=Network;FileTransfer;\n"})
        EXPECT_NE(desktop.find(line), std::string::npos) << line;
    for (const char* size : {"16x16", "32x32", "48x48", "64x64", "128x128", "256x256"})
        EXPECT_TRUE(
            std::filesystem::is_regular_file(prefix / "share/icons/hicolor" / size / "apps/fernwaypost.png"))
            << size;
    EXPECT_TRUE(ReadAll(prefix / "share/icons/hicolor/scalable/apps/fernwaypost.svg").find("<svg") !=
                std::string::npos);
    const auto metainfo = prefix / "share/metainfo/invalid.fernwaypost.Fernwaypost.metainfo.xml";
    EXPECT_NE(ReadAll(metainfo).find("<launchable type=\"desktop-id\">fernwaypost.desktop</launchable>"),
              std::string::npos);
    // The store's own checker, where the system has it (without looking anything up on the network).
    if (std::system("command -v appstreamcli > /dev/null 2>&1") == 0) {
        const std::string validate = "appstreamcli validate --no-net '" + metainfo.string() + "' > '" +
                                     box.Path("validate.log").string() + "' 2>&1";
        EXPECT_EQ(std::system(validate.c_str()), 0) << ReadAll(box.Path("validate.log"));
    }
    // The installed program looks for plug-ins in the installed plug-in folder.
    const auto plugins = PluginFolder(prefix / "bin");
    EXPECT_TRUE(std::filesystem::is_directory(plugins)) << plugins;
    EXPECT_EQ(plugins.filename(), "plugin");
    EXPECT_TRUE(plugins.string().starts_with(prefix.string() + "/lib")) << plugins;
    // A portable copy keeps its plug-ins beside it.
    const auto beside = box.Folder("portable/plugin");
    EXPECT_EQ(PluginFolder(box.Path("portable")), beside);
}

}  // namespace
}  // namespace fwp::test
