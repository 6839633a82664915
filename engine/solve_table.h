// The exact solver's own transposition table: a fixed block of entries, each
// holding proven bounds on one position's final disc difference and the move
// that did best there. Entries keep both bitboards, so a probe matches only
// its own position and a hash collision can never hand back another
// position's bounds. Independent of the depth-limited search's table.
//
// A table can be shared by the threads of one parallel solve: each bucket
// then has a spin lock of its own, in the bucket's spare bytes (the same
// cache line as its entries, so taking it costs no extra memory read), held
// for the few instructions a probe or store takes. Probes copy the entry out
// under the lock. A table used by one thread skips the lock altogether.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <thread>
#include <type_traits>

#include "engine/bitboard.h"
#include "engine/zeroed_memory.h"

namespace flipcore {
namespace {

// Scores are final disc differences: always within [-64, 64].
constexpr int SOLVE_SCORE_MAX = 64;

// How sure the bounds of an entry are: EXACT_LEVEL for proven ones; higher
// levels for those of selective searches, the higher the less sure (their
// cut-offs take fewer spreads of margin). A search at one level trusts
// bounds of its own level or a surer one, and takes any entry's move.
constexpr int EXACT_LEVEL = 0;

constexpr size_t DEFAULT_SOLVE_TABLE_BYTES = size_t{64} << 20;

// One stored position: bounds on its score at a level of sureness (exact,
// or a selective search's). `empties` is the number of empty squares plus one,
// and doubles as the work the result cost: the replacement scheme keeps the
// deeper of two candidates. An entry is in use only while its `generation`
// is the table's: clear() moves the table to the next generation, which
// leaves every entry written before it unused at once (0, a new block's
// value, is never a table's generation).
struct SolveEntry {
    Bitboard own;         // discs of the side to move
    Bitboard opp;         // discs of the other side
    int8_t lower;         // proven: score >= lower
    int8_t upper;         // proven: score <= upper
    uint8_t move;         // best move found, or NO_SOLVE_MOVE
    uint8_t empties;      // empty squares + 1
    uint8_t age;          // the solve that last wrote it, modulo 256
    uint8_t level;        // EXACT_LEVEL, or the selective search's that found the bounds
    uint16_t generation;  // the clear() period that wrote it; 0 = never written
};
static_assert(sizeof(SolveEntry) == 24, "a solver table entry is two bitboards and eight bytes");
static_assert(alignof(SolveEntry) == 8, "entries pack back to back");
static_assert(std::is_trivially_copyable_v<SolveEntry>, "the table is a block of zero pages");
static_assert(offsetof(SolveEntry, generation) == 22, "the generation sits in the entry's last two bytes");

constexpr uint8_t NO_SOLVE_MOVE = 64;

// Two entries sharing one cache line, so that a probe costs one memory read,
// and the lock that guards them while the table is shared (0 free, 1 held;
// a plain word touched only by atomic builtins, so that a bucket stays
// trivially copyable and an all-zero one is free).
struct alignas(64) SolveBucket {
    SolveEntry slot[2];
    uint32_t lock;
    uint8_t unused[12];
};
static_assert(sizeof(SolveBucket) == 64, "a bucket is one cache line");

// Mixes both bitboards into 64 bits whose high bits select the slot.
constexpr uint64_t solve_hash(Bitboard own, Bitboard opp) {
    uint64_t h = own * 0x9E3779B97F4A7C15ULL;
    h ^= (opp + (h >> 29)) * 0xC2B2AE3D27D4EB4FULL;
    h ^= h >> 32;
    return h * 0xD6E8FEB86659FD93ULL;
}

// Positions with at most this many empties keep to a region of their own at
// the start of the block, at most NEAR_REGION_BYTES and a sixteenth of the
// table: small enough to stay in the processor's cache, where most of the
// table's probes, those of the many small subtrees near the end, are then
// answered without a trip to memory, and apart from the larger positions,
// whose entries they can no longer push out.
constexpr int NEAR_MAX_EMPTIES = 10;
constexpr size_t NEAR_REGION_BYTES = size_t{4} << 20;

// Two-way buckets: a position lives in one of the two slots of the bucket its
// hash selects (in its region). A store overwrites its own position's slot if present, else the slot
// written by an older solve, else the one with fewer empties. An entry of an
// earlier generation counts as unused everywhere, exactly as if the block
// were new: after clear() a solve visits the same nodes as in a new table.
class SolveTable {
  public:
    // The generation of a new or fully zeroed block; clear() counts up from
    // it and, past LAST_GENERATION, zeroes the block and starts again.
    static constexpr uint16_t FIRST_GENERATION = 1;
    static constexpr uint16_t LAST_GENERATION = std::numeric_limits<uint16_t>::max();

