// The decoded packet arrays a transfer's insert keeps for its verification.

#include "packet_array_cache.h"

#include <gtest/gtest.h>

namespace qel::server {
namespace {

protocol::DecodedValue decoded(const char* text, std::size_t memory) {
    return {Variant(text), memory};
}

// An insert's message: its own head, then the array's bytes.
std::string message(const std::string& head, const Bytes& array) {
    return head + std::string(array.begin(), array.end());
}

TEST(PacketArrayCache, HandsOverOnlyTheValueOfTheSameArrayBytesAndOnlyOnce) {
    MemoryBudget budget(1000);
    PacketArrayCache cache(budget);
    const Bytes a{1, 2, 3, 4}, b{1, 2, 3, 5}, longer{1, 2, 3, 4, 0};
    cache.keep(message("insert", a), 6, decoded("a", 40));
    cache.keep(message("insert", b), 6, decoded("b", 40));
    EXPECT_EQ(budget.used(), 100u);  // each message and its decoded memory

    EXPECT_FALSE(cache.take(longer));
    EXPECT_FALSE(cache.take(Bytes{1, 2, 3}));
    EXPECT_FALSE(cache.take(Bytes{'t', 1, 2, 3, 4}));  // the head is not part of the array
    const auto found = cache.take(a);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->value.asString(), "a");
    EXPECT_EQ(found->memory, 40u);
    EXPECT_FALSE(cache.take(a));  // handed over: the next verification decodes its own
    EXPECT_EQ(budget.used(), 50u);

    cache.keep(message("again", b), 5, decoded("b again", 10));  // replaces the older copy
    EXPECT_EQ(cache.size(), 1u);
    EXPECT_EQ(cache.take(b)->value.asString(), "b again");
    EXPECT_EQ(budget.used(), 0u);
}

TEST(PacketArrayCache, HoldsAFewArraysWithinTheSharedBudget) {
    MemoryBudget budget(100);
    {
        PacketArrayCache cache(budget, 2);
        cache.keep(message("", Bytes(10, 1)), 0, decoded("1", 20));
        cache.keep(message("", Bytes(10, 2)), 0, decoded("2", 20));
        cache.keep(message("", Bytes(10, 3)), 0, decoded("3", 20));  // pushes out the oldest
        EXPECT_EQ(cache.size(), 2u);
        EXPECT_FALSE(cache.take(Bytes(10, 1)));
        EXPECT_EQ(budget.used(), 60u);

        // Older arrays make room in the budget for the newest; none is kept
        // where calls hold the budget already.
        ASSERT_TRUE(budget.take(30));
        cache.keep(message("", Bytes(10, 4)), 0, decoded("4", 40));
        EXPECT_EQ(cache.size(), 1u);
        EXPECT_EQ(budget.used(), 80u);
        cache.keep(message("", Bytes(10, 5)), 0, decoded("5", 70));
        EXPECT_EQ(cache.size(), 0u);
        EXPECT_EQ(budget.used(), 30u);
        cache.keep(message("", Bytes(10, 6)), 0, decoded("6", 10));
        budget.give(30);
        EXPECT_EQ(cache.take(Bytes(10, 6))->value.asString(), "6");
        cache.keep(message("", Bytes(10, 7)), 0, decoded("7", 10));
        cache.keep(message("", Bytes(10, 8)), 0, decoded("8", 10));
        cache.clear();  // a call needs the budget
        EXPECT_EQ(budget.used(), 0u);
        cache.keep(message("", Bytes(10, 9)), 0, decoded("9", 10));
    }
    EXPECT_EQ(budget.used(), 0u);  // a server stopping gives every share back
}

}  // namespace
}  // namespace qel::server
