// The transposition table: the last completed search result of every position
// searched since init(), keyed by position key alone. It never drops an entry:
// it grows until its memory ceiling, and is emptied only by init().
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <new>
#include <optional>
#include <unordered_map>
#include <vector>

#include "engine/bitboard.h"
#include "engine/stop.h"
#include "engine/types.h"
#include "engine/zeroed_memory.h"

namespace flipcore {
namespace {

// One stored result as the rest of the engine sees it.
struct TTEntry {
    double val;
    char flag;  // 'E' exact, 'L' lower bound, 'U' upper bound
    int32_t depth;
    std::vector<Move> moves;
};

// What a slot holds beside its key:
//   val   64 bits  the stored value
//   meta  bits  0-31  depth (two's complement)
//         bits 32-33  flag: 1 'E', 2 'L', 3 'U'
//         bits 34-39  number of tied moves
//         bits 40-63  the first four tied moves, six bits (square number) each
// Entries with more than four tied moves keep their whole list in a side map.
struct TTPayload {
    double val;
    uint64_t meta;
};
static_assert(sizeof(TTPayload) == 16, "a stored result must stay 16 bytes beside its 8-byte key");

constexpr int INLINE_MOVES = 4;
constexpr int MAX_TIED_MOVES = 63;  // a position never has more legal moves

constexpr int slot_depth(uint64_t meta) { return static_cast<int32_t>(static_cast<uint32_t>(meta)); }
constexpr int slot_flag(uint64_t meta) { return static_cast<int>((meta >> 32) & 3); }
constexpr int slot_count(uint64_t meta) { return static_cast<int>((meta >> 34) & 63); }
constexpr int slot_move(uint64_t meta, int i) { return static_cast<int>((meta >> (40 + 6 * i)) & 63); }

constexpr int FLAG_EXACT = 1, FLAG_LOWER = 2, FLAG_UPPER = 3;
constexpr char FLAG_CHARS[4] = {'?', 'E', 'L', 'U'};

// One slot: the key and what is stored for it, read together on a hit.
struct TTSlot {
    uint64_t key;
    TTPayload payload;
};
static_assert(sizeof(TTSlot) == 24, "a slot is its key and a 16-byte result");

// A 16-bit tag per slot, the key's top bits with the lowest forced on so that
// 0 marks an empty slot. Slots are found through their tags: a probe reads a
// small dense array that stays in cache, and touches a slot only when its
// tag matches.
constexpr uint16_t tag_of(uint64_t key) { return static_cast<uint16_t>(key >> 48) | 1; }

// Slots come in groups of eight whose tags are compared at once. A key's
// search starts at the group its low bits name and goes on group by group;
// within a group, slots fill in index order and are never emptied one by one,
// so a group's empty slots always follow its used ones.
constexpr size_t GROUP = 8;

// The slots of one group whose tag equals `tag`, and those that are empty:
// two bits per slot, slot j at bits 2j and 2j + 1.
struct GroupMatch {
    unsigned hits, empties;
};
FLIPCORE_INLINE GroupMatch match_group(const uint16_t* tags, uint16_t tag) {
#if defined(__SSE2__)
    const __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(tags));
    return {static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(v, _mm_set1_epi16(static_cast<short>(tag))))),
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(v, _mm_setzero_si128())))};
#else
    GroupMatch m{0, 0};
    for (size_t j = 0; j < GROUP; ++j) {
        m.hits |= tags[j] == tag ? 3u << (2 * j) : 0;
        m.empties |= tags[j] == 0 ? 3u << (2 * j) : 0;
    }
    return m;
#endif
}
constexpr size_t slot_in_group(unsigned mask) { return static_cast<size_t>(__builtin_ctz(mask)) / 2; }

// The number a small file holds, such as a cgroup's memory limit, or 0 when
// it cannot be read or says "max". Read with open() and read(), which
// allocate nothing, so that the engine's allocations stay its own.
inline size_t number_in_file(const char* path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[32] = {};
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0 || text[0] < '0' || text[0] > '9') return 0;
    return static_cast<size_t>(std::strtoull(text, nullptr, 10));
}

