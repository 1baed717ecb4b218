#include <KWSecurity/CipherDigests.h>

#include "TestRoot.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

kw::ByteBuffer bytes(std::string_view text)
{
    return kw::ByteBuffer(text.begin(), text.end());
}

std::string hex(const kw::ByteBuffer& data)
{
    return *kw::KWMD5StringFromData(&data);
}

TEST(CipherDigests, KnownDigestsOfAbc)
{
    EXPECT_EQ(hex(kw::md5Digest(bytes("abc"))), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(hex(kw::sha1Digest(bytes("abc"))), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(kw::md5DigestForDatas({ bytes("a"), bytes("bc") }), kw::md5Digest(bytes("abc")));
    EXPECT_EQ(kw::sha1DigestForDatas({ bytes("a"), bytes(""), bytes("bc") }), kw::sha1Digest(bytes("abc")));
    EXPECT_EQ(hex(kw::md5Digest(bytes(""))), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(CipherDigests, CrcStartsFromZeroWithoutFinalInversion)
{
    EXPECT_EQ(kw::crc32(bytes("abc")), 0xCA6598D0u);
    EXPECT_EQ(kw::crc32(bytes("")), 0u);
    // The usual CRC-32 of "123456789" is CBF43926; this variant differs from it.
    EXPECT_NE(kw::crc32(bytes("123456789")), 0xCBF43926u);
    const auto data = bytes("123456789");
    EXPECT_EQ(kw::crc32(data.data(), data.size()), kw::crc32(data));
}

TEST(CipherDigests, ChecksumTextHasNoLengthLimit)
{
    const kw::ByteBuffer two { 0x0A, 0xFF };
    EXPECT_EQ(kw::KWMD5StringFromData(&two), "0aff");
    EXPECT_EQ(kw::KWMD5StringFromData(nullptr), std::nullopt);
    const kw::ByteBuffer many(200, 0xab);
    const auto text = kw::KWMD5StringFromData(&many);
    ASSERT_TRUE(text);
    EXPECT_EQ(text->size(), 400u);
    EXPECT_EQ(text->find_first_not_of("ab"), std::string::npos);
}

TEST(CipherDigests, StepwiseContexts)
{
    isc_md5_t md5;
    isc_md5_init(&md5);
    isc_md5_update(&md5, reinterpret_cast<const unsigned char*>("a"), 1);
    isc_md5_update(&md5, reinterpret_cast<const unsigned char*>("bc"), 2);
    unsigned char digest[ISC_MD5_DIGESTLENGTH];
    isc_md5_final(&md5, digest);
    EXPECT_EQ(kw::ByteBuffer(digest, digest + 16), kw::md5Digest(bytes("abc")));
    EXPECT_EQ(md5.state, nullptr);

    isc_sha1_t sha1;
    isc_sha1_init(&sha1);
    isc_sha1_update(&sha1, reinterpret_cast<const unsigned char*>("abc"), 3);
    unsigned char digest1[ISC_SHA1_DIGESTLENGTH];
    isc_sha1_final(&sha1, digest1);
    EXPECT_EQ(kw::ByteBuffer(digest1, digest1 + 20), kw::sha1Digest(bytes("abc")));

    isc_sha1_init(&sha1);
    isc_sha1_invalidate(&sha1);
    EXPECT_EQ(sha1.state, nullptr);
}

class FileChecksums : public ::testing::Test {
protected:
    kw::testing::TestFolder folder { false };
};

TEST_F(FileChecksums, RegularFileAndRelativeLink)
{
    kw::testing::writeFile(folder.file("data/file.txt"), "abc");
    ASSERT_EQ(symlink("file.txt", folder.file("data/link").c_str()), 0);
    EXPECT_EQ(kw::md5ChecksumForPath(folder.file("data/file.txt")), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(kw::sha1ChecksumForPath(folder.file("data/file.txt")), "a9993e364706816aba3e25717850c26c9cd0d89d");
    kw::testing::LogLines log;
    EXPECT_EQ(kw::md5ChecksumForPath(folder.file("data/link")), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_TRUE(log.contains("Link at " + folder.file("data/link") + " resolves to " + folder.file("data/file.txt")))
        << log.joined();
}

TEST_F(FileChecksums, LinkIsFollowedOneStepOnly)
{
    kw::testing::writeFile(folder.file("file.txt"), "abc");
    ASSERT_EQ(symlink(folder.file("file.txt").c_str(), folder.file("first").c_str()), 0);
    ASSERT_EQ(symlink("first", folder.file("second").c_str()), 0);
    EXPECT_EQ(kw::KWResolvePathForChecksum(folder.file("second")), folder.file("first"));
    EXPECT_EQ(kw::KWResolvePathForChecksum(folder.file("first")), folder.file("file.txt"));
}

TEST_F(FileChecksums, UnsuitablePathsGiveNone)
{
    kw::testing::writeFile(folder.file("sub/x"), "x");
    ASSERT_EQ(symlink("missing", folder.file("dangling").c_str()), 0);
    EXPECT_EQ(kw::md5ChecksumForPath(folder.file("sub")), std::nullopt);
    EXPECT_EQ(kw::md5ChecksumForPath(folder.file("nothing")), std::nullopt);
    EXPECT_EQ(kw::KWResolvePathForChecksum(folder.file("sub")), std::nullopt);
    EXPECT_EQ(kw::KWResolvePathForChecksum(folder.file("dangling")), folder.file("missing"));
    EXPECT_EQ(kw::sha1ChecksumForPath(folder.file("dangling")), std::nullopt);
}

} // namespace
