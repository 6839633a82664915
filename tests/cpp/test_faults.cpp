// Faults inside a search, without Python: the stop hook aborting a search at
// any node, and allocations failing at any point of a search. Afterwards the
// board must be untouched, every table entry must be a completed result that
// agrees with the exact minimax value of its position, and searching again
// must give what a search on a fresh table gives.
//
// Allocation failures are injected with the linker's --wrap: this binary's
// calls to calloc, malloc, aligned_alloc and operator new go through the
// wrappers below, which fail on demand and otherwise forward to the real
// functions (so the sanitizers still see every allocation).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <random>
#include <set>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "engine/search.h"
#include "tests/cpp/test_util.h"
#include "tests/plain/plain.h"

namespace fc = flipcore;
using plain::Board;
using plain::Move;

// ------------------------------------------------------------ failing allocations

namespace {

enum class FailKind { Any, CallocOnly };

struct AllocationFaults {
    bool counting = false;
    long count = 0;      // allocations seen while counting
    long fail_from = -1; // index of the first allocation to fail; -1 never
    FailKind kind = FailKind::Any;
};
AllocationFaults g_faults;

// True when this allocation is to fail. Once one fails, every later one of the
// same kind fails too, as when memory has really run out.
bool allocation_fails(bool is_calloc) {
    if (!g_faults.counting) return false;
    if (g_faults.kind == FailKind::CallocOnly && !is_calloc) return false;
    const long index = g_faults.count++;
    return g_faults.fail_from >= 0 && index >= g_faults.fail_from;
}

// Counts (and, with fail_from >= 0, fails) allocations for its lifetime.
struct FaultScope {
    explicit FaultScope(long fail_from, FailKind kind = FailKind::Any) {
        g_faults = AllocationFaults{true, 0, fail_from, kind};
    }
    ~FaultScope() { g_faults.counting = false; }
    long count() const { return g_faults.count; }
};

}  // namespace

extern "C" {
void* __real_calloc(std::size_t, std::size_t);
void* __real_malloc(std::size_t);
void* __real_aligned_alloc(std::size_t, std::size_t);
void* __real__Znwm(std::size_t);

void* __wrap_calloc(std::size_t n, std::size_t size) {
    return allocation_fails(true) ? nullptr : __real_calloc(n, size);
}
void* __wrap_malloc(std::size_t size) { return allocation_fails(false) ? nullptr : __real_malloc(size); }
void* __wrap_aligned_alloc(std::size_t align, std::size_t size) {
    return allocation_fails(false) ? nullptr : __real_aligned_alloc(align, size);
}
// operator new(std::size_t)
void* __wrap__Znwm(std::size_t size) {
    if (allocation_fails(false)) throw std::bad_alloc();
    return __real__Znwm(size);
}
}

namespace {

const double INF = std::numeric_limits<double>::infinity();

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof(double)) == 0; }

std::string show(const std::vector<Move>& moves) {
    std::string s = "[";
    for (const auto& [c, r] : moves) s += "(" + std::to_string(c) + "," + std::to_string(r) + ")";
    return s + "]";
}

// Replaces the engine's table by a new, never-allocated one, so that every
// run starts from the same allocations (clear() keeps the slot array).
void reset_table() {
    using Table = std::remove_reference_t<decltype(fc::tt)>;
    fc::tt.~Table();
    new (&fc::tt) Table();
}

// ------------------------------------------------------------ exact values

// What a depth-limited search from the root may store for one position.
struct Known {
    int depth;              // remaining depth at this position
    double exact;           // its minimax value at that depth, without pruning
    std::vector<Move> legal;
};
using KnownMap = std::unordered_map<uint64_t, Known>;