    explicit SolveTable(size_t bytes) { resize(bytes); }

    // Allocates the new block before freeing the old: on std::bad_alloc the
    // table is left as it was. The block comes as zero pages (map_zeroed),
    // so the memory is taken only as the table fills, and an all-zero entry
    // is an unused one.
    void resize(size_t bytes) {
        const size_t size = bytes_for(bytes);
        void* block = map_zeroed(size);
        if (!block) throw std::bad_alloc();
        buckets_ = Buckets(static_cast<SolveBucket*>(block), Unmap{size});
        count_ = size / sizeof(SolveBucket);
        // A table too small to split keeps every position in the one region.
        near_count_ = count_ >= 16 ? std::min(count_ / 16, NEAR_REGION_BYTES / sizeof(SolveBucket)) : 0;
        age_ = 0;
        generation_ = FIRST_GENERATION;
    }

    size_t bytes() const { return count_ * sizeof(SolveBucket); }

    // The size of a table asked for `requested` bytes: whole buckets, at least one.
    static constexpr size_t bytes_for(size_t requested) {
        return std::max<size_t>(requested / sizeof(SolveBucket), 1) * sizeof(SolveBucket);
    }

    // Forgets every entry in constant time, by starting a new generation.
    // Once in LAST_GENERATION clears the counter would come back to values
    // that old entries still carry: the block is zeroed then instead.
    void clear() {
        age_ = 0;
        if (generation_ == LAST_GENERATION) {
            std::fill(buckets_.get(), buckets_.get() + count_, SolveBucket{});
            generation_ = FIRST_GENERATION;
        } else {
            ++generation_;
        }
    }

    // A new solve begins: its entries are preferred over those of earlier ones.
    void next_age() { ++age_; }

    // Whether threads share the table: its probes and stores then lock the
    // bucket. Set only while no search runs on it.
    void set_shared(bool shared) { shared_ = shared; }
    bool shared() const { return shared_; }

    // The entry of (own, opp), or nullptr. Only for a table no other thread
    // writes at the same time (tests, a single-threaded caller); a search
    // reads entries with read().
    const SolveEntry* probe(Bitboard own, Bitboard opp) const {
        return find(buckets_.get()[bucket_of(own, opp)], own, opp);
    }

    // Copies the entry of (own, opp) into `out`; false when there is none.
    bool read(Bitboard own, Bitboard opp, SolveEntry& out) const {
        SolveBucket& b = buckets_.get()[bucket_of(own, opp)];
        const Lock held(b, shared_);
        const SolveEntry* e = find(b, own, opp);
        if (!e) return false;
        out = *e;
        return true;
    }

    // The entry of (own, opp) or nullptr, for a search: in a table of one
    // thread the entry itself, as probe() gives it (no copy); in a shared
    // one a copy made under the lock into `copy`.
    const SolveEntry* lookup(Bitboard own, Bitboard opp, SolveEntry& copy) const {
        if (!shared_) return probe(own, opp);
        return read(own, opp, copy) ? &copy : nullptr;
    }

    void prefetch(Bitboard own, Bitboard opp) const {
        __builtin_prefetch(buckets_.get() + bucket_of(own, opp));
    }

