#include "crypto/cipher.h"

#include <algorithm>
#include <cstring>

namespace fwp {
namespace {

constexpr std::uint8_t PadMarker = 0x80;
constexpr std::uint8_t PadSpace = 0x20;

void XorInto(std::uint8_t* target, const std::uint8_t* source, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i)
        target[i] ^= source[i];
}

}  // namespace

void TCipher::SetKey(const std::uint8_t* /*key*/, std::int32_t /*length*/) {}

void TCipher::StoreBlock(const std::uint8_t* in, std::uint8_t* out) {
    std::memmove(out, in, static_cast<std::size_t>(GetBlockSize()));
}

void TCipher::LoadBlock(const std::uint8_t* in, std::uint8_t* out) {
    std::memmove(out, in, static_cast<std::size_t>(GetBlockSize()));
}

void CipherEncrypt(TCipher& cipher, const std::uint8_t* data, std::uint8_t* buffer) {
    cipher.LoadBlock(data, buffer);
    cipher.EncryptBlock(buffer, buffer);
    cipher.StoreBlock(buffer, buffer);
}

void CipherDecrypt(TCipher& cipher, const std::uint8_t* data, std::uint8_t* buffer) {
    cipher.LoadBlock(data, buffer);
    cipher.DecryptBlock(buffer, buffer);
    cipher.StoreBlock(buffer, buffer);
}

TCrypt::TCrypt(const std::uint8_t* key, std::int32_t keyLength, TCipher* cipher, const std::uint8_t* iv,
               std::int32_t ivLength, TPaddingMode paddingMode, bool ownsCipher)
    : m_paddingMode(paddingMode), m_cipher(cipher), m_ownsCipher(ownsCipher) {
    if (cipher == nullptr)
        throw TCryptAssertion("Assertion failed (CryptUtils): no cipher");
    // The destructor does not run for a half-built object, so an owned cipher
    // has to be released here when keying or checking fails.
    try {
        if (static_cast<std::uint8_t>(paddingMode) > static_cast<std::uint8_t>(TPaddingMode::pmNone))
            throw TCryptAssertion("Assertion failed (CryptUtils): unknown padding mode");
        const std::int32_t blockSize = cipher->GetBlockSize();
        if (blockSize <= 0)
            throw TCryptAssertion("Assertion failed (CryptUtils): block size must be positive");
        cipher->SetKey(key, keyLength);
        const auto size = static_cast<std::size_t>(blockSize);
        m_iv.assign(size, 0);
        m_chain.assign(size, 0);
        m_saved.assign(size, 0);
        if (iv != nullptr && ivLength > 0)
            std::memcpy(m_iv.data(), iv, std::min(size, static_cast<std::size_t>(ivLength)));
    } catch (...) {
        if (ownsCipher)
            delete cipher;
        throw;
    }
}

TCrypt::TCrypt(std::string_view key, TCipher* cipher, const std::uint8_t* iv, std::int32_t ivLength,
               TPaddingMode paddingMode, bool ownsCipher)
    : TCrypt(reinterpret_cast<const std::uint8_t*>(key.data()), static_cast<std::int32_t>(key.size()), cipher,
             iv, ivLength, paddingMode, ownsCipher) {}

TCrypt::~TCrypt() {
    if (m_ownsCipher)
        delete m_cipher;
}

void TCrypt::ResetEncrypt() {
    m_chain = m_iv;
}

void TCrypt::ResetDecrypt() {
    m_chain = m_iv;
}

