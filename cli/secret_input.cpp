#include "cli/secret_input.h"

#include <cstdio>
#include <cstdlib>

#include <termios.h>
#include <unistd.h>

#include "common/codec.h"

namespace fwp::cli {
namespace {

constexpr std::size_t MaxPhraseBytes = 1024;

// One line from standard input, read byte by byte so that nothing after it
// is taken from the answers that may follow. On a terminal the typing is not
// echoed; what was typed ahead is kept.
std::string ReadPhraseLine() {
    const bool terminal = ::isatty(STDIN_FILENO);
    termios saved{};
    if (terminal && ::tcgetattr(STDIN_FILENO, &saved) == 0) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
        std::fputs("合言葉: ", stderr);
        std::fflush(stderr);
    }
    std::string line;
    char c;
    while (line.size() <= MaxPhraseBytes && ::read(STDIN_FILENO, &c, 1) == 1 && c != '\n')
        line += c;
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        std::fputs("\n", stderr);
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.size() > MaxPhraseBytes)
        throw TUsageError("--secret: the passphrase is longer than " + std::to_string(MaxPhraseBytes) +
                          " bytes");
    return line;
}

}  // namespace

std::string ResolveSecret(const TOptions& options) {
    std::string phrase;
    if (options.Secret)
        phrase = *options.Secret == "-" ? ReadPhraseLine() : *options.Secret;
    else if (const char* environment = std::getenv("FWP_SECRET"); environment && *environment)
        phrase = environment;
    else
        return {};
    if (phrase.empty())
        throw TUsageError("--secret: the passphrase is empty");
    bool exact = true;
    std::string bytes = codec::Utf8ToCp932(phrase, &exact);
    if (!exact)
        throw TUsageError("--secret: the passphrase has characters that CP932 cannot write");
    return bytes;
}

}  // namespace fwp::cli