// Plain minimax over the whole tree, using the reference's rules and keys
// (drawn from the same seed as the engine's), recording every position that
// has legal moves and remaining depth: exactly the positions a search stores.
double exact_value(Board& b, int player, int depth, uint64_t key, KnownMap& known) {
    if (depth == 0) return plain::evaluate(b, player);
    if (auto it = known.find(key); it != known.end()) return it->second.exact;
    const auto moves = testutil::legal_moves(b, player);
    if (moves.empty()) return plain::evaluate(b, player);
    const int opp = plain::opponent(player);
    double best = player == 1 ? -INF : INF;
    std::vector<Move> legal;
    for (const auto& m : moves) {
        const auto [col, row] = m.square;
        plain::make_move(b, col, row, m.flips, player);
        const double v = exact_value(b, opp, depth - 1, plain::key_after_move(key, player, col, row, m.flips), known);
        plain::unmake_move(b, col, row, m.flips, player);
        if (player == 1 ? v > best : v < best) best = v;
        legal.push_back(m.square);
    }
    known[key] = Known{depth, best, legal};
    return best;
}

// Every entry in the engine's table must belong to a position the search
// could reach, carry that position's remaining depth, and hold a value that
// is exact, or a true bound, as its flag says; its moves must be distinct
// legal moves.
::testing::AssertionResult table_is_valid(const KnownMap& known) {
    size_t found = 0;
    for (const auto& [key, k] : known) {
        const auto e = fc::tt.find(key);
        if (!e) continue;
        ++found;
        const std::string where = "entry " + std::to_string(key) + ": ";
        if (e->depth != k.depth)
            return ::testing::AssertionFailure() << where << "depth " << e->depth << ", expected " << k.depth;
        const bool holds = e->flag == 'E'   ? e->val == k.exact
                           : e->flag == 'L' ? e->val <= k.exact
                           : e->flag == 'U' ? e->val >= k.exact
                                            : false;
        if (!holds)
            return ::testing::AssertionFailure()
                   << where << "flag " << e->flag << " value " << e->val << ", exact value " << k.exact;
        std::set<Move> seen;
        for (const Move& m : e->moves) {
            bool legal = false;
            for (const Move& l : k.legal) legal = legal || l == m;
            if (!legal || !seen.insert(m).second)
                return ::testing::AssertionFailure() << where << "moves " << show(e->moves) << " not distinct legal moves";
        }
        if (e->moves.empty()) return ::testing::AssertionFailure() << where << "no moves";
    }
    if (found != fc::tt.size())
        return ::testing::AssertionFailure()
               << "table holds " << fc::tt.size() << " entries, only " << found << " of reachable positions";
    return ::testing::AssertionSuccess();
}

// ------------------------------------------------------------ positions

struct Case {
    std::string name;
    Board board;
    int player;
    int depth;
};

// A midgame position from a seeded random game.
Case midgame_case() {
    std::mt19937 rng(20240611);
    const auto game = testutil::random_game(rng);
    const auto& p = game.at(22);
    return Case{"midgame", p.board, p.player, 6};
}

// A board the same under all eight rotations and mirrorings, so moves tie in
// groups of four or eight and the table keeps long move lists.
Case symmetric_case() {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> pct(0, 99), colour(1, 2);
    for (;;) {
        Board b{};
        for (int r = 0; r < 4; ++r)
            for (int c = r; c < 4; ++c) {
                const int v = pct(rng) < 45 ? colour(rng) : 0;
                for (auto [x, y] : {std::pair{c, r}, std::pair{r, c}}) b[y][x] = b[y][7 - x] = b[7 - y][x] = b[7 - y][7 - x] = v;
            }
        if (testutil::legal_moves(b, 1).size() >= 8) return Case{"symmetric", b, 1, 4};
    }
}

std::vector<Case> cases() { return {midgame_case(), symmetric_case()}; }

constexpr uint32_t SEED = 99;

// The keys of SEED in both the engine and the reference, and the exact value
// of every position of the case's search tree (solved once per case).
const KnownMap& seed_and_solve(const Case& c) {
    fc::init_zobrist_seeded(SEED);
    plain::init_zobrist_seeded(SEED);
    static std::unordered_map<std::string, KnownMap> solved;
    KnownMap& known = solved[c.name];
    if (known.empty()) {
        Board b = c.board;
        exact_value(b, c.player, c.depth, plain::zobrist_key(b, c.player), known);
    }
    return known;
}