std::int32_t TCrypt::Pad(std::uint8_t* block, std::int32_t count, bool adding) {
    const std::int32_t blockSize = BlockSize();
    if (adding) {
        const std::int32_t missing = blockSize - count;
        switch (m_paddingMode) {
            case TPaddingMode::pmCount:
                std::fill(block + count, block + blockSize, static_cast<std::uint8_t>(missing));
                return missing;
            case TPaddingMode::pmMarker:
                block[count] = PadMarker;
                std::fill(block + count + 1, block + blockSize, 0);
                return missing;
            case TPaddingMode::pmZeros:
                std::fill(block + count, block + blockSize, 0);
                return missing;
            case TPaddingMode::pmSpaces:
                std::fill(block + count, block + blockSize, PadSpace);
                return missing;
            case TPaddingMode::pmNone:
                return 0;
        }
        return 0;
    }

    switch (m_paddingMode) {
        case TPaddingMode::pmCount:
            return block[count - 1];
        case TPaddingMode::pmMarker: {
            std::int32_t i = count - 1;
            while (i >= 0 && block[i] == 0)
                --i;
            if (i < 0 || block[i] != PadMarker)
                throw TError("Crypt Error");
            return count - i;
        }
        case TPaddingMode::pmZeros:
        case TPaddingMode::pmSpaces: {
            const std::uint8_t filler = m_paddingMode == TPaddingMode::pmZeros ? 0 : PadSpace;
            std::int32_t i = count - 1;
            while (i >= 0 && block[i] == filler)
                --i;
            return count - 1 - i;
        }
        case TPaddingMode::pmNone:
            return 0;
    }
    return 0;
}

std::size_t TCrypt::OutputSize(std::size_t length) const {
    if (m_paddingMode == TPaddingMode::pmNone)
        return length;
    const auto blockSize = static_cast<std::size_t>(BlockSize());
    return (length + blockSize) / blockSize * blockSize;
}

std::size_t TCrypt::Encrypt(const std::uint8_t* in, std::uint8_t* out, std::size_t length) {
    const auto blockSize = static_cast<std::size_t>(BlockSize());
    const std::size_t rest = length % blockSize;
    if (m_paddingMode == TPaddingMode::pmNone && rest != 0)
        throw TCryptAssertion("Assertion failed (CryptUtils): plaintext is not a whole number of blocks");
    ResetEncrypt();
    const std::size_t whole = length - rest;
    for (std::size_t offset = 0; offset < whole; offset += blockSize)
        EncryptBlock(in + offset, out + offset);
    if (m_paddingMode != TPaddingMode::pmNone) {
        std::uint8_t* last = out + whole;
        if (rest > 0)
            std::memmove(last, in + whole, rest);
        Pad(last, static_cast<std::int32_t>(rest), true);
        EncryptBlock(last, last);
    }
    return OutputSize(length);
}

std::size_t TCrypt::Decrypt(const std::uint8_t* in, std::uint8_t* out, std::size_t length) {
    const auto blockSize = static_cast<std::size_t>(BlockSize());
    if (length % blockSize != 0)
        throw TCryptAssertion("Assertion failed (CryptUtils): ciphertext is not a whole number of blocks");
    ResetDecrypt();
    if (length == 0)
        return 0;
    for (std::size_t offset = 0; offset < length; offset += blockSize)
        DecryptBlock(in + offset, out + offset);
    const std::int32_t padding = Pad(out + length - blockSize, static_cast<std::int32_t>(blockSize), false);
    const auto removed = static_cast<std::size_t>(std::max(padding, 0));
    return removed >= length ? 0 : length - removed;
}

void TCryptCBC::EncryptBlock(const std::uint8_t* in, std::uint8_t* out) {
    XorInto(m_chain.data(), in, m_chain.size());
    CipherEncrypt(*m_cipher, m_chain.data(), m_chain.data());
    std::memcpy(out, m_chain.data(), m_chain.size());
}

void TCryptCBC::DecryptBlock(const std::uint8_t* in, std::uint8_t* out) {
    std::memcpy(m_saved.data(), in, m_saved.size());
    CipherDecrypt(*m_cipher, in, out);
    XorInto(out, m_chain.data(), m_chain.size());
    m_chain.swap(m_saved);
}

}  // namespace fwp
