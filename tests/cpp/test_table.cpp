// The transposition table on keys chosen to collide, which random positions
// almost never produce: keys that share their first group and their tag,
// keys whose tags coincide only because of the forced low tag bit, key 0,
// and tied-move lists longer than a slot holds, all kept across doublings.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/tt.h"

namespace fc = flipcore;

namespace {

struct Stored {
    double val;
    int flag, depth;
    std::vector<uint8_t> moves;
};

// Stores into a fresh table and mirrors every store in a std::map.
struct Checked {
    fc::TranspositionTable table;
    std::map<uint64_t, Stored> expected;

    void store(uint64_t key, double val, int flag, int depth, std::vector<uint8_t> moves) {
        table.store(key, val, flag, depth, moves.data(), static_cast<int>(moves.size()));
        expected[key] = Stored{val, flag, depth, std::move(moves)};
    }

    ::testing::AssertionResult holds_all() const {
        if (table.size() != expected.size())
            return ::testing::AssertionFailure() << "size " << table.size() << ", expected " << expected.size();
        for (const auto& [key, s] : expected) {
            const auto e = table.find(key);
            if (!e) return ::testing::AssertionFailure() << "key " << key << " lost";
            std::vector<fc::Move> moves;
            for (uint8_t sq : s.moves) moves.push_back(fc::move_of(sq));
            if (e->val != s.val || e->flag != fc::FLAG_CHARS[s.flag] || e->depth != s.depth || e->moves != moves)
                return ::testing::AssertionFailure() << "key " << key << " holds another entry";
        }
        return ::testing::AssertionSuccess();
    }
};

std::vector<uint8_t> moves_for(uint64_t i) {
    std::vector<uint8_t> m(1 + i % 9);  // 1 to 9 moves: inline and side lists
    for (size_t j = 0; j < m.size(); ++j) m[j] = static_cast<uint8_t>((i * 7 + j * 13) % 64);
    return m;
}

TEST(Table, CollidingKeysKeepTheirOwnEntriesAcrossGrowth) {
    Checked t;
    // Same low bits (first group) and same tag: only the middle bits differ,
    // so each is told apart by its full key alone. Twice as many as fit the
    // first array, so the chain runs through several groups and doublings.
    const uint64_t tag_bits = uint64_t{0xBEEF} << 48;
    for (uint64_t i = 0; i < 2 * fc::TranspositionTable::INITIAL_CAPACITY; ++i)
        t.store(tag_bits | (i << 24) | 0x5, static_cast<double>(i), 1 + i % 3, static_cast<int>(i % 40) - 5,
                moves_for(i));
    // Top 16 bits 0 and 1 give the same tag; key 0 has no slot of its own.
    t.store(uint64_t{0} << 48 | 0x777, -1.5, 2, 3, moves_for(5));
    t.store(uint64_t{1} << 48 | 0x777, -2.5, 3, 4, moves_for(6));
    t.store(0, 0.25, 1, 7, moves_for(7));
    ASSERT_TRUE(t.holds_all());
    EXPECT_GT(t.table.capacity(), fc::TranspositionTable::INITIAL_CAPACITY);

    // Overwrites switch between inline moves and side lists both ways.
    for (uint64_t i = 0; i < 64; ++i) t.store(tag_bits | (i << 24) | 0x5, -static_cast<double>(i), 1, 9, moves_for(i + 4));
    t.store(0, 8.0, 3, -2, moves_for(0));
    ASSERT_TRUE(t.holds_all());
    EXPECT_FALSE(t.table.find(tag_bits | (uint64_t{1} << 40) | 0x5));  // never stored

    t.table.clear();
    t.expected.clear();
    EXPECT_FALSE(t.table.find(0));
    t.store(tag_bits | 0x5, 1.0, 1, 1, moves_for(8));
    EXPECT_TRUE(t.holds_all());
}

}  // namespace

