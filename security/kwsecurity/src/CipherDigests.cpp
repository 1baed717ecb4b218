#include <KWSecurity/CipherDigests.h>

#include "base/AtomicFile.h"
#include "base/Log.h"

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kw {

namespace {

constexpr std::array<std::uint32_t, 256> makeCrcTable()
{
    std::array<std::uint32_t, 256> table {};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        table[i] = c;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> kCrcTable = makeCrcTable();

ByteBuffer digestOf(const EVP_MD* md, const std::vector<const ByteBuffer*>& parts)
{
    ByteBuffer out(static_cast<std::size_t>(EVP_MD_get_size(md)));
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = ctx != nullptr && EVP_DigestInit_ex(ctx, md, nullptr) == 1;
    for (const ByteBuffer* part : parts) {
        ok = ok && EVP_DigestUpdate(ctx, part->data(), part->size()) == 1;
    }
    unsigned int length = 0;
    ok = ok && EVP_DigestFinal_ex(ctx, out.data(), &length) == 1;
    EVP_MD_CTX_free(ctx);
    if (!ok) {
        // Only an exhausted or broken crypto library gets here.
        logLine("Message digest failed");
        return {};
    }
    return out;
}

std::vector<const ByteBuffer*> pointersTo(const std::vector<ByteBuffer>& datas)
{
    std::vector<const ByteBuffer*> parts;
    for (const auto& d : datas) {
        parts.push_back(&d);
    }
    return parts;
}

std::optional<ByteBuffer> readWholeFile(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    ByteBuffer data;
    const bool read =
        readToEnd(fd, [&data](std::string_view block) { data.insert(data.end(), block.begin(), block.end()); });
    close(fd);
    if (!read) {
        return std::nullopt;
    }
    return data;
}

std::optional<std::string> checksumForPath(const std::string& path, const EVP_MD* md)
{
    const std::optional<std::string> resolved = KWResolvePathForChecksum(path);
    if (!resolved) {
        return std::nullopt;
    }
    const std::optional<ByteBuffer> contents = readWholeFile(*resolved);
    if (!contents) {
        return std::nullopt;
    }
    const ByteBuffer digest = digestOf(md, { &*contents });
    if (digest.empty()) {
        return std::nullopt;
    }
    return KWMD5StringFromData(&digest);
}

template <typename Ctx> void contextInit(Ctx* ctx, const EVP_MD* md)
{
    EVP_MD_CTX* state = EVP_MD_CTX_new();
    if (state != nullptr && EVP_DigestInit_ex(state, md, nullptr) != 1) {
        EVP_MD_CTX_free(state);
        state = nullptr;
    }
    ctx->state = state;
}

template <typename Ctx> void contextUpdate(Ctx* ctx, const unsigned char* bytes, unsigned int length)
{
    if (ctx->state != nullptr) {
        EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(ctx->state), bytes, length);
    }
}

template <typename Ctx> void contextInvalidate(Ctx* ctx)
{
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx->state));
    ctx->state = nullptr;
}

template <typename Ctx> void contextFinal(Ctx* ctx, unsigned char* digest, std::size_t size)
{
    unsigned int length = 0;
    if (ctx->state == nullptr || EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(ctx->state), digest, &length) != 1) {
        std::fill(digest, digest + size, 0);
    }
    contextInvalidate(ctx);
}

} // namespace

ByteBuffer md5Digest(const ByteBuffer& data)
{
    return digestOf(EVP_md5(), { &data });
}

ByteBuffer sha1Digest(const ByteBuffer& data)
{
    return digestOf(EVP_sha1(), { &data });
}

ByteBuffer md5DigestForDatas(const std::vector<ByteBuffer>& datas)
{
    return digestOf(EVP_md5(), pointersTo(datas));
}

ByteBuffer sha1DigestForDatas(const std::vector<ByteBuffer>& datas)
{
    return digestOf(EVP_sha1(), pointersTo(datas));
}

std::uint32_t crc32(const std::uint8_t* bytes, std::size_t length)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < length; ++i) {
        value = kCrcTable[(value ^ bytes[i]) & 0xff] ^ (value >> 8);
    }
    return value;
}

std::uint32_t crc32(const ByteBuffer& data)
{
    return crc32(data.data(), data.size());
}

std::optional<std::string> KWMD5StringFromData(const ByteBuffer* data)
{
    if (data == nullptr) {
        return std::nullopt;
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(data->size() * 2);
    for (const std::uint8_t byte : *data) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0f]);
    }
    return text;
}

std::optional<std::string> KWResolvePathForChecksum(const std::string& path)
{
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    if (S_ISREG(st.st_mode)) {
        return path;
    }
    if (!S_ISLNK(st.st_mode)) {
        return std::nullopt;
    }
    std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
    const ssize_t n = readlink(path.c_str(), target.data(), target.size());
    if (n < 0) {
        return std::nullopt;
    }
    target.resize(static_cast<std::size_t>(n));
    if (!target.empty() && target.front() != '/') {
        const auto slash = path.rfind('/');
        if (slash != std::string::npos) {
            target = path.substr(0, slash + 1) + target;
        }
    }
    logf("Link at %s resolves to %s", path.c_str(), target.c_str());
    return target;
}

std::optional<std::string> md5ChecksumForPath(const std::string& path)
{
    return checksumForPath(path, EVP_md5());
}

std::optional<std::string> sha1ChecksumForPath(const std::string& path)
{
    return checksumForPath(path, EVP_sha1());
}

} // namespace kw

extern "C" {

void isc_md5_init(isc_md5_t* ctx)
{
    kw::contextInit(ctx, EVP_md5());
}

void isc_md5_update(isc_md5_t* ctx, const unsigned char* bytes, unsigned int length)
{
    kw::contextUpdate(ctx, bytes, length);
}

void isc_md5_final(isc_md5_t* ctx, unsigned char* digest)
{
    kw::contextFinal(ctx, digest, ISC_MD5_DIGESTLENGTH);
}

void isc_md5_invalidate(isc_md5_t* ctx)
{
    kw::contextInvalidate(ctx);
}

void isc_sha1_init(isc_sha1_t* ctx)
{
    kw::contextInit(ctx, EVP_sha1());
}

void isc_sha1_update(isc_sha1_t* ctx, const unsigned char* bytes, unsigned int length)
{
    kw::contextUpdate(ctx, bytes, length);
}

void isc_sha1_final(isc_sha1_t* ctx, unsigned char* digest)
{
    kw::contextFinal(ctx, digest, ISC_SHA1_DIGESTLENGTH);
}

void isc_sha1_invalidate(isc_sha1_t* ctx)
{
    kw::contextInvalidate(ctx);
}
}
