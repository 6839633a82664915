// The transposition table: the last completed search result of every position
// searched since init(), keyed by position key alone. It grows without bound
// and is emptied only by init().
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <unordered_map>
#include <vector>

#include "engine/types.h"

namespace flipcore {
namespace {

// One stored result as the rest of the engine sees it.
struct TTEntry {
    double val;
    char flag;  // 'E' exact, 'L' lower bound, 'U' upper bound
    int32_t depth;
    std::vector<Move> moves;
};

// A packed slot of the open-addressing array:
//   key   64 bits  the position key (the key is its own hash)
//   val   64 bits  the stored value
//   meta  bits  0-31  depth (two's complement)
//         bits 32-33  flag: 0 empty slot, 1 'E', 2 'L', 3 'U'
//         bits 34-39  number of tied moves
//         bits 40-63  the first four tied moves, six bits (square number) each
// Entries with more than four tied moves keep their whole list in a side map.
struct TTSlot {
    uint64_t key;
    double val;
    uint64_t meta;
};
static_assert(sizeof(TTSlot) == 24, "a stored position must stay 24 bytes");

constexpr int INLINE_MOVES = 4;
constexpr int MAX_TIED_MOVES = 63;  // a position never has more legal moves

constexpr int slot_depth(uint64_t meta) { return static_cast<int32_t>(static_cast<uint32_t>(meta)); }
constexpr int slot_flag(uint64_t meta) { return static_cast<int>((meta >> 32) & 3); }
constexpr int slot_count(uint64_t meta) { return static_cast<int>((meta >> 34) & 63); }
constexpr int slot_move(uint64_t meta, int i) { return static_cast<int>((meta >> (40 + 6 * i)) & 63); }

constexpr int FLAG_EXACT = 1, FLAG_LOWER = 2, FLAG_UPPER = 3;
constexpr char FLAG_CHARS[4] = {'?', 'E', 'L', 'U'};

class TranspositionTable {
   public:
    // With at most 4 of 5 slots in use, a table just after doubling is 2/5
    // full: at most 60 bytes of slots per stored position.
    static constexpr size_t INITIAL_CAPACITY = 1024;

    TranspositionTable() = default;
    TranspositionTable(const TranspositionTable&) = delete;
    TranspositionTable& operator=(const TranspositionTable&) = delete;
    ~TranspositionTable() { std::free(slots_); }

    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }

    // The slot stored for key, or nullptr. The pointer is valid until the next store.
    const TTSlot* probe(uint64_t key) const {
        if (size_ == 0) return nullptr;
        for (size_t i = key & mask_;; i = (i + 1) & mask_) {
            const TTSlot& s = slots_[i];
            if (slot_flag(s.meta) == 0) return nullptr;
            if (s.key == key) return &s;
        }
    }

    // Copies the tied moves of a slot into out (room for MAX_TIED_MOVES); returns their number.
    int moves_of(const TTSlot& s, uint8_t* out) const {
        const int n = slot_count(s.meta);
        if (n <= INLINE_MOVES) {
            for (int i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(slot_move(s.meta, i));
        } else {
            const std::vector<uint8_t>& list = overflow_.at(s.key);
            std::memcpy(out, list.data(), list.size());
        }
        return n;
    }

    // Creates or overwrites the entry of key. Throws std::bad_alloc when memory
    // runs out, leaving the table exactly as it was.
    void store(uint64_t key, double val, int flag, int32_t depth, const uint8_t* moves, int n) {
        uint64_t meta = static_cast<uint32_t>(depth) | static_cast<uint64_t>(flag) << 32 |
                        static_cast<uint64_t>(n) << 34;
        for (int i = 0; i < n && i < INLINE_MOVES; ++i) meta |= static_cast<uint64_t>(moves[i]) << (40 + 6 * i);

        TTSlot* slot = find_slot(key);
        if (slot_flag(slot->meta) == 0 && (size_ + 1) * 5 > capacity_ * 4) {
            grow();
            slot = find_slot(key);
        }
        if (n > INLINE_MOVES) {
            overflow_.insert_or_assign(key, std::vector<uint8_t>(moves, moves + n));
        } else if (slot_flag(slot->meta) != 0 && slot_count(slot->meta) > INLINE_MOVES) {
            overflow_.erase(key);
        }
        if (slot_flag(slot->meta) == 0) ++size_;
        *slot = TTSlot{key, val, meta};
    }

    // Removes every entry; the slot array keeps its size.
    void clear() {
        if (slots_) std::memset(static_cast<void*>(slots_), 0, capacity_ * sizeof(TTSlot));
        overflow_.clear();
        size_ = 0;
    }

    // The entry of key in the engine's terms, for inspection.
    std::optional<TTEntry> find(uint64_t key) const {
        const TTSlot* s = probe(key);
        if (!s) return std::nullopt;
        uint8_t squares[MAX_TIED_MOVES];
        const int n = moves_of(*s, squares);
        TTEntry e{s->val, FLAG_CHARS[slot_flag(s->meta)], slot_depth(s->meta), {}};
        for (int i = 0; i < n; ++i) e.moves.push_back(move_of(squares[i]));
        return e;
    }

   private:
    // The slot holding key, or the empty slot where it would go. Allocates the
    // first array on first use.
    TTSlot* find_slot(uint64_t key) {
        if (!slots_) allocate(INITIAL_CAPACITY);
        for (size_t i = key & mask_;; i = (i + 1) & mask_) {
            TTSlot& s = slots_[i];
            if (slot_flag(s.meta) == 0 || s.key == key) return &s;
        }
    }

    void allocate(size_t capacity) {
        // calloc: zeroed slots are empty, and the kernel hands them out lazily.
        auto* fresh = static_cast<TTSlot*>(std::calloc(capacity, sizeof(TTSlot)));
        if (!fresh) throw std::bad_alloc();
        slots_ = fresh;
        capacity_ = capacity;
        mask_ = capacity - 1;
    }

    // Doubles the array. A failed allocation throws before anything changes.
    void grow() {
        TTSlot* old = slots_;
        const size_t old_capacity = capacity_;
        allocate(old_capacity * 2);
        for (size_t j = 0; j < old_capacity; ++j) {
            if (slot_flag(old[j].meta) == 0) continue;
            size_t i = old[j].key & mask_;
            while (slot_flag(slots_[i].meta) != 0) i = (i + 1) & mask_;
            slots_[i] = old[j];
        }
        std::free(old);
    }

    TTSlot* slots_ = nullptr;
    size_t capacity_ = 0;
    size_t mask_ = 0;
    size_t size_ = 0;
    std::unordered_map<uint64_t, std::vector<uint8_t>> overflow_;
};

// The engine's one table, shared by every search until init() empties it.
TranspositionTable tt;

}  // namespace
}  // namespace flipcore