// The default memory ceiling: half the machine's physical memory, and no more
// than half an address-space limit or half the memory limit of a container
// (its cgroup, version 2 or 1) when one is set. Linux overcommits, so an
// array larger than the memory there is can be mapped and then get the
// process killed as it is written; the ceiling refuses it beforehand. The
// limits are read each time, since a program may set them late.
inline size_t default_table_limit() {
    const long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGE_SIZE);
    size_t limit = pages > 0 && page_size > 0 ? static_cast<size_t>(pages) * static_cast<size_t>(page_size) / 2
                                              : size_t{1} << 30;  // unknown: 1 GiB
    rlimit as{};
    if (getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY)
        limit = std::min(limit, static_cast<size_t>(as.rlim_cur / 2));
    // No limit reads as 0 ("max") or as a number near 2^63; either is no bound.
    for (const char* path : {"/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory/memory.limit_in_bytes"})
        if (const size_t cgroup = number_in_file(path); cgroup > 0) limit = std::min(limit, cgroup / 2);
    return limit;
}

// A store refused because the table would pass its memory ceiling, or
// because memory ran out as it grew. It is a bad_alloc, so every caller
// treats it as the failed allocation it stands for; it only says more.
// The message lives in the object: throwing must not allocate.
struct TableFull : std::bad_alloc {
    char message[256];
    TableFull(bool at_ceiling, size_t limit, size_t entries) {
        char size[32];
        if (limit >= size_t{1} << 30)
            std::snprintf(size, sizeof size, "%.1f GiB", static_cast<double>(limit) / (size_t{1} << 30));
        else if (limit >= size_t{1} << 20)
            std::snprintf(size, sizeof size, "%.1f MiB", static_cast<double>(limit) / (size_t{1} << 20));
        else
            std::snprintf(size, sizeof size, "%zu bytes", limit);
        if (at_ceiling)
            std::snprintf(message, sizeof message,
                          "the transposition table is full at its memory ceiling of %s (%zu positions stored); "
                          "init() empties it",
                          size, entries);
        else
            std::snprintf(message, sizeof message,
                          "out of memory: the transposition table (%zu positions stored) could not grow under "
                          "its ceiling of %s; init() empties it",
                          entries, size);
    }
    const char* what() const noexcept override { return message; }
};

// Open addressing over groups of slots with a tag array beside them (see
// above). A real key of 0 has no tag of its own, so it is kept aside in its
// own slot.
class TranspositionTable {
   public:
    static constexpr size_t INITIAL_CAPACITY = 1024;

