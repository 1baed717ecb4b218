#pragma once

#include <KWSecurity/Export.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kw {

using ByteBuffer = std::vector<std::uint8_t>;

// Message digests of byte buffers (MD5, RFC 1321; SHA-1, FIPS 180-1).
KW_SECURITY_EXPORT ByteBuffer md5Digest(const ByteBuffer& data);
KW_SECURITY_EXPORT ByteBuffer sha1Digest(const ByteBuffer& data);
// Digest of the buffers' concatenation in order.
KW_SECURITY_EXPORT ByteBuffer md5DigestForDatas(const std::vector<ByteBuffer>& datas);
KW_SECURITY_EXPORT ByteBuffer sha1DigestForDatas(const std::vector<ByteBuffer>& datas);

// The table-driven reflected CRC with polynomial 0x04C11DB7, started from 0 and without the
// final inversion (so it differs from the usual CRC-32: "abc" gives 0xCA6598D0).
KW_SECURITY_EXPORT std::uint32_t crc32(const std::uint8_t* bytes, std::size_t length);
KW_SECURITY_EXPORT std::uint32_t crc32(const ByteBuffer& data);

// Lower-case hexadecimal, two digits per byte, of the whole buffer (any length); none for none.
KW_SECURITY_EXPORT std::optional<std::string> KWMD5StringFromData(const ByteBuffer* data);

// The path to read for a checksum: a regular file gives itself; a symbolic link gives its
// content (relative content taken beside the link), followed this one step only; anything
// else gives none.
KW_SECURITY_EXPORT std::optional<std::string> KWResolvePathForChecksum(const std::string& path);

// Checksum text of the file's MD5 (32 characters) or SHA-1 (40 characters) digest.
KW_SECURITY_EXPORT std::optional<std::string> md5ChecksumForPath(const std::string& path);
KW_SECURITY_EXPORT std::optional<std::string> sha1ChecksumForPath(const std::string& path);

} // namespace kw

// The digest steps as plain C functions. A context must be started with *_init before use;
// *_final writes the digest and clears the context; *_invalidate clears it without a result.
extern "C" {
struct isc_md5 {
    void* state;
};
struct isc_sha1 {
    void* state;
};
typedef struct isc_md5 isc_md5_t;
typedef struct isc_sha1 isc_sha1_t;
#define ISC_MD5_DIGESTLENGTH 16
#define ISC_SHA1_DIGESTLENGTH 20

KW_SECURITY_EXPORT void isc_md5_init(isc_md5_t* ctx);
KW_SECURITY_EXPORT void isc_md5_update(isc_md5_t* ctx, const unsigned char* bytes, unsigned int length);
KW_SECURITY_EXPORT void isc_md5_final(isc_md5_t* ctx, unsigned char* digest);
KW_SECURITY_EXPORT void isc_md5_invalidate(isc_md5_t* ctx);
KW_SECURITY_EXPORT void isc_sha1_init(isc_sha1_t* ctx);
KW_SECURITY_EXPORT void isc_sha1_update(isc_sha1_t* ctx, const unsigned char* bytes, unsigned int length);
KW_SECURITY_EXPORT void isc_sha1_final(isc_sha1_t* ctx, unsigned char* digest);
KW_SECURITY_EXPORT void isc_sha1_invalidate(isc_sha1_t* ctx);
}
