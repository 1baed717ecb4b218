#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string.h>
#include <string_view>

namespace kw {

// Bytes of a secret (a password). The storage is wiped with explicit_bzero before it is
// released or reused, and growth never leaves an unwiped copy behind. Always NUL-terminated,
// so c_str() can go straight to PAM or libsecret.
class SecureBuffer {
public:
    SecureBuffer() = default;
    explicit SecureBuffer(std::string_view text) { assign(text.data(), text.size()); }
    SecureBuffer(const char* bytes, std::size_t length) { assign(bytes, length); }
    SecureBuffer(const SecureBuffer& other) { assign(other.data(), other.size()); }
    SecureBuffer(SecureBuffer&& other) noexcept
        : m_data(other.m_data)
        , m_size(other.m_size)
        , m_capacity(other.m_capacity)
    {
        other.m_data = nullptr;
        other.m_size = 0;
        other.m_capacity = 0;
    }
    SecureBuffer& operator=(const SecureBuffer& other)
    {
        if (this != &other) {
            assign(other.data(), other.size());
        }
        return *this;
    }
    SecureBuffer& operator=(SecureBuffer&& other) noexcept
    {
        if (this != &other) {
            release();
            m_data = other.m_data;
            m_size = other.m_size;
            m_capacity = other.m_capacity;
            other.m_data = nullptr;
            other.m_size = 0;
            other.m_capacity = 0;
        }
        return *this;
    }
    ~SecureBuffer() { release(); }

    void assign(const char* bytes, std::size_t length)
    {
        clear();
        append(bytes, length);
    }

    void append(const char* bytes, std::size_t length)
    {
        if (length == 0) {
            return;
        }
        reserve(m_size + length);
        std::memcpy(m_data + m_size, bytes, length);
        m_size += length;
        m_data[m_size] = '\0';
    }

    void push_back(char c) { append(&c, 1); }

    // Wipes the contents; the storage is kept for reuse.
    void clear() noexcept
    {
        if (m_data != nullptr) {
            explicit_bzero(m_data, m_capacity + 1);
        }
        m_size = 0;
    }

    const char* data() const { return m_data != nullptr ? m_data : ""; }
    const char* c_str() const { return data(); }
    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    std::string_view view() const { return { data(), m_size }; }

    // Compares in time independent of where the first difference lies.
    bool equals(std::string_view other) const
    {
        if (other.size() != m_size) {
            return false;
        }
        unsigned char diff = 0;
        for (std::size_t i = 0; i < m_size; ++i) {
            diff = static_cast<unsigned char>(
                diff | (static_cast<unsigned char>(m_data[i]) ^ static_cast<unsigned char>(other[i])));
        }
        return diff == 0;
    }

private:
    void reserve(std::size_t wanted)
    {
        if (wanted <= m_capacity && m_data != nullptr) {
            return;
        }
        std::size_t capacity = m_capacity < 32 ? 32 : m_capacity;
        while (capacity < wanted) {
            capacity *= 2;
        }
        char* fresh = static_cast<char*>(std::malloc(capacity + 1));
        if (fresh == nullptr) {
            throw std::bad_alloc();
        }
        std::memset(fresh, 0, capacity + 1);
        if (m_data != nullptr) {
            std::memcpy(fresh, m_data, m_size);
        }
        const std::size_t size = m_size;
        release();
        m_data = fresh;
        m_size = size;
        m_capacity = capacity;
    }

    void release() noexcept
    {
        if (m_data != nullptr) {
            explicit_bzero(m_data, m_capacity + 1);
            std::free(m_data);
        }
        m_data = nullptr;
        m_size = 0;
        m_capacity = 0;
    }

    char* m_data = nullptr;
    std::size_t m_size = 0;
    std::size_t m_capacity = 0;
};

} // namespace kw