    // Records that the score of (own, opp) lies in [lower, upper], as sure
    // as `level`. Bounds already held for the same position at that level
    // are kept where they are tighter; surer ones are kept as they are, and
    // less sure ones give way.
    void store(Bitboard own, Bitboard opp, int empties, int lower, int upper, int move, int level = EXACT_LEVEL) {
        SolveBucket& b = buckets_.get()[bucket_of(own, opp)];
        const Lock held(b, shared_);
        SolveEntry* e = b.slot;
        SolveEntry* slot;
        if (e[0].own == own && e[0].opp == opp && live(e[0])) {
            slot = &e[0];
        } else if (e[1].own == own && e[1].opp == opp && live(e[1])) {
            slot = &e[1];
        } else {
            slot = worse(e[0], e[1]) ? &e[0] : &e[1];
            *slot = SolveEntry{own, opp, -SOLVE_SCORE_MAX, SOLVE_SCORE_MAX, NO_SOLVE_MOVE, 0, 0,
                               static_cast<uint8_t>(level), generation_};
        }
        if (level < slot->level) {
            slot->lower = -SOLVE_SCORE_MAX;
            slot->upper = SOLVE_SCORE_MAX;
            slot->level = static_cast<uint8_t>(level);
        }
        if (level == slot->level) {
            slot->lower = static_cast<int8_t>(std::max<int>(slot->lower, lower));
            slot->upper = static_cast<int8_t>(std::min<int>(slot->upper, upper));
        }
        if (move != NO_SOLVE_MOVE) slot->move = static_cast<uint8_t>(move);
        slot->empties = static_cast<uint8_t>(empties + 1);
        slot->age = age_;
    }

  private:
    // Holds a bucket's spin lock for its lifetime when `on`. A waiter spins
    // on plain loads (the line stays in its cache until the holder writes)
    // and, after a while, yields: on a machine with fewer cores than
    // threads the holder may be waiting for this very core.
    class Lock {
      public:
        Lock(SolveBucket& b, bool on) : word_(on ? &b.lock : nullptr) {
            if (!word_) return;
            for (int spins = 0; __atomic_exchange_n(word_, 1u, __ATOMIC_ACQUIRE);)
                while (__atomic_load_n(word_, __ATOMIC_RELAXED))
                    if (++spins > 64) std::this_thread::yield();
        }
        ~Lock() {
            if (word_) __atomic_store_n(word_, 0u, __ATOMIC_RELEASE);
        }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        uint32_t* word_;
    };

    const SolveEntry* find(const SolveBucket& b, Bitboard own, Bitboard opp) const {
        const SolveEntry* e = b.slot;
        if (e[0].own == own && e[0].opp == opp && live(e[0])) return &e[0];
        if (e[1].own == own && e[1].opp == opp && live(e[1])) return &e[1];
        return nullptr;
    }

    // Whether the entry was written since the last clear(); a slot never
    // written carries generation 0 and so is never live.
    bool live(const SolveEntry& e) const { return e.generation == generation_; }

    // Whether a should be replaced before b. An unused entry is judged as an
    // all-zero one (age 0, empties 0), as in a new block.
    bool worse(const SolveEntry& a, const SolveEntry& b) const {
        const bool a_live = live(a), b_live = live(b);
        const bool a_old = (a_live ? a.age : 0) != age_, b_old = (b_live ? b.age : 0) != age_;
        if (a_old != b_old) return a_old;
        return (a_live ? a.empties : 0) <= (b_live ? b.empties : 0);
    }

    // The position's bucket: the hash's high bits scaled to its region.
    size_t bucket_of(Bitboard own, Bitboard opp) const {
        const uint64_t h = solve_hash(own, opp);
        const auto scaled = [h](size_t n) {
            return static_cast<size_t>((static_cast<unsigned __int128>(h) * n) >> 64);
        };
        if (!near_count_) return scaled(count_);
        if (popcount(own | opp) >= 64 - NEAR_MAX_EMPTIES) return scaled(near_count_);
        return near_count_ + scaled(count_ - near_count_);
    }

    // The block from map_zeroed, unmapped when replaced or destroyed.
    struct Unmap {
        size_t bytes;
        void operator()(SolveBucket* p) const { unmap_zeroed(p, bytes); }
    };
    using Buckets = std::unique_ptr<SolveBucket, Unmap>;
    Buckets buckets_{nullptr, Unmap{0}};
    size_t count_ = 0;
    size_t near_count_ = 0;  // buckets of the near region; 0: not split
    uint8_t age_ = 0;
    uint16_t generation_ = FIRST_GENERATION;
    bool shared_ = false;
};

}  // namespace
}  // namespace flipcore
