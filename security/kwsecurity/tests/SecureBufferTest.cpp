#include <KWSecurity/SecureBuffer.h>

#include <gtest/gtest.h>

namespace {

TEST(SecureBuffer, ClearWipesTheStorage)
{
    kw::SecureBuffer secret("hunter2-hunter2");
    const char* storage = secret.data();
    const std::size_t size = secret.size();
    secret.clear();
    EXPECT_TRUE(secret.empty());
    // clear() keeps the storage for reuse, so the old bytes can be inspected.
    for (std::size_t i = 0; i < size; ++i) {
        EXPECT_EQ(storage[i], '\0') << i;
    }
}

TEST(SecureBuffer, GrowsCopiesAndMoves)
{
    kw::SecureBuffer a;
    EXPECT_STREQ(a.c_str(), "");
    for (int i = 0; i < 100; ++i) {
        a.push_back('x');
    }
    EXPECT_EQ(a.size(), 100u);
    EXPECT_EQ(a.view(), std::string(100, 'x'));
    kw::SecureBuffer b = a;
    EXPECT_TRUE(b.equals(a.view()));
    kw::SecureBuffer c = std::move(a);
    EXPECT_TRUE(a.empty());
    EXPECT_TRUE(c.equals(std::string(100, 'x')));
    EXPECT_FALSE(c.equals("x"));
    c = kw::SecureBuffer("short");
    EXPECT_EQ(c.view(), "short");
    EXPECT_EQ(std::string(c.c_str()), "short");
}

} // namespace
