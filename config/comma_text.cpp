#include "config/comma_text.h"

namespace fwp {
namespace {

constexpr char Quote = '"';
constexpr char Delimiter = ',';

// Spaces and control characters; they end an unquoted entry.
bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}

bool NeedsQuotes(std::string_view entry) {
    for (const char c : entry)
        if (IsBlank(c) || c == Quote || c == Delimiter)
            return true;
    return false;
}

void SkipBlanks(std::string_view text, std::size_t& i) {
    while (i < text.size() && IsBlank(text[i]))
        ++i;
}

// Reads a quoted entry starting at the opening quote; a doubled quote stands
// for one, and a missing closing quote ends the entry at the end of the text.
std::string ReadQuoted(std::string_view text, std::size_t& i) {
    std::string entry;
    ++i;
    while (i < text.size()) {
        if (text[i] == Quote) {
            if (i + 1 < text.size() && text[i + 1] == Quote) {
                entry += Quote;
                i += 2;
                continue;
            }
            ++i;
            break;
        }
        entry += text[i++];
    }
    return entry;
}

}  // namespace

std::string ToCommaText(const std::vector<std::string>& entries) {
    if (entries.size() == 1 && entries.front().empty())
        return {Quote, Quote};
    std::string text;
    bool first = true;
    for (const auto& entry : entries) {
        if (!first)
            text += Delimiter;
        first = false;
        if (!NeedsQuotes(entry)) {
            text += entry;
            continue;
        }
        text += Quote;
        for (const char c : entry) {
            if (c == Quote)
                text += Quote;
            text += c;
        }
        text += Quote;
    }
    return text;
}

std::vector<std::string> FromCommaText(std::string_view text) {
    std::vector<std::string> entries;
    std::size_t i = 0;
    SkipBlanks(text, i);
    while (i < text.size()) {
        if (text[i] == Quote) {
            entries.push_back(ReadQuoted(text, i));
        } else {
            const std::size_t start = i;
            while (i < text.size() && !IsBlank(text[i]) && text[i] != Delimiter)
                ++i;
            entries.emplace_back(text.substr(start, i - start));
        }
        SkipBlanks(text, i);
        if (i < text.size() && text[i] == Delimiter) {
            if (i + 1 == text.size())
                entries.emplace_back();  // "a," holds a second, empty entry
            ++i;
            SkipBlanks(text, i);
        }
    }
    return entries;
}

}  // namespace fwp
