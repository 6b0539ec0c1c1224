#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

// Reading the queries of the easy connection service exactly as the program's
// client writes them. The client escapes only space, "*", "#", "%", "<", ">"
// and bytes from 0x80 as %XX, so a user name may hold "&", "=", "+", "?" and
// "/" as they are; a general query parser would split or change such names.
namespace fwp::server {

enum class TMode : std::uint8_t { mdOpen, mdGet, mdClose, mdProbe, mdRelay, mdRelayWait };

// One request, its values decoded to bytes. Port is read for open and probe,
// Ip for open only; a probe has no user.
struct TQuery {
    TMode Mode = TMode::mdGet;
    std::string User;  // CP932 bytes as the client sent them
    std::string Port;  // decimal text, not yet checked
    std::string Ip;    // empty when the client left it out
};

// Why a query was refused; the text goes into the reply after "400 ".
struct TQueryError {
    std::string Reason;
};

// Reads the query part of a raw request target (the text after the first
// "?"). The keys must come in the client's fixed order:
//   mode=open&user=U&port=P&ip=A
//   mode=get&user=U
//   mode=close&user=U
//   mode=probe&port=P
//   mode=relay&user=U, mode=relaywait&user=U (only where a relay runs)
// For get, close and the relay modes the name is everything after "user=". For open the port
// and the address never hold "&" in a well-formed request, so they are taken
// from the right end ("&ip=" last, "&port=" before it) and the name is what
// lies between: that is exact whatever the name contains.
std::variant<TQuery, TQueryError> ParseQuery(std::string_view target);

// Decodes %XX sequences (hex digits of either case); every other byte, "+"
// included, stays as it is. A "%" without two hex digits gives no value.
std::optional<std::string> PercentDecode(std::string_view text);

// True for exactly four decimal numbers 0-255 joined by dots, without signs,
// blanks or leading zeros ("010.0.0.1" is refused: some readers take it as octal).
bool IsDottedIPv4(std::string_view text);

// An address as it is stored and answered: dotted IPv4 as IsDottedIPv4 takes
// it, or a textual IPv6 address in its shortest lower-case form; an IPv4
// address mapped into IPv6 becomes plain IPv4. Nothing for anything else
// (host names, zones such as "%eth0", blanks).
std::optional<std::string> CanonicalAddress(std::string_view text);

// The key under which the rate limit counts a client address. One IPv6 user
// commonly holds a whole /64 network and may pick any address in it, so an
// IPv6 address counts as its /64 ("2001:db8:1:2::/64"); anything else as it is.
std::string RateLimitKey(const std::string& address);

// A port number in decimal: digits only, 1-65535.
std::optional<int> ParsePort(std::string_view text);

}  // namespace fwp::server
