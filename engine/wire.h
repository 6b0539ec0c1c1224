#pragma once

#include <string_view>

// The words of the peer protocol, byte for byte.
namespace fwp::wire {

constexpr std::string_view Banner = "Fernwaypost Protocol Version 0.90";
constexpr std::string_view LineEnd = "\r\n";

constexpr std::string_view CmdIdoling = "#IDOLING";
constexpr std::string_view CmdTerminate = "#TERMINATE";
constexpr std::string_view CmdTransData = "#TRANSDATA";
constexpr std::string_view CmdAbort = "#ABORT";
constexpr std::string_view CmdSuspend = "#SUSPEND";
constexpr std::string_view CmdResume = "#RESUME";
constexpr std::string_view CmdSeek = "#SEEK";

constexpr std::string_view AnswerAccept = "$ACPT";
constexpr std::string_view AnswerDeny = "$DENY";
constexpr std::string_view AnswerFailed = "$FAILED";

}  // namespace fwp::wire
