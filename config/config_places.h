#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace fwp {

// What decides where config.ini lives and where received files go by default.
// FromSystem reads the running system; tests fill in folders of their own.
struct TConfigPlaces {
    std::filesystem::path ExeFolder;           // folder of the running executable
    std::filesystem::path Home;                // the user's home folder
    std::string XdgConfigHome;                 // $XDG_CONFIG_HOME; empty when unset
    std::string UserDirTool = "xdg-user-dir";  // names the download folder; looked up in PATH

    // ExeFolder from /proc/self/exe, Home from $HOME (else the password
    // database), XdgConfigHome from the environment.
    static TConfigPlaces FromSystem();
};

// True when folder exists and this process may create files in it.
bool IsWritableFolder(const std::filesystem::path& folder);

// A writable folder outside the system's program folders (/usr, /bin, ...):
// a program there is a portable copy that keeps its files beside it.
bool IsPortableProgramFolder(const std::filesystem::path& folder);

// "config.ini" beside the executable when that is a portable copy; otherwise
// $XDG_CONFIG_HOME/fernwaypost/config.ini, or
// ~/.config/fernwaypost/config.ini when that variable is unset or not an
// absolute path. The folder need not exist yet; the first save creates it.
std::filesystem::path DefaultConfigPath(const TConfigPlaces& places = TConfigPlaces::FromSystem());

// The default folder for received files, ending in "/": the program's folder
// for a portable copy; else the download folder that "xdg-user-dir DOWNLOAD" prints,
// when the tool exists and prints an existing folder; else ~/Downloads.
std::string DefaultReceiveTo(const TConfigPlaces& places = TConfigPlaces::FromSystem());

// folder ending in exactly one "/" ("/srv/in//" gives "/srv/in/", "/" stays
// "/"); an empty text stays empty.
std::string WithTrailingSlash(std::string_view folder);

}  // namespace fwp