fc::SearchResult search(const Case& c) {
    Board b = c.board;
    const fc::SearchResult r = fc::minimax(b, c.player, c.depth, -INF, INF, fc::zobrist_key(b, c.player));
    EXPECT_EQ(b, c.board) << "a completed search changed the board";
    return r;
}

void expect_same_result(const fc::SearchResult& got, const fc::SearchResult& want, const std::string& what) {
    EXPECT_TRUE(same_bits(got.val, want.val)) << what << ": value " << got.val << ", fresh search " << want.val;
    EXPECT_EQ(got.moves, want.moves) << what << ": moves " << show(got.moves) << ", fresh search " << show(want.moves);
}

// ------------------------------------------------------------ the stop hook

struct HookState {
    long calls = 0;
    long fire_at = -1;  // the call that asks to stop; -1 never
};
HookState g_hook;

bool test_hook() { return ++g_hook.calls == g_hook.fire_at; }

// Installs the hook for one search, first asking after `first_check`
// expanded nodes and then at the engine's own interval.
struct HookScope {
    HookScope(long fire_at, uint32_t first_check) {
        g_hook = HookState{0, fire_at};
        fc::g_stop_countdown = first_check;
        fc::g_stop_check = &test_hook;
    }
    ~HookScope() { fc::g_stop_check = nullptr; }
};

// Aborts the search at many points spread over its whole run, from the first
// expanded node on. Each abort must happen at the very call that asked for it,
// leave the board as it was and the table valid, and a search afterwards on
// that table must answer as a search on a fresh table does.
TEST(StopHook, AbortAnywhereLeavesValidTableAndResumes) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        const KnownMap& known = seed_and_solve(c);

        // A hook that never fires must not change the answer.
        fc::tt.clear();
        const fc::SearchResult fresh = search(c);
        ASSERT_TRUE(table_is_valid(known));
        fc::tt.clear();
        {
            HookScope hook(-1, 1);
            expect_same_result(search(c), fresh, "hook that never fires");
            EXPECT_GE(g_hook.calls, 1) << "the hook was never asked";
        }

        const long interval = fc::STOP_CHECK_INTERVAL;
        int aborts = 0;
        for (long node = 1;; node += node < 40 ? 1 : 37) {
            fc::tt.clear();
            Board b = c.board;
            const uint64_t key = fc::zobrist_key(b, c.player);
            const long fire_at = (node - 1) / interval + 1;
            bool aborted = false;
            {
                HookScope hook(fire_at, static_cast<uint32_t>((node - 1) % interval + 1));
                try {
                    fc::minimax(b, c.player, c.depth, -INF, INF, key);
                } catch (const fc::SearchAborted&) {
                    aborted = true;
                }
                if (aborted) {
                    EXPECT_EQ(g_hook.calls, fire_at) << "the search did not stop when asked";
                }
            }
            if (!aborted) break;  // the search ends before this node
            ++aborts;
            SCOPED_TRACE("aborted at expanded node " + std::to_string(node));
            EXPECT_EQ(b, c.board) << "an aborted search changed the board";
            EXPECT_FALSE(fc::tt.find(key)) << "the unfinished root was stored";
            ASSERT_TRUE(table_is_valid(known));

            expect_same_result(search(c), fresh, "search after the abort");
            ASSERT_TRUE(table_is_valid(known));
        }
        EXPECT_GE(aborts, 50) << "too few abort points: the case searches too few nodes";
    }
}

// ------------------------------------------------------------ allocation failures

