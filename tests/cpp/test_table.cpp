// The transposition table on keys chosen to collide, which random positions
// almost never produce: keys that share their first group and their tag,
// keys whose tags coincide only because of the forced low tag bit, key 0,
// and tied-move lists longer than a slot holds, all kept across doublings.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
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
