#pragma once

#include <string_view>

// The addresses the program knows of itself, in one place.
namespace fwp {

// The easy connection service script, unless config.ini names another under
// EasyServiceURL. The URL carries no query of its own.
inline constexpr std::string_view DefaultEasyServiceURL = "http://fernwaypost.invalid/easy.cgi";

// The program's web page, its mail address, the online help, and the file
// whose modification date tells when a new version was published.
inline constexpr std::string_view HomePageURL = "http://fernwaypost.invalid/";
inline constexpr std::string_view MailAddress = "support@fernwaypost.invalid";
inline constexpr std::string_view OnlineHelpURL = "http://fernwaypost.invalid/help/";
inline constexpr std::string_view VersionFileURL = "http://fernwaypost.invalid/history.txt";

}  // namespace fwp