// Fails every allocation from the k-th on, for each k up to the number a
// search makes from an unallocated table: the initial slot array, every
// growth, long move lists and the result's list. The search must raise
// std::bad_alloc, keep what it stored valid, and a search afterwards must
// answer as on a fresh table.
TEST(AllocationFailure, EveryAllocationOfASearchCanFail) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        const KnownMap& known = seed_and_solve(c);
        reset_table();
        const fc::SearchResult fresh = search(c);

        long allocations;
        {
            reset_table();
            FaultScope count(-1);
            search(c);
            allocations = count.count();
        }
        ASSERT_GE(allocations, 3) << "the case should allocate a table, grow it and keep long move lists";

        const long step = allocations / 150 + 1;
        for (long k = 0; k < allocations; k += step) {
            SCOPED_TRACE("allocation " + std::to_string(k) + " of " + std::to_string(allocations) + " fails");
            reset_table();
            Board b = c.board;
            bool failed = false;
            {
                FaultScope fail(k);
                try {
                    fc::minimax(b, c.player, c.depth, -INF, INF, fc::zobrist_key(b, c.player));
                } catch (const std::bad_alloc&) {
                    failed = true;
                }
            }
            ASSERT_TRUE(failed) << "the failed allocation did not reach the caller";
            EXPECT_EQ(b, c.board);
            ASSERT_TRUE(table_is_valid(known));
            expect_same_result(search(c), fresh, "search after the failure");
            ASSERT_TRUE(table_is_valid(known));
        }
    }
}

// Doubling a large table takes long, so the stop hook is asked while entries
// are copied; stopping there keeps the old array with every entry, and the
// next store grows it.
TEST(StopHook, StopDuringGrowthKeepsTheTable) {
    reset_table();
    const uint8_t move = 19;
    std::mt19937_64 rng(7);
    std::vector<uint64_t> keys;
    const auto store = [&](uint64_t key) { fc::tt.store(key, static_cast<double>(key % 1000), 1, 3, &move, 1); };
    // Fill until the next new key doubles an array large enough to be asked about.
    while (!(fc::tt.capacity() >= (size_t{1} << 16) && fc::tt.full())) {
        keys.push_back(rng() | 1);
        store(keys.back());
    }
    const size_t size = fc::tt.size(), capacity = fc::tt.capacity();
    const auto all_kept = [&] {
        for (uint64_t k : keys) {
            const auto e = fc::tt.find(k);
            if (!e || e->val != static_cast<double>(k % 1000) || e->moves.size() != 1) return false;
        }
        return true;
    };

    const uint64_t extra = rng() | 1;
    {
        HookScope hook(1, fc::STOP_CHECK_INTERVAL);
        EXPECT_THROW(store(extra), fc::SearchAborted);
        EXPECT_EQ(g_hook.calls, 1);
    }
    EXPECT_EQ(fc::tt.size(), size);
    EXPECT_EQ(fc::tt.capacity(), capacity);
    EXPECT_FALSE(fc::tt.find(extra));
    EXPECT_TRUE(all_kept());

    store(extra);
    EXPECT_EQ(fc::tt.capacity(), 2 * capacity);
    EXPECT_EQ(fc::tt.size(), size + 1);
    EXPECT_TRUE(all_kept());
}

// A growth of the slot array that fails keeps the array it had, with every
// entry in it, and the table grows on the next store once memory is back.
TEST(AllocationFailure, FailedGrowthKeepsTheTable) {
    const Case c = midgame_case();
    const KnownMap& known = seed_and_solve(c);
    reset_table();
    const fc::SearchResult fresh = search(c);
    const size_t full_capacity = fc::tt.capacity();

    // The capacity of the first slot array: a depth-1 search stores one entry.
    reset_table();
    {
        Board b = c.board;
        fc::minimax(b, c.player, 1, -INF, INF, fc::zobrist_key(b, c.player));
    }
    const size_t first_capacity = fc::tt.capacity();
    ASSERT_GT(full_capacity, first_capacity) << "the case must make the table grow";

    reset_table();
    bool failed = false;
    {
        FaultScope fail(1, FailKind::CallocOnly);  // the first array is made, its growth fails
        try {
            search(c);
        } catch (const std::bad_alloc&) {
            failed = true;
        }
    }
    ASSERT_TRUE(failed);
    EXPECT_EQ(fc::tt.capacity(), first_capacity);
    EXPECT_GT(fc::tt.size(), 0u);
    ASSERT_TRUE(table_is_valid(known));

    expect_same_result(search(c), fresh, "search after the failed growth");
    EXPECT_EQ(fc::tt.capacity(), full_capacity);
    EXPECT_TRUE(table_is_valid(known));
}

}  // namespace
