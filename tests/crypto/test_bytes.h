// Internal to tests/crypto/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace fwp::test {

// Bytes written as hexadecimal digits, two per byte ("4EF9...").
inline std::string FromHex(std::string_view hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return bytes;
}

inline std::string ToHex(std::string_view bytes) {
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string text;
    for (const char c : bytes) {
        text += Digits[static_cast<std::uint8_t>(c) >> 4];
        text += Digits[static_cast<std::uint8_t>(c) & 0x0F];
    }
    return text;
}

// The text of the TError that call throws, or "no error".
inline std::string ErrorText(const std::function<void()>& call) {
    try {
        call();
    } catch (const TError& error) {
        return error.what();
    }
    return "no error";
}

// A level-1 zlib stream of HelloText, and the stream of nothing.
inline const std::string HelloText = "hello hello hello hello";
inline const std::string HelloStream = FromHex("7801CB48CDC9C957C8402701680308B1");
inline const std::string EmptyStream = FromHex("7801030000000001");

// Text-like bytes that compress to about a third: words from a small
// vocabulary, spaces and line breaks, in a seeded order.
inline std::string TextLike(std::size_t size, std::uint32_t seed) {
    static constexpr std::string_view Words[] = {
        "packet", "transfer", "file",  "peer",   "the", "of",     "and",  "data", "send",  "receive",
        "offer",  "accept",   "abort", "resume", "a",   "stream", "zlib", "key",  "block", "socket"};
    std::mt19937 gen(seed);
    std::string text;
    text.reserve(size + 16);
    while (text.size() < size) {
        text += Words[gen() % std::size(Words)];
        text += gen() % 12 == 0 ? '\n' : ' ';
    }
    text.resize(size);
    return text;
}

// Cuts length bytes into pieces of random sizes from 0 to maxPiece.
inline std::vector<std::size_t> RandomPieces(std::size_t length, std::size_t maxPiece, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<std::size_t> pieces;
    std::size_t left = length;
    while (left > 0) {
        const std::size_t piece = std::min<std::size_t>(left, gen() % (maxPiece + 1));
        pieces.push_back(piece);
        left -= piece;
    }
    return pieces;
}

}  // namespace fwp::test