    TranspositionTable() = default;
    TranspositionTable(const TranspositionTable&) = delete;
    TranspositionTable& operator=(const TranspositionTable&) = delete;
    ~TranspositionTable() { release_block(tags_, capacity_); }

    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }

    // Bytes a slot and its tag take, and an estimate of what a side list of
    // tied moves takes with its map node and bucket.
    static constexpr size_t SLOT_BYTES = sizeof(uint16_t) + sizeof(TTSlot);
    static constexpr size_t SIDE_LIST_BYTES = 128;

    // The memory the table holds now: its arrays and its side lists.
    size_t bytes() const { return capacity_ * SLOT_BYTES + overflow_.size() * SIDE_LIST_BYTES; }

    // The memory ceiling in bytes: the one set, or the default (0 chosen).
    size_t limit() const { return chosen_limit_ ? chosen_limit_ : default_table_limit(); }
    // Sets the ceiling; 0 restores the default. Arrays already larger than
    // the new ceiling stay until clear(), which keeps no entry to move.
    void set_limit(size_t bytes) {
        chosen_limit_ = bytes;
        side_list_limit_ = limit();
    }

    // The most entries the table can hold under a ceiling of `limit` bytes:
    // those of the largest arrays it may grow into, with the old arrays
    // still held while their entries are copied.
    static size_t max_entries(size_t limit) {
        if (INITIAL_CAPACITY * SLOT_BYTES > limit) return 0;
        size_t capacity = INITIAL_CAPACITY;
        while (growth_fits(capacity, 0, limit)) capacity *= 2;
        return capacity * 13 / 16;
    }

    // Whether storing one more new key doubles the arrays: at most 13 of 16
    // slots are in use, so that just after doubling, with 13 of 32 in use,
    // the 26 bytes of a slot and its tag come to at most 64 bytes per entry.
    bool full() const { return (size_ + 1) * 16 > capacity_ * 13; }

    // What a probe found: the result stored for key, or nullptr (valid until
    // the next store), and the slot that holds key or that key would take,
    // so that a store of key right after its search need not look again.
    struct Place {
        const TTPayload* entry;
        size_t index;    // NO_INDEX for key 0 and before the first store
        uint64_t epoch;  // the index holds while the arrays stay the same
    };
    static constexpr size_t NO_INDEX = ~size_t{0};

    Place locate(uint64_t key) const {
        if (key == 0) return {has_zero_ ? &zero_ : nullptr, NO_INDEX, epoch_};
        if (!tags_) return {nullptr, NO_INDEX, epoch_};
        const size_t i = find_index(key);
        return {tags_[i] != 0 ? &slots_[i].payload : nullptr, i, epoch_};
    }

    // The result stored for key, or nullptr. Valid until the next store.
    const TTPayload* probe(uint64_t key) const { return locate(key).entry; }

    // Whether a search of key to this depth would use the stored entry.
    bool answers(uint64_t key, int depth) const {
        const TTPayload* p = probe(key);
        return p && slot_depth(p->meta) >= depth;
    }

    // Starts loading the tags where key's search begins, ahead of its probe.
    void prefetch(uint64_t key) const {
        if (tags_) __builtin_prefetch(&tags_[key & group_mask_]);
    }

    // Starts loading, for writing, the slot a store will fill, while the
    // node that will store there is still searching.
    void prefetch_for_store(const Place& at) const {
        if (at.index != NO_INDEX) __builtin_prefetch(&slots_[at.index], 1);
    }

    // Copies the tied moves stored for key into out (room for MAX_TIED_MOVES);
    // returns their number.
    int moves_of(uint64_t key, const TTPayload& p, uint8_t* out) const {
        const int n = slot_count(p.meta);
        if (n <= INLINE_MOVES) {
            for (int i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(slot_move(p.meta, i));
        } else {
            const std::vector<uint8_t>& list = overflow_.at(key);
            std::memcpy(out, list.data(), list.size());
        }
        return n;
    }

    // store() for the key that `at` located, with the common case inline:
    // the located slot still empty (nothing claimed it since, and the arrays
    // did not grow) or still holding key, and no side list before or after.
    // `moves` must have at least INLINE_MOVES readable bytes.
    FLIPCORE_INLINE void store_at(const Place& at, uint64_t key, double val, int flag, int32_t depth,
                                  const uint8_t* moves, int n) {
        if (at.epoch == epoch_ && at.index != NO_INDEX && n <= INLINE_MOVES) {
            const size_t i = at.index;
            const uint64_t meta = meta_of(flag, depth, n, inline_moves(moves, n));
            if (tags_[i] == 0 && !full()) {
                tags_[i] = tag_of(key);
                slots_[i] = TTSlot{key, TTPayload{val, meta}};
                ++size_;
                return;
            }
            if (tags_[i] != 0 && slots_[i].key == key && slot_count(slots_[i].payload.meta) <= INLINE_MOVES) {
                slots_[i].payload = TTPayload{val, meta};
                return;
            }
        }
        store(key, val, flag, depth, moves, n);
    }

    // Creates or overwrites the entry of key. Throws std::bad_alloc (TableFull
    // for the table's own arrays and lists) when memory runs out or the
    // ceiling would be passed, leaving the table exactly as it was.
    __attribute__((noinline)) void store(uint64_t key, double val, int flag, int32_t depth, const uint8_t* moves,
                                         int n) {
        uint64_t packed = 0;
        for (int i = 0; i < n && i < INLINE_MOVES; ++i) packed |= static_cast<uint64_t>(moves[i]) << (6 * i);
        const uint64_t meta = meta_of(flag, depth, n, packed);

        TTPayload* slot;
        bool fresh;
        if (key == 0) {
            slot = &zero_;
            fresh = !has_zero_;
        } else {
            if (!tags_) allocate(INITIAL_CAPACITY);
            size_t i = find_index(key);
            fresh = tags_[i] == 0;
            if (fresh && full()) {
                grow();
                i = find_index(key);
            }
            slot = &slots_[i].payload;
            if (fresh) {
                tags_[i] = tag_of(key);
                slots_[i].key = key;
            }
        }
        // The side list first: if it cannot be made, nothing else has changed
        // except a claimed key, which is released again.
        const bool had_list = !fresh && slot_count(slot->meta) > INLINE_MOVES;
        if (n > INLINE_MOVES) {
            if (!had_list && bytes() + SIDE_LIST_BYTES > side_list_limit_) {
                if (fresh && key != 0) release(key);
                throw TableFull(true, side_list_limit_, size_);
            }
            try {
                overflow_.insert_or_assign(key, std::vector<uint8_t>(moves, moves + n));
            } catch (...) {
                if (fresh && key != 0) release(key);
                throw;
            }
        } else if (had_list) {
            overflow_.erase(key);
        }
        *slot = TTPayload{val, meta};
        if (fresh) {
            if (key == 0) has_zero_ = true;
            ++size_;
        }
    }

    // Removes every entry; the slot array keeps its size unless it is larger
    // than the ceiling (lowered since it grew), and then it is given back.
    void clear() {
        side_list_limit_ = limit();
        if (tags_ && capacity_ * SLOT_BYTES > side_list_limit_) {
            release_block(tags_, capacity_);
            tags_ = nullptr;
            slots_ = nullptr;
            capacity_ = group_mask_ = 0;
        }
        if (tags_) std::memset(tags_, 0, capacity_ * sizeof(uint16_t));
        ++epoch_;
        overflow_.clear();
        has_zero_ = false;
        size_ = 0;
    }

    // The entry of key in the engine's terms, for inspection.
    std::optional<TTEntry> find(uint64_t key) const {
        const TTPayload* p = probe(key);
        if (!p) return std::nullopt;
        uint8_t squares[MAX_TIED_MOVES];
        const int n = moves_of(key, *p, squares);
        TTEntry e{p->val, FLAG_CHARS[slot_flag(p->meta)], slot_depth(p->meta), {}};
        for (int i = 0; i < n; ++i) e.moves.push_back(move_of(squares[i]));
        return e;
    }

   private:
    static constexpr uint64_t meta_of(int flag, int32_t depth, int n, uint64_t inline_moves) {
        return static_cast<uint32_t>(depth) | static_cast<uint64_t>(flag) << 32 | static_cast<uint64_t>(n) << 34 |
               inline_moves << 40;
    }

    // The first min(n, 4) moves in 6-bit fields, the fields past n masked
    // off, without a branch on n. The bytes are read one by one: the search
    // has just written them one by one, and a wider read of several recent
    // narrow writes would wait for all of them to reach the cache.
    static uint64_t inline_moves(const uint8_t* moves, int n) {
        const uint64_t fields = uint64_t{moves[0]} | uint64_t{moves[1]} << 6 | uint64_t{moves[2]} << 12 |
                                uint64_t{moves[3]} << 18;
        return fields & ((uint64_t{1} << (6 * n)) - 1);
    }

    // The index holding key (not 0), or the empty one where it would go, in
    // arrays whose group mask is group_mask.
    static size_t find_in(const uint16_t* tags, const TTSlot* slots, size_t group_mask, uint64_t key) {
        const uint16_t tag = tag_of(key);
        for (size_t g = key & group_mask;; g = (g + GROUP) & group_mask) {
            GroupMatch m = match_group(tags + g, tag);
            for (; m.hits; m.hits &= m.hits - 1, m.hits &= m.hits - 1) {
                const size_t i = g + slot_in_group(m.hits);
                if (slots[i].key == key) return i;
            }
            if (m.empties) return g + slot_in_group(m.empties);
        }
    }
    size_t find_index(uint64_t key) const { return find_in(tags_, slots_, group_mask_, key); }

    // Empties the slot of a key just claimed, which is the last used slot of
    // its group: nothing was stored after it, so no other key is moved.
    void release(uint64_t key) { tags_[find_index(key)] = 0; }

    // One zeroed block, tags then slots; zero tags are empty slots. Small
    // blocks come from calloc (16-byte aligned, so no group's tags straddle
    // a cache line), large ones from map_zeroed.
    static void* zeroed_block(size_t capacity) {
        const size_t bytes = capacity * SLOT_BYTES;
        if (bytes < 2 * HUGE_PAGE_BYTES) return std::calloc(capacity, SLOT_BYTES);
        return map_zeroed(bytes);
    }

    static void release_block(void* block, size_t capacity) {
        if (!block) return;
        const size_t bytes = capacity * SLOT_BYTES;
        if (bytes < 2 * HUGE_PAGE_BYTES) std::free(block);
        else unmap_zeroed(block, bytes);
    }

    // Whether arrays of `capacity` slots, holding `side_bytes` of side
    // lists, may double under a ceiling of `limit` bytes: the old arrays,
    // the new ones and the side lists are held at once while entries move.
    static bool growth_fits(size_t capacity, size_t side_bytes, size_t limit) {
        return side_bytes <= limit && capacity * 3 <= (limit - side_bytes) / SLOT_BYTES;
    }

    void allocate(size_t capacity) {
        side_list_limit_ = limit();
        if (capacity * SLOT_BYTES + overflow_.size() * SIDE_LIST_BYTES > side_list_limit_)
            throw TableFull(true, side_list_limit_, size_);
        void* block = zeroed_block(capacity);
        if (!block) throw TableFull(false, side_list_limit_, size_);
        tags_ = static_cast<uint16_t*>(block);
        slots_ = reinterpret_cast<TTSlot*>(tags_ + capacity);
        capacity_ = capacity;
        group_mask_ = (capacity - 1) & ~(GROUP - 1);
    }

    // Doubles the arrays. A failed allocation throws before anything changes.
    // Copying a large table takes long (about a second per gigabyte), so the
    // stop hook is asked as it goes; stopping drops the new arrays and keeps
    // the old ones whole.
    void grow() {
        side_list_limit_ = limit();
        if (!growth_fits(capacity_, overflow_.size() * SIDE_LIST_BYTES, side_list_limit_))
            throw TableFull(true, side_list_limit_, size_);
        const size_t capacity = capacity_ * 2, group_mask = (capacity - 1) & ~(GROUP - 1);
        void* block = zeroed_block(capacity);
        if (!block) throw TableFull(false, side_list_limit_, size_);
        auto* tags = static_cast<uint16_t*>(block);
        auto* slots = reinterpret_cast<TTSlot*>(tags + capacity);
        try {
            for (size_t j = 0; j < capacity_; ++j) {
                if ((j & (GROW_POLL_INTERVAL - 1)) == GROW_POLL_INTERVAL - 1) poll_stop();
                if (tags_[j] == 0) continue;
                const size_t i = find_in(tags, slots, group_mask, slots_[j].key);
                tags[i] = tags_[j];
                slots[i] = slots_[j];
            }
        } catch (...) {
            release_block(block, capacity);
            throw;
        }
        release_block(tags_, capacity_);
        ++epoch_;
        tags_ = tags;
        slots_ = slots;
        capacity_ = capacity;
        group_mask_ = group_mask;
    }

    static constexpr size_t GROW_POLL_INTERVAL = size_t{1} << 16;

    uint16_t* tags_ = nullptr;
    TTSlot* slots_ = nullptr;
    size_t capacity_ = 0;
    size_t group_mask_ = 0;  // capacity - 1 without the slot-in-group bits
    size_t size_ = 0;
    uint64_t epoch_ = 0;  // changes whenever slots may move or empty
    TTPayload zero_{};
    bool has_zero_ = false;
    size_t chosen_limit_ = 0;  // 0: the default
    // The ceiling as last read, for side lists: read afresh only when the
    // arrays are made, grow or are cleared, not on every store of a list.
    size_t side_list_limit_ = ~size_t{0};
    std::unordered_map<uint64_t, std::vector<uint8_t>> overflow_;
};

// The engine's one table, shared by every search until init() empties it.
TranspositionTable tt;

}  // namespace
}  // namespace flipcore
