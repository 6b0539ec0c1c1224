#include "crypto/md5.h"

#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace fwp {
namespace {

TEST(MD5, DigestTextMatchesPublishedValueWhetherFedWholeOrInPieces) {
    const struct {
        std::string message;
        std::string_view digestText;
    } cases[] = {
        // The test suite of RFC 1321, appendix A.5.
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        // Messages around the padding boundaries (55/56 and 63/64/65 bytes),
        // zero and high bytes; digests taken from coreutils md5sum.
        {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
        {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
        {std::string(57, 'a'), "652b906d60af96844ebd21b674f35e93"},
        {std::string(63, 'a'), "b06521f39153d618550606be297466d5"},
        {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
        {std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435"},
        {std::string(256, '\0'), "348a9791dc41b89796ec3808b5b5262f"},  // every byte counts, zeros too
        {"\x82\xa0\x82\xa2", "c42390b96673a74cc5cfa065f2cb7234"},      // Shift-JIS bytes, hashed as stored
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.message.size() << " bytes, " << c.digestText);
        EXPECT_EQ(DigestToHex(MD5OfString(c.message)), c.digestText);
        for (std::size_t pieceLength : {1u, 3u, 63u, 64u, 65u}) {
            TMD5Context context;
            for (std::size_t offset = 0; offset < c.message.size(); offset += pieceLength)
                context.Update(std::string_view(c.message).substr(offset, pieceLength));
            EXPECT_EQ(DigestToHex(context.Final()), c.digestText) << "in pieces of " << pieceLength;
        }
    }
}

TEST(MD5, DigestBytesAreInMessageDigestOrder) {
    // RFC 1321: MD5("abc") = 90 01 50 98 3c d2 4f b0 d6 96 3f 7d 28 e1 7f 72.
    const TMD5Digest expected = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                                 0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
    EXPECT_EQ(MD5OfString("abc"), expected);
}

}  // namespace
}  // namespace fwp