namespace {

// Stores fresh keys with `tied` moves each until the table refuses one;
// returns the keys stored. The refusal must be a TableFull that names the
// ceiling, and must leave the table as it was.
std::vector<uint64_t> fill_until_refused(fc::TranspositionTable& table, int tied, uint64_t seed) {
    std::vector<uint64_t> keys;
    std::vector<uint8_t> moves(static_cast<size_t>(tied));
    for (int j = 0; j < tied; ++j) moves[static_cast<size_t>(j)] = static_cast<uint8_t>(10 + j);
    uint64_t key = seed;
    for (;;) {
        key = key * 6364136223846793005ULL + 1442695040888963407ULL;  // a 64-bit LCG: distinct keys
        const size_t size = table.size(), capacity = table.capacity();
        try {
            table.store(key | 1, 1.0, 1, 2, moves.data(), tied);
        } catch (const fc::TableFull& full) {
            EXPECT_NE(std::string(full.what()).find("full at its memory ceiling"), std::string::npos) << full.what();
            EXPECT_EQ(table.size(), size);
            EXPECT_EQ(table.capacity(), capacity);
            EXPECT_FALSE(table.find(key | 1));
            return keys;
        }
        keys.push_back(key | 1);
    }
}

TEST(TableCeiling, GrowthStopsAtTheCeilingAndTheTableStaysWhole) {
    constexpr size_t LIMIT = size_t{1} << 20;
    fc::TranspositionTable table;
    table.set_limit(LIMIT);
    const std::vector<uint64_t> keys = fill_until_refused(table, 1, 11);
    // Full at the largest arrays whose growth, old and new held at once,
    // fitted under the ceiling.
    EXPECT_EQ(table.size(), fc::TranspositionTable::max_entries(LIMIT));
    EXPECT_LE(table.bytes(), LIMIT);
    EXPECT_LE(table.capacity() / 2 * 3 * fc::TranspositionTable::SLOT_BYTES, LIMIT);
    EXPECT_GT(table.capacity() * 3 * fc::TranspositionTable::SLOT_BYTES, LIMIT);
    for (uint64_t k : keys) ASSERT_TRUE(table.find(k)) << "key " << k << " lost";
    // Overwriting a stored key needs no room.
    const uint8_t move = 9;
    table.store(keys.front(), -4.0, 3, 5, &move, 1);
    EXPECT_EQ(table.find(keys.front())->val, -4.0);

    // Back to the default ceiling, the table grows again.
    table.set_limit(0);
    table.store(12345, 2.0, 1, 1, &move, 1);
    EXPECT_EQ(table.size(), keys.size() + 1);

    // A ceiling lowered below the arrays: they are given back on clear().
    table.set_limit(LIMIT / 4);
    table.clear();
    EXPECT_EQ(table.capacity(), 0u);
    EXPECT_EQ(table.bytes(), 0u);
    table.store(777, 3.0, 1, 1, &move, 1);
    EXPECT_EQ(table.capacity(), fc::TranspositionTable::INITIAL_CAPACITY);
}

TEST(TableCeiling, SideListsCountTowardTheCeiling) {
    constexpr size_t LIMIT = size_t{1} << 20;
    fc::TranspositionTable table;
    table.set_limit(LIMIT);
    const std::vector<uint64_t> keys = fill_until_refused(table, 6, 23);
    EXPECT_LE(table.bytes(), LIMIT);
    EXPECT_GT(table.bytes() + fc::TranspositionTable::SIDE_LIST_BYTES * 2, LIMIT / 2);
    for (uint64_t k : keys) ASSERT_EQ(table.find(k)->moves.size(), 6u);
}

TEST(TableCeiling, TooSmallForTheFirstArrays) {
    fc::TranspositionTable table;
    table.set_limit(1000);
    EXPECT_EQ(fc::TranspositionTable::max_entries(1000), 0u);
    const uint8_t move = 1;
    EXPECT_THROW(table.store(5, 1.0, 1, 1, &move, 1), std::bad_alloc);
    EXPECT_EQ(table.size(), 0u);
    EXPECT_EQ(table.capacity(), 0u);
}

}  // namespace
