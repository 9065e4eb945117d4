// The secret byte holders leave nothing behind when their scope ends. The
// holders are placed into storage the test owns, so the bytes can be read
// back once the holder is gone without touching freed or dead memory.
#include "smcrypto/secret_bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <type_traits>

namespace {

constexpr unsigned char SENTINEL = 0xA5;

template <size_t N>
struct Placed {
    alignas(secret_array<N>) unsigned char mem[sizeof(secret_array<N>)];
    Placed() { std::memset(mem, 0x11, sizeof mem); }
    bool all_zero() const
    {
        return std::all_of(mem, mem + sizeof mem, [](unsigned char c) { return c == 0; });
    }
    bool holds_sentinel() const
    {
        return std::find(mem, mem + sizeof mem, SENTINEL) != mem + sizeof mem;
    }
};

// Ends the placed holder's life when the scope that made it ends.
template <class T>
struct DestroyAtExit {
    T* p;
    ~DestroyAtExit() { p->~T(); }
};

// Fills a holder placed in mem with the sentinel and leaves early or late,
// as a function holding a PIN does on its error and success paths.
template <size_t N>
int use_and_leave(unsigned char* mem, bool early, bool* sawSentinel)
{
    auto* s = new (mem) secret_array<N>;
    DestroyAtExit<secret_array<N>> guard{s};
    std::memset(s->data(), SENTINEL, s->size());
    *sawSentinel = (*s)[N - 1] == SENTINEL;
    if (early)
        return -1;
    (*s)[0] ^= 1;
    return 0;
}

}  // namespace

TEST(SecretBytes, ArrayIsCleansedWhenItsScopeEndsOnEveryPath)
{
    for (bool early : {true, false}) {
        SCOPED_TRACE(early ? "early return" : "normal return");
        Placed<16> pin;
        bool saw = false;
        EXPECT_EQ(use_and_leave<16>(pin.mem, early, &saw), early ? -1 : 0);
        EXPECT_TRUE(saw);
        EXPECT_FALSE(pin.holds_sentinel());
        EXPECT_TRUE(pin.all_zero());

        Placed<64> k0;
        use_and_leave<64>(k0.mem, early, &saw);
        EXPECT_TRUE(k0.all_zero());
    }
}

TEST(SecretBytes, ArrayStartsZeroAndWipesOnDemand)
{
    secret_array<32> d;
    EXPECT_EQ(d.size(), 32u);
    for (size_t i = 0; i < d.size(); ++i)
        ASSERT_EQ(d[i], 0) << i;
    std::memset(d.data(), SENTINEL, d.size());
    d.wipe();
    for (size_t i = 0; i < d.size(); ++i)
        ASSERT_EQ(d[i], 0) << i;
}

TEST(SecretBytes, HoldersCannotBeCopied)
{
    static_assert(!std::is_copy_constructible<secret_array<16>>::value, "");
    static_assert(!std::is_copy_assignable<secret_array<16>>::value, "");
    static_assert(!std::is_copy_constructible<secret_buffer>::value, "");
    static_assert(!std::is_copy_assignable<secret_buffer>::value, "");
    static_assert(!std::is_copy_constructible<cleanse_on_exit>::value, "");
    SUCCEED();
}

TEST(SecretBytes, CleanseOnExitWipesTheCallersBufferOnEveryPath)
{
    for (bool early : {true, false}) {
        uint32_t rk[32];
        std::fill(rk, rk + 32, 0xA5A5A5A5u);
        auto run = [&]() -> int {
            cleanse_on_exit wipe(rk, sizeof rk);
            if (early)
                return 1;
            rk[0] = 7;
            return 0;
        };
        run();
        EXPECT_TRUE(std::all_of(rk, rk + 32, [](uint32_t w) { return w == 0; })) << early;
    }
}

TEST(SecretBytes, BufferWipesKeepsAndMovesItsBytes)
{
    secret_buffer b(40);
    ASSERT_TRUE(b.ok());
    ASSERT_EQ(b.size(), 40u);
    for (size_t i = 0; i < b.size(); ++i)
        ASSERT_EQ(b.data()[i], 0);
    std::memset(b.data(), SENTINEL, b.size());
    b.wipe();
    EXPECT_EQ(b.size(), 40u);
    for (size_t i = 0; i < b.size(); ++i)
        ASSERT_EQ(b.data()[i], 0) << i;

    std::memset(b.data(), SENTINEL, b.size());
    const unsigned char* where = b.data();
    secret_buffer moved(std::move(b));
    EXPECT_EQ(moved.data(), where);
    EXPECT_EQ(moved.size(), 40u);
    EXPECT_EQ(b.data(), nullptr);
    EXPECT_EQ(b.size(), 0u);

    secret_buffer other(8);
    other = std::move(moved);
    EXPECT_EQ(other.data(), where);
    other.reset();
    EXPECT_EQ(other.data(), nullptr);
    EXPECT_TRUE(other.ok());

    secret_buffer empty(0);
    EXPECT_TRUE(empty.ok());
    EXPECT_EQ(empty.size(), 0u);
}
