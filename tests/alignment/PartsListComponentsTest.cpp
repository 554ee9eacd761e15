// The pieces that make the parts list fast on large scenes, each alone: the
// address table that finds an entry by its instance, the stack of an assembly
// walk, and the merge that keeps the list's record in order.
#include <algorithm>
#include <cstdint>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "AddressTable.h"
#include "ListRecord.h"
#include "SubTreeStack.h"

namespace qlalignparts {
namespace {

struct Seen {
    std::uintptr_t address;
    int value;
};

// Addresses as a heap hands them out: objects of one size, one after another.
std::vector<std::uintptr_t> Neighbours(std::size_t count, std::uintptr_t size) {
    std::vector<std::uintptr_t> addresses;
    for (std::size_t i = 0; i < count; ++i)
        addresses.push_back(0x7f0000001000u + i * size);
    return addresses;
}

TEST(AddressTable, FindsEveryRecordAcrossGrowthAndNothingElse) {
    for (const std::uintptr_t size : {8u, 48u, 4096u}) {
        AddressTable<Seen> table;
        const auto addresses = Neighbours(5000, size);
        for (std::size_t i = 0; i < addresses.size(); ++i)
            table.Insert({addresses[i], static_cast<int>(i)});
        EXPECT_EQ(table.Size(), addresses.size());
        for (std::size_t i = 0; i < addresses.size(); ++i) {
            const Seen *seen = table.Find(addresses[i]);
            ASSERT_NE(seen, nullptr) << "size " << size << ", record " << i;
            EXPECT_EQ(seen->value, static_cast<int>(i));
            EXPECT_EQ(table.Find(addresses[i] + 1), nullptr);
        }
        EXPECT_EQ(table.Find(0), nullptr) << "0 marks a free place, never a key";
        // Never more than two thirds taken, so every search ends at a free place.
        EXPECT_LE(3 * table.Size(), 2 * table.Places().size());
    }
}

TEST(AddressTable, AnAddressPutInAgainReplacesItsRecord) {
    AddressTable<Seen> table;
    table.Insert({0x1000, 1});
    table.Insert({0x1000, 2});
    EXPECT_EQ(table.Size(), 1u);
    EXPECT_EQ(table.Find(0x1000)->value, 2);
}

TEST(AddressTable, MadeForACountHoldsItWithoutGrowing) {
    AddressTable<Seen> table(1000);
    const std::size_t places = table.Places().size();
    for (const std::uintptr_t address : Neighbours(1000, 64))
        table.Insert({address, 0});
    EXPECT_EQ(table.Places().size(), places);
    EXPECT_LE(3 * 1000u, 2 * places);
}

// Addresses that all hash to the last place of a small table: the search
// must go round to the first places, and find each there.
TEST(AddressTable, CollisionsAtTheLastPlaceWrapRound) {
    AddressTable<Seen> table;
    const std::size_t places = table.Places().size();
    std::vector<std::uintptr_t> colliding;
    for (std::uintptr_t address = 8; colliding.size() < 3; address += 8) {
        const std::uint64_t spread = static_cast<std::uint64_t>(address) * 0x9E3779B97F4A7C15u;
        if (spread >> (64 - 3) == places - 1 && places == 8)
            colliding.push_back(address);
        ASSERT_LT(address, 1u << 20) << "no collisions found";
    }
    for (std::size_t i = 0; i < colliding.size(); ++i)
        table.Insert({colliding[i], static_cast<int>(i)});
    ASSERT_EQ(table.Places().size(), places) << "three of eight places: no growth yet";
    for (std::size_t i = 0; i < colliding.size(); ++i) {
        ASSERT_NE(table.Find(colliding[i]), nullptr);
        EXPECT_EQ(table.Find(colliding[i])->value, static_cast<int>(i));
    }
    EXPECT_EQ(table.Places()[places - 1].address, colliding[0]);
    EXPECT_EQ(table.Places()[0].address, colliding[1]);
    EXPECT_EQ(table.Places()[1].address, colliding[2]);
}

du::SmartPtr<qlk::Instance> Node() {
    return du::SmartPtr<qlk::Instance>(new qlk::Instance("node"));
}

TEST(SubTreeStack, AWalkStartedInsideAnotherStacksAboveItAndLeavesItAsItWas) {
    SubTreeStack stack;
    const auto outerNode = Node();
    const auto innerNode = Node();
    SubTreeStack::Walk outer(stack);
    SubTreeStack::Frame &outerFrame = outer.Push(outerNode);
    outerFrame.children = {Node(), Node()};
    outerFrame.next = 1;
    {
        SubTreeStack::Walk inner(stack);
        EXPECT_TRUE(inner.Empty()) << "the outer walk's frames are not the inner one's";
        inner.Push(innerNode).children = {Node()};
        inner.Push(innerNode);
        EXPECT_EQ(stack.Depth(), 3u);
        // Ends with two frames left: they are popped, their children released.
    }
    EXPECT_EQ(stack.Depth(), 1u);
    EXPECT_FALSE(outer.Empty());
    EXPECT_EQ(&outer.Top(), &outerFrame);
    EXPECT_EQ(outerFrame.node, &outerNode);
    EXPECT_EQ(outerFrame.children.size(), 2u);
    EXPECT_EQ(outerFrame.next, 1u);
    // The frame above, used again, starts with no children and at the first.
    SubTreeStack::Frame &again = outer.Push(innerNode);
    EXPECT_TRUE(again.children.empty());
    EXPECT_EQ(again.next, 0u);
}

TEST(SubTreeStack, GivesBackTheFramesOfADeepWalkAndTheRoomOfAWideOneOnlyBetweenWalks) {
    SubTreeStack stack;
    const auto node = Node();
    {
        SubTreeStack::Walk walk(stack);
        for (std::size_t i = 0; i < 1000; ++i)
            walk.Push(node);
        walk.Top().children.reserve(10000);
        stack.Trim();
        EXPECT_EQ(stack.KeptFrames(), 1000u) << "nothing is given back during a walk";
    }
    stack.Trim();
    EXPECT_EQ(stack.KeptFrames(), SubTreeStack::kKeptDepth);
    SubTreeStack::Walk walk(stack);
    for (std::size_t i = 0; i < SubTreeStack::kKeptDepth; ++i)
        EXPECT_LE(walk.Push(node).children.capacity(), SubTreeStack::kKeptChildren);
}

TEST(ListRecord, EntriesAddedInAnyOrderAreMergedIntoKeyOrder) {
    Alignment::PartsMap list;
    for (int i = 0; i < 8; ++i)
        list.emplace(Node(), dg::Location());
    std::vector<const Alignment::PartsMap::value_type *> entries;
    for (const auto &entry : list)
        entries.push_back(&entry);
    // Kept: entries 1, 3, 4 and 6; added since, out of order: 7, 0, 5, 2.
    std::vector<ListSlot> slots;
    for (const int i : {1, 3, 4, 6})
        slots.push_back({entries[i], nullptr});
    std::vector<std::pair<std::uintptr_t, ListSlot>> added;
    for (const int i : {7, 0, 5, 2})
        added.push_back(
            {reinterpret_cast<std::uintptr_t>(entries[i]->first.get()), {entries[i], entries[i]}});
    MergeIntoSlots(slots, added);
    ASSERT_EQ(slots.size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(slots[i].entry, entries[i]) << "slot " << i;
        // The scene's answer noted for an added entry comes along with it.
        const bool wasAdded = i == 0 || i == 2 || i == 5 || i == 7;
        EXPECT_EQ(slots[i].drawn, wasAdded ? entries[i] : nullptr) << "slot " << i;
    }
    EXPECT_TRUE(added.empty());
    EXPECT_EQ(added.capacity(), 0u);
}

} // namespace
} // namespace qlalignparts
