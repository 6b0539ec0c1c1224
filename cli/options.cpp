#include "cli/options.h"

#include <cstdlib>
#include <string_view>

#include "common/numbers.h"

namespace fwp::cli {

const char* const UsageText =
    "usage:\n"
    "  fwpost listen       [options] [FILE...]   wait for one peer, then run the session\n"
    "  fwpost connect HOST [options] [FILE...]   connect to HOST, then run the session\n"
    "  fwpost connect --user NAME [options] [FILE...]\n"
    "                                            find NAME with the easy connection service\n"
    "  fwpost upnp                               show the router's control URL, external address\n"
    "                                            and mapping method (upnp or natpmp)\n"
    "  fwpost upnp add PORT | upnp delete PORT   map or unmap a TCP port on the router\n"
    "\n"
    "options:\n"
    "  -p, --port N           default: the Port setting (4006); listen accepts 0 = any free port\n"
    "  -d, --receive-to DIR   default: the ReceiveTo setting\n"
    "  -y, --auto-receive     accept every file offer into DIR (an unfinished receive of the\n"
    "                         same file is resumed unless --no-resume; another file of that\n"
    "                         name is kept and the new one saved as \"NAME (1).EXT\")\n"
    "      --no-resume        replace existing files instead\n"
    "  -t, --packet-type direct|compress|crypt     default: the PacketType setting\n"
    "  -b, --buffer-size N    default: the BufferSize setting\n"
    "  -m, --max-send N       default: the MaxSendCount setting\n"
    "  -s, --say TEXT         send an instant message once connected (repeatable)\n"
    "      --chat             send each line of standard input as an instant message\n"
    "                         (then offers are not asked on the terminal)\n"
    "      --limit-rate RATE  send file data at most RATE bytes a second; K and M\n"
    "                         suffixes count 1024s; 0 = no limit (default: MaxSendRate)\n"
    "      --stay             keep the session open after own transfers end\n"
    "  -c, --config FILE      settings file to read (fwpost never writes settings)\n"
    "  -q, --quiet            no progress display\n"
    "      --register NAME    listen: register NAME with the easy connection service while waiting\n"
    "      --user NAME        connect: find the peer registered as NAME (five tries, 2 s apart)\n"
    "      --upnp             listen: map the port on the router while the session lasts\n"
    "      --service-url URL  the easy connection service (default: the EasyServiceURL setting)\n"
    "      --secret PHRASE    run the session encrypted, keyed by PHRASE, with a peer that\n"
    "                         uses the same phrase (\"-\" asks on the terminal; default: the\n"
    "                         FWP_SECRET environment variable); classic peers are refused\n"
    "      --relay            listen --register: wait at the service's relay as well;\n"
    "                         connect --user: go through the relay at once (without it, a\n"
    "                         secured connect --user tries the relay when the peer cannot\n"
    "                         be reached within 3 s); needs --secret\n"
    "  -h, --help             this text\n"
    "      --version          the program's version\n"
    "\n"
    "Standard output has one line per event: \"listening PORT\", \"connected ADDRESS\",\n"
    "\"offer NAME SIZE\", \"done NAME RESULT\", \"message TEXT\" (and \"secured\", \"disconnected\",\n"
    "\"reconnecting\", \"reconnected\", \"registered NAME\", \"found NAME HOST PORT\",\n"
    "\"reachable yes|no\", \"relayed HOST:PORT\", \"mapped PORT\", \"unmapped PORT\", \"external-address "
    "ADDRESS\",\n"
    "\"saved NAME as NEWNAME\", \"control-url URL\"). Exit status: 0 when every own file\n"
    "and every accepted incoming file arrived whole, 1 when one did not, 2 for a usage\n"
    "error or when no session was established.\n";

namespace {

struct TSpec {
    char Short;
    std::string_view Long;
    bool TakesValue;
};

constexpr TSpec Specs[] = {
    {'p', "port", true},        {'d', "receive-to", true},   {'y', "auto-receive", false},
    {'\0', "no-resume", false}, {'t', "packet-type", true},  {'b', "buffer-size", true},
    {'m', "max-send", true},    {'s', "say", true},          {'\0', "stay", false},
    {'c', "config", true},      {'q', "quiet", false},       {'h', "help", false},
    {'\0', "version", false},   {'\0', "register", true},    {'\0', "user", true},
    {'\0', "upnp", false},      {'\0', "service-url", true}, {'\0', "secret", true},
    {'\0', "limit-rate", true}, {'\0', "chat", false},       {'\0', "relay", false},
};

std::int32_t NumberValue(std::string_view name, const std::string& value, std::int64_t low,
                         std::int64_t high) {
    const auto number = ParseInt64(value);
    if (!number || *number < low || *number > high)
        throw TUsageError("--" + std::string(name) + ": not a number in " + std::to_string(low) + ".." +
                          std::to_string(high) + ": " + value);
    return static_cast<std::int32_t>(*number);
}

// "500000", "800K", "1M": bytes per second.
std::int64_t RateValue(const std::string& value) {
    std::string digits = value;
    std::int64_t unit = 1;
    if (!digits.empty() && (digits.back() == 'K' || digits.back() == 'k'))
        unit = 1024;
    else if (!digits.empty() && (digits.back() == 'M' || digits.back() == 'm'))
        unit = 1024 * 1024;
    if (unit != 1)
        digits.pop_back();
    const auto number = ParseInt64(digits);
    constexpr std::int64_t limit = std::int64_t{1} << 40;
    if (!number || *number < 0 || *number > limit / unit)
        throw TUsageError("--limit-rate: a number of bytes a second, with K or M if wanted: " + value);
    return *number * unit;
}

void Apply(TOptions& options, const TSpec& spec, const std::string& value) {
    const std::string_view name = spec.Long;
    if (name == "port")
        options.Port = NumberValue(name, value, 0, 65535);
    else if (name == "receive-to")
        options.ReceiveTo = value;
    else if (name == "auto-receive")
        options.AutoReceive = true;
    else if (name == "no-resume")
        options.NoResume = true;
    else if (name == "packet-type") {
        if (value == "direct")
            options.PacketType = 0;
        else if (value == "compress")
            options.PacketType = 1;
        else if (value == "crypt")
            options.PacketType = 2;
        else
            throw TUsageError("--packet-type: direct, compress or crypt: " + value);
    } else if (name == "buffer-size")
        options.BufferSize = NumberValue(name, value, 128, 2147483647);
    else if (name == "max-send")
        options.MaxSend = NumberValue(name, value, 1, 64);
    else if (name == "say")
        options.Say.push_back(value);
    else if (name == "limit-rate")
        options.LimitRate = RateValue(value);
    else if (name == "chat")
        options.Chat = true;
    else if (name == "stay")
        options.Stay = true;
    else if (name == "config")
        options.ConfigFile = value;
    else if (name == "quiet")
        options.Quiet = true;
    else if (name == "register")
        options.Register = value;
    else if (name == "user")
        options.User = value;
    else if (name == "upnp")
        options.Upnp = true;
    else if (name == "relay")
        options.Relay = true;
    else if (name == "service-url")
        options.ServiceUrl = value;
    else if (name == "secret") {
        if (value.empty())
            throw TUsageError("--secret: the passphrase is empty");
        options.Secret = value;
    } else if (name == "help")
        options.Command = TCommand::cmHelp;
    else if (name == "version")
        options.Command = TCommand::cmVersion;
}

}  // namespace

TOptions ParseOptions(int argc, char** argv) {
    TOptions options;
    std::vector<std::string> words;
    bool help = false;
    bool version = false;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto valueFor = [&](const TSpec& spec, std::string inlineValue, bool hasInline) {
            if (hasInline)
                return inlineValue;
            if (i + 1 >= argc)
                throw TUsageError("option --" + std::string(spec.Long) + " needs a value");
            return std::string(argv[++i]);
        };
        auto note = [&](const TSpec& spec, const std::string& value) {
            if (spec.Long == "help")
                help = true;
            else if (spec.Long == "version")
                version = true;
            else
                Apply(options, spec, value);
        };
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            words.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg.starts_with("--")) {
            const std::size_t equals = arg.find('=');
            const std::string name =
                arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
            const TSpec* found = nullptr;
            for (const TSpec& spec : Specs)
                if (spec.Long == name)
                    found = &spec;
            if (!found)
                throw TUsageError("unknown option: " + arg);
            if (!found->TakesValue && equals != std::string::npos)
                throw TUsageError("option --" + name + " takes no value");
            const bool hasInline = equals != std::string::npos;
            note(*found, found->TakesValue
                             ? valueFor(*found, hasInline ? arg.substr(equals + 1) : "", hasInline)
                             : std::string());
        } else {
            // One or more short options; a value may follow attached or as the next word.
            for (std::size_t k = 1; k < arg.size(); ++k) {
                const TSpec* found = nullptr;
                for (const TSpec& spec : Specs)
                    if (spec.Short != '\0' && spec.Short == arg[k])
                        found = &spec;
                if (!found)
                    throw TUsageError(std::string("unknown option: -") + arg[k]);
                if (found->TakesValue) {
                    const bool hasInline = k + 1 < arg.size();
                    note(*found, valueFor(*found, hasInline ? arg.substr(k + 1) : "", hasInline));
                    break;
                }
                note(*found, std::string());
            }
        }
    }
    if (help) {
        options.Command = TCommand::cmHelp;
        return options;
    }
    if (version) {
        options.Command = TCommand::cmVersion;
        return options;
    }
    if (words.empty())
        throw TUsageError("a command is needed: listen or connect");
    if (options.Register && words[0] != "listen")
        throw TUsageError("--register is for listen");
    if (options.User && words[0] != "connect")
        throw TUsageError("--user is for connect");
    if (options.Upnp && words[0] != "listen")
        throw TUsageError("--upnp is for listen");
    if (options.Secret && words[0] != "listen" && words[0] != "connect")
        throw TUsageError("--secret is for listen and connect");
    if (options.Relay) {
        if (!(words[0] == "listen" && options.Register) && !(words[0] == "connect" && options.User))
            throw TUsageError("--relay is for listen --register NAME and connect --user NAME");
        // The relay carries only sessions it cannot read.
        const char* environment = std::getenv("FWP_SECRET");
        if (!options.Secret && !(environment && *environment))
            throw TUsageError("--relay needs --secret: a relayed session is always encrypted");
    }
    if (words[0] == "listen") {
        options.Command = TCommand::cmListen;
        options.Files.assign(words.begin() + 1, words.end());
    } else if (words[0] == "connect") {
        options.Command = TCommand::cmConnect;
        if (options.User) {
            options.Files.assign(words.begin() + 1, words.end());
        } else {
            if (words.size() < 2)
                throw TUsageError("connect needs a HOST or --user NAME");
            options.Host = words[1];
            options.Files.assign(words.begin() + 2, words.end());
        }
    } else if (words[0] == "upnp") {
        options.Command = TCommand::cmUpnp;
        if (words.size() == 3 && (words[1] == "add" || words[1] == "delete")) {
            options.UpnpAction = words[1] == "add" ? TUpnpAction::uaAdd : TUpnpAction::uaDelete;
            options.UpnpPort = NumberValue("upnp", words[2], 1, 65535);
        } else if (words.size() != 1) {
            throw TUsageError("upnp takes nothing, or add PORT, or delete PORT");
        }
    } else {
        throw TUsageError("unknown command: " + words[0]);
    }
    return options;
}

}  // namespace fwp::cli
