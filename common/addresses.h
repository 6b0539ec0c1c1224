#pragma once

#include <string_view>

// The addresses the program knows of itself, in one place.
namespace fwp {

// The easy connection service script, unless config.ini names another under
// EasyServiceURL. The URL carries no query of its own.
inline constexpr std::string_view DefaultEasyServiceURL = "http://fernwaypost.invalid/easy.cgi";

}  // namespace fwp
