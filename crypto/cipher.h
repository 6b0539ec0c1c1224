#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace fwp {

// A caller broke a precondition of the cipher framework, such as deciphering a
// length that is not a whole number of blocks. Thrown rather than aborting,
// because such lengths can come from a hostile peer.
class TCryptAssertion : public TError {
public:
    using TError::TError;
};

// An abstract block cipher. A block passes through three forms: bytes, the
// cipher's internal form (LoadBlock), and back to bytes (StoreBlock); both
// forms take GetBlockSize bytes of storage.
class TCipher {
public:
    TCipher() = default;
    virtual ~TCipher() = default;
    TCipher(const TCipher&) = delete;
    TCipher& operator=(const TCipher&) = delete;

    virtual std::string GetName() const = 0;
    virtual std::int32_t GetBlockSize() const = 0;
    // Runs the key schedule; the base cipher has no key and does nothing.
    virtual void SetKey(const std::uint8_t* key, std::int32_t length);
    // One block in internal form; in and out may be the same buffer.
    virtual void EncryptBlock(const std::uint8_t* in, std::uint8_t* out) = 0;
    virtual void DecryptBlock(const std::uint8_t* in, std::uint8_t* out) = 0;
    // Internal form to bytes; the base copies the block unchanged.
    virtual void StoreBlock(const std::uint8_t* in, std::uint8_t* out);
    // Bytes to internal form; the base copies the block unchanged.
    virtual void LoadBlock(const std::uint8_t* in, std::uint8_t* out);
};

// Runs one block of bytes through the cipher: load, encrypt, store. buffer may
// be data itself.
void CipherEncrypt(TCipher& cipher, const std::uint8_t* data, std::uint8_t* buffer);
// The same with DecryptBlock.
void CipherDecrypt(TCipher& cipher, const std::uint8_t* data, std::uint8_t* buffer);

// How TCrypt fills the last block when enciphering and finds the padding when
// deciphering.
enum class TPaddingMode : std::uint8_t {
    pmCount = 0,   // n missing bytes of value n; removal reads the last byte, unchecked
    pmMarker = 1,  // 0x80 then zeros; removal throws "Crypt Error" without the marker
    pmZeros = 2,   // zeros; removal takes every trailing zero
    pmSpaces = 3,  // 0x20 bytes; removal takes every trailing 0x20
    pmNone = 4,    // no padding: data must be whole blocks
};

// Padding and chaining over a block cipher; subclasses supply the chaining mode.
class TCrypt {
public:
    // Keys cipher with length bytes of key and takes the first block-size bytes
    // of iv (missing bytes are zero). When ownsCipher is true the cipher must
    // come from new and is deleted with this object, or at once when the
    // constructor throws (TCryptAssertion for no cipher or an unknown mode, or
    // whatever the cipher's SetKey throws).
    TCrypt(const std::uint8_t* key, std::int32_t keyLength, TCipher* cipher, const std::uint8_t* iv,
           std::int32_t ivLength, TPaddingMode paddingMode, bool ownsCipher);
    // The same with the bytes of a text as the key.
    TCrypt(std::string_view key, TCipher* cipher, const std::uint8_t* iv, std::int32_t ivLength,
           TPaddingMode paddingMode, bool ownsCipher);
    virtual ~TCrypt();
    TCrypt(const TCrypt&) = delete;
    TCrypt& operator=(const TCrypt&) = delete;

    // Both set the chaining register to the IV.
    virtual void ResetEncrypt();
    virtual void ResetDecrypt();
    // Adding: block holds count data bytes (0 to block size - 1); fills the
    // rest and returns how many bytes were added. Removing: count is the block
    // size; returns how many bytes at the end of the block are padding.
    virtual std::int32_t Pad(std::uint8_t* block, std::int32_t count, bool adding);

    std::int32_t BlockSize() const { return m_cipher->GetBlockSize(); }
    // Ciphertext length for a plaintext of length bytes. Every mode but
    // pmNone adds at least one byte, so a whole-block plaintext gains a block.
    std::size_t OutputSize(std::size_t length) const;
    // Enciphers length bytes; out must hold OutputSize(length) bytes and may be
    // in. Returns OutputSize(length).
    std::size_t Encrypt(const std::uint8_t* in, std::uint8_t* out, std::size_t length);
    // Deciphers length bytes (whole blocks); out must hold length bytes and may
    // be in. Returns the plaintext length, never below 0.
    std::size_t Decrypt(const std::uint8_t* in, std::uint8_t* out, std::size_t length);

    TCipher& Cipher() const { return *m_cipher; }
    TPaddingMode PaddingMode() const { return m_paddingMode; }
    bool OwnsCipher() const { return m_ownsCipher; }
    void SetOwnsCipher(bool ownsCipher) { m_ownsCipher = ownsCipher; }

protected:
    // The chaining mode's step for one block of bytes; in and out may be the
    // same buffer.
    virtual void EncryptBlock(const std::uint8_t* in, std::uint8_t* out) = 0;
    virtual void DecryptBlock(const std::uint8_t* in, std::uint8_t* out) = 0;

    TPaddingMode m_paddingMode;
    TCipher* m_cipher;
    std::vector<std::uint8_t> m_iv;
    std::vector<std::uint8_t> m_chain;  // the chaining register
    std::vector<std::uint8_t> m_saved;  // a ciphertext block kept while its buffer is overwritten
    bool m_ownsCipher;
};

// Cipher block chaining: each plaintext block is XORed with the previous
// ciphertext block (the IV for the first) before it is enciphered.
class TCryptCBC : public TCrypt {
public:
    using TCrypt::TCrypt;

protected:
    void EncryptBlock(const std::uint8_t* in, std::uint8_t* out) override;
    void DecryptBlock(const std::uint8_t* in, std::uint8_t* out) override;
};

}  // namespace fwp
