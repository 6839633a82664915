// The exact endgame solver: plays the game's full rules (a side without a
// move passes, the game ends when neither can move) to the end and proves the
// final disc difference, counting the empty squares for the winner.
//
// Search: negamax on the integer score with null windows. The root value is
// pinned down by a sequence of null-window tests from a first guess (MTD
// style), each narrowing the proven bounds, asked of the root's moves one by
// one so that each keeps bounds of its own and the best moves come out of the
// same tests; every node below is a null-window node. Nodes with more than
// SHALLOW_EMPTIES empties probe the solver's own table, cut at once where the
// other side's stable discs already decide, try the table's best move before
// generating the others, look the children up in the table first where that
// can cut (ETC_MIN_EMPTIES), and order the rest fastest-first (fewest replies
// for the opponent), or near the root by a shallow search on a rough static
// value or, given its weights, on the learned evaluation. Nodes with fewer empties run without the table, after the same
// stability cut, in parity order over the empty squares; the last four have their own code that never generates
// moves over the whole board, and the last square's flips are counted by
// table. every_move mode then searches each move that is not a best move
// from the bounds the root proved for it.
//
// Given the learned evaluation, large solves first run selective searches:
// the same search with probabilistic cut-offs on the evaluation, at growing
// margins. Their bounds go to the table marked with their level, where only
// searches as loose use them; their moves go to any search, and their value
// is the exact search's first guess.
//
// All state lives in a Solver object: its table, node count and hooks. It
// shares only the immutable move-rule tables of engine/bitboard.h with the
// depth-limited search and never touches that search's statics.
//
// Threads (Solver::threads > 1): young brothers wait. A node with at least
// split_min_empties empties searches its first move alone; if that does not
// cut and a helper thread is idle, the node becomes a split point whose
// other moves any thread may take, one at a time. A move that cuts stops the
// split point: the threads below it drop their work (SplitCut) and the
// node returns the cutoff. The owner of a split point, once its moves are
// handed out, helps at split points below its own until its helpers are
// done. The threads share the one table (locked per bucket). A parallel
// search proves the same bounds by other routes, so the score, the best
// moves and every move's score are those of one thread; node counts, and
// which of several best lines is reported, may differ.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "engine/bitboard.h"
#include "engine/eval_weights.h"
#include "engine/probcut.h"
#include "engine/solve_table.h"
#include "engine/stable.h"
#include "engine/stop.h"

namespace flipcore {
namespace {

enum class SolveMode { exact, wld, every_move };

struct SolveOutcome {
    int score;                   // side to move's view; wld: -1 loss, 0 draw, +1 win
    std::vector<int> best;       // squares reaching `score`, ascending
    std::vector<int> line;       // principal variation, PASS_SQUARE for a pass
    std::vector<std::pair<int, int>> move_scores;  // every_move: (square, exact score)
    uint64_t nodes;              // by every thread
    uint64_t helper_nodes = 0;   // of those, by the threads other than the caller
    double idle_seconds = 0;     // threads' time spent waiting for work, summed
};

constexpr int PASS_SQUARE = -1;

// More threads than this for one solve is a mistake, not a machine.
constexpr int MAX_SOLVE_THREADS = 256;

namespace solve_detail {

constexpr int INF_SCORE = SOLVE_SCORE_MAX + 1;

// Nodes with at most this many empties skip the table and move ordering.
// At 6 they save an eighth of the nodes for about as much time as they
// cost, now that the table keeps such positions in a region that stays in
// the cache.
constexpr int SHALLOW_EMPTIES = 5;
// How many nodes pass between two questions to the stop hook.
constexpr uint64_t STOP_INTERVAL = 4096;
// In a parallel search, how many nodes pass between two looks at whether a
// split point above has been stopped (and at the stop hook, in the thread
// that has one): work that can no longer matter ends within this many nodes.
constexpr uint64_t SPLIT_POLL_INTERVAL = 1024;
// Nodes with at least this many empties may be shared among threads.
constexpr int SPLIT_MIN_EMPTIES = 12;
// How long a thread waiting for its helpers sleeps between looks at the
// stop hook.
constexpr auto SPLIT_WAIT = std::chrono::milliseconds(2);
// Nodes with at least this many empties look up every child in the table
// before searching any (enhanced transposition cutoff).
constexpr int ETC_MIN_EMPTIES = 10;
// Nodes with at least this many empties order their moves by a shallow
// search of each child on a static value instead of fastest-first,
// deeper the more empties: such nodes are rare (a few thousand per solve at
// 18+, a few hundred at 20+), so the deeper search costs little and its
// better order cuts the large subtrees below them. On the learned
// evaluation they start at 13, where its static value alone (no plies, see
// sort_search_depth) saves more time in nodes than it costs; from 12 it
// saves nodes still, but costs more time than they are worth.
constexpr int sort_search_min_empties(bool evaluated) { return evaluated ? 13 : 16; }
// The depth of the shallow search that orders the root's moves: up to six
// plies, less in small solves, where it would cost more than the solve.
constexpr int root_sort_depth(int empties) { return std::max(0, std::min(6, (empties - 8) / 2)); }
// On the learned evaluation, where the solver has it, the sorting searches
// need fewer plies for an order as good or better.
constexpr int sort_search_depth(int empties, bool evaluated) {
    if (evaluated) return empties >= 18 ? 2 : empties >= 16 ? 1 : 0;
    return empties >= 20 ? 5 : empties >= 18 ? 3 : 1;
}
// Sorting searches try their moves fastest-first from this many plies to go.
constexpr int ROUGH_ORDER_MIN_DEPTH = 3;
// Beyond any value of a sorting search (a finished game counts 64 a disc).
constexpr int ROUGH_INF = 1 << 20;
// Fastest-first keys count 16 for one reply fewer for the opponent; an
// empty square next to the mover's discs (a later reply) counts this much.
constexpr int FRONTIER_WEIGHT = 8;
// Fastest-first tie-break: a move into a quadrant with an odd number of
// empties gains this much.
constexpr int PARITY_BONUS = 3;
// Taking a corner gains as much as one reply fewer; a move to an X-square
// next to an empty corner, which may hand that corner over, loses as much.
constexpr int CORNER_MOVE_BONUS = 16;
constexpr int RISKY_X_PENALTY = 16;

constexpr Bitboard CORNERS = 0x8100000000000081ULL;

// The four 4x4 quadrants. The last empties are played quadrant by quadrant:
// squares in quadrants with an odd number of empties first (parity order).
constexpr Bitboard QUADRANTS[4] = {0x000000000F0F0F0FULL, 0x00000000F0F0F0F0ULL, 0x0F0F0F0F00000000ULL,
                                   0xF0F0F0F000000000ULL};

// The union of the quadrants holding an odd number of the squares in `empty`.
template <class Isa>
FLIPCORE_INLINE Bitboard odd_quadrants(Bitboard empty) {
    Bitboard odd = 0;
    for (Bitboard q : QUADRANTS)
        if (popcount_in<Isa>(empty & q) & 1) odd |= q;
    return odd;
}

// Scores of finished games are even (the winner gets the empties): a bound
// on one rounds to the even number on its side. Exact bounds are even
// already; a selective search's cut-off may answer an odd one.
constexpr int even_at_most(int v) { return v & ~1; }
constexpr int even_at_least(int v) { return (v + 1) & ~1; }
static_assert(even_at_most(-3) == -4 && even_at_most(4) == 4 && even_at_least(-3) == -2 && even_at_least(3) == 4,
              "rounding goes away from the bound's side, for negative scores too");

// The score of a finished game from the side to move's view: the disc
// difference, with the empty squares going to the winner.
template <class Isa>
FLIPCORE_INLINE int final_score(Bitboard own, Bitboard opp) {
    const int mine = popcount_in<Isa>(own), theirs = popcount_in<Isa>(opp);
    const int diff = mine - theirs, empties = 64 - mine - theirs;
    return diff > 0 ? diff + empties : diff < 0 ? diff - empties : 0;
}

struct Pool;
struct SplitPoint;

// Thrown in a thread working below a split point that has been stopped (a
// move there cut, or its owner is unwinding); caught where the thread took
// up work at that split point.
struct SplitCut {};

// What a search shares down the tree: the table, the node count and the
// stop hook, all belonging to one Solver; in a parallel search also the
// pool of threads and the innermost split point this thread works under.
struct Context {
    SolveTable* table;
    const std::function<bool()>* stop;
    const EvalWeights* weights = nullptr;  // the sorting searches' evaluation; none: rough_value
    int level = EXACT_LEVEL;               // above it: a selective search (weights required)
    uint64_t nodes = 0;
    uint64_t next_stop_check = STOP_INTERVAL;
    Pool* pool = nullptr;
    SplitPoint* active = nullptr;

    void count_and_poll() {
        ++nodes;
        if (nodes >= next_stop_check) poll();
    }
    void poll();
};

// A node's legal moves not handed down by its parent: no position has every
// square a legal move, since a move needs an empty square and discs around it.
constexpr Bitboard UNKNOWN_MOVES = ~Bitboard{0};

// The recursion's entry points, compiled once per kernel set. `moves`: the
// position's legal moves where the parent computed them, else UNKNOWN_MOVES.
int mid_baseline(Context& c, Bitboard own, Bitboard opp, int alpha, int empties, const PatternIndices* idx,
                 Bitboard moves);
FLIPCORE_AVX2_TARGET int mid_avx2(Context& c, Bitboard own, Bitboard opp, int alpha, int empties,
                                  const PatternIndices* idx, Bitboard moves);
int shallow_baseline(Context& c, Bitboard own, Bitboard opp, int alpha, int empties, Bitboard moves);
FLIPCORE_AVX2_TARGET int shallow_avx2(Context& c, Bitboard own, Bitboard opp, int alpha, int empties,
                                      Bitboard moves);
int last4_baseline(Context& c, Bitboard own, Bitboard opp, int alpha);
FLIPCORE_AVX2_TARGET int last4_avx2(Context& c, Bitboard own, Bitboard opp, int alpha);

// Squares next to each square: a move there flips nothing unless one of
// them holds an opposing disc.
constexpr auto NEIGHBOURS = [] {
    std::array<Bitboard, 64> n{};
    for (int sq = 0; sq < 64; ++sq)
        for (int k = 0; k < 8; ++k) {
            const int col = (sq & 7) + DX[k], row = (sq >> 3) + DY[k];
            if (col >= 0 && col < 8 && row >= 0 && row < 8) n[sq] |= square_bit(row * 8 + col);
        }
    return n;
}();

// The two diagonals through each square, the square included.
struct Diagonals {
    Bitboard rising, falling;
};
constexpr auto SQUARE_DIAGONALS = [] {
    std::array<Diagonals, 64> d{};
    for (int sq = 0; sq < 64; ++sq)
        d[sq] = {LINES[sq][1] | LINES[sq][5] | square_bit(sq), LINES[sq][3] | LINES[sq][7] | square_bit(sq)};
    return d;
}();

// A diagonal's discs as one byte, bit c for the square in column c: the
// product adds a copy of the board per row, and a diagonal has one square
// per column, so the copies land on distinct bits without carries.
constexpr int diagonal_byte(Bitboard b, Bitboard diagonal) { return static_cast<int>(((b & diagonal) * COL_0) >> 56); }

// Column c's discs as one byte, bit r for row r: the factor's set bits
// (7, 14, ..., 56) move row r's bit to 56 + r, and no two products meet.
constexpr Bitboard COLUMN_GATHER = 0x0102040810204080ULL;
constexpr int column_byte(Bitboard b, int c) { return static_cast<int>((((b >> c) & COL_0) * COLUMN_GATHER) >> 56); }

// LINE_FLIPS[i][pattern]: discs turned over along a full line of eight when
// the mover places at index i, its discs being the set bits of `pattern` and
// every other square the opponent's. Lines shorter than eight read as having
// opponent discs beyond their end, which bracket nothing.
constexpr auto LINE_FLIPS = [] {
    std::array<std::array<uint8_t, 256>, 8> t{};
    for (int i = 0; i < 8; ++i)
        for (int pattern = 0; pattern < 256; ++pattern) {
            int count = 0;
            for (int dir = -1; dir <= 1; dir += 2) {
                int j = i + dir, run = 0;
                while (j >= 0 && j < 8 && !(pattern >> j & 1)) ++run, j += dir;
                if (j >= 0 && j < 8) count += run;
            }
            t[i][pattern] = static_cast<uint8_t>(count);
        }
    return t;
}();

// Discs turned over when the owner of `own` fills x, the board's only empty
// square (so every other square is the opponent's): four table reads, one per
// line through x, each indexed by x's place on the line.
FLIPCORE_INLINE int last_flip_count(Bitboard own, int x) {
    const int r = x >> 3, c = x & 7;
    const Diagonals& d = SQUARE_DIAGONALS[x];
    return LINE_FLIPS[c][(own >> (8 * r)) & 0xFF] + LINE_FLIPS[r][column_byte(own, c)] +
           LINE_FLIPS[c][diagonal_byte(own, d.rising)] + LINE_FLIPS[c][diagonal_byte(own, d.falling)];
}

// The last empty square x: the score once it is filled (or left empty when
// neither side can play it). Counts the flips of the one move directly.
template <class Isa>
FLIPCORE_INLINE int solve_1(Context& c, Bitboard own, Bitboard opp, int x) {
    ++c.nodes;
    const int mine = popcount_in<Isa>(own);  // the other side has 63 - mine
    if (const int f = last_flip_count(own, x)) return 2 * (mine + 1 + f) - 64;
    if (const int f = last_flip_count(opp, x)) return 2 * (mine - f) - 64;
    // Nobody can play: 63 discs, the winner takes the empty square.
    return mine > 31 ? 2 * mine - 62 : 2 * mine - 64;
}

// N empty squares (2 to 4), given in the order to try them; a null-window
// search around alpha (fail-soft). Passed: the other side has just passed.
template <int N, class Isa, bool Passed = false>
FLIPCORE_INLINE int solve_n(Context& c, Bitboard own, Bitboard opp, int alpha, const int* squares) {
    ++c.nodes;
    int best = -INF_SCORE;
    for (int i = 0; i < N; ++i) {
        const int x = squares[i];
        const Bitboard f = flips_in<Isa>(own, opp, x);
        if (!f) continue;
        const Bitboard child_own = opp ^ f, child_opp = own | f | square_bit(x);
        int rest[N - 1];
        for (int j = 0, k = 0; j < N; ++j)
            if (j != i) rest[k++] = squares[j];
        int v;
        if constexpr (N == 2) v = -solve_1<Isa>(c, child_own, child_opp, rest[0]);
        else v = -solve_n<N - 1, Isa>(c, child_own, child_opp, -alpha - 1, rest);
        if (v > best) {
            best = v;
            if (v > alpha) return v;
        }
    }
    if (best > -INF_SCORE) return best;
    if constexpr (Passed) return final_score<Isa>(own, opp);  // neither side can move
    else return -solve_n<N, Isa, true>(c, opp, own, -alpha - 1, squares);
}

// Four empties: the squares sorted into parity order, then solve_n.
template <class Isa>
FLIPCORE_INLINE int last4_node(Context& c, Bitboard own, Bitboard opp, int alpha) {
    const Bitboard empty = ~(own | opp);
    const Bitboard odd = odd_quadrants<Isa>(empty);
    int squares[4];
    int n = 0;
    for (Bitboard b = empty & odd; b;) squares[n++] = pop_lowest(b);
    for (Bitboard b = empty & ~odd; b;) squares[n++] = pop_lowest(b);
    return solve_n<4, Isa>(c, own, opp, alpha, squares);
}

template <class Isa>
FLIPCORE_INLINE int last4_call(Context& c, Bitboard own, Bitboard opp, int alpha) {
    if constexpr (Isa::wide) return last4_avx2(c, own, opp, alpha);
    else return last4_baseline(c, own, opp, alpha);
}

template <class Isa>
FLIPCORE_INLINE int shallow_call(Context& c, Bitboard own, Bitboard opp, int alpha, int empties,
                                 Bitboard moves = UNKNOWN_MOVES) {
    if constexpr (Isa::wide) return shallow_avx2(c, own, opp, alpha, empties, moves);
    else return shallow_baseline(c, own, opp, alpha, empties, moves);
}

template <class Isa>
FLIPCORE_INLINE int mid_call(Context& c, Bitboard own, Bitboard opp, int alpha, int empties,
                             const PatternIndices* idx = nullptr, Bitboard moves = UNKNOWN_MOVES) {
    if constexpr (Isa::wide) return mid_avx2(c, own, opp, alpha, empties, idx, moves);
    else return mid_baseline(c, own, opp, alpha, empties, idx, moves);
}

// A child with `empties` empty squares, by the code for its size.
template <class Isa>
FLIPCORE_INLINE int child_call(Context& c, Bitboard own, Bitboard opp, int alpha, int empties,
                               const PatternIndices* idx = nullptr, Bitboard moves = UNKNOWN_MOVES) {
    if (empties > SHALLOW_EMPTIES) return mid_call<Isa>(c, own, opp, alpha, empties, idx, moves);
    if (empties > 4) return shallow_call<Isa>(c, own, opp, alpha, empties, moves);
    return last4_call<Isa>(c, own, opp, alpha);
}

// A move at a node with the table: the square, the child it leads to, and
// its place in the order. The child's legal moves, where the order key
// generated them, go down to the child, which would generate them again.
struct OrderedMove {
    Bitboard child_own, child_opp;
    Bitboard child_moves;  // or UNKNOWN_MOVES
    int square;
    int key;
};

// The squares next to any of b's discs.
constexpr Bitboard neighbourhood(Bitboard b) {
    return ((b << 1) & ~COL_0) | ((b >> 1) & ~COL_7) | (b << 8) | (b >> 8) | ((b << 9) & ~COL_0) |
           ((b >> 9) & ~COL_7) | ((b << 7) & ~COL_7) | ((b >> 7) & ~COL_0);
}

// Fastest first: the fewer replies the opponent has (corners counting double),
// the earlier the move is tried. Empty squares next to the mover's discs,
// where the opponent may reply later, count half a reply each
// (FRONTIER_WEIGHT).
template <class Isa>
FLIPCORE_INLINE int fastest_first_key(Bitboard child_own, Bitboard child_opp, Bitboard replies) {
    const Bitboard empty = ~(child_own | child_opp);
    return -(popcount_in<Isa>(replies) * 16 + popcount_in<Isa>(replies & CORNERS) * 16 +
             popcount_in<Isa>(neighbourhood(child_opp) & empty) * FRONTIER_WEIGHT);
}
template <class Isa>
FLIPCORE_INLINE int fastest_first_key(Bitboard child_own, Bitboard child_opp) {
    return fastest_first_key<Isa>(child_own, child_opp, legal_moves_in<Isa>(child_own, child_opp));
}

// The X-square diagonally inside each corner of `corners`: a disc there hands
// the opponent that corner while it stays empty.
constexpr Bitboard x_squares_of(Bitboard corners) {
    return ((corners & square_bit(0)) << 9) | ((corners & square_bit(7)) << 7) |
           ((corners & square_bit(56)) >> 7) | ((corners & square_bit(63)) >> 9);
}
static_assert(x_squares_of(CORNERS) == (square_bit(9) | square_bit(14) | square_bit(49) | square_bit(54)),
              "each corner maps to its own X-square");

// Appends the move to x with the child it leads to; the caller sets its key.
template <class Isa>
FLIPCORE_INLINE OrderedMove& push_move(OrderedMove* list, int& count, Bitboard own, Bitboard opp, int x) {
    const Bitboard f = flips_in<Isa>(own, opp, x);
    OrderedMove& m = list[count++];
    m.child_own = opp ^ f;
    m.child_opp = own | f | square_bit(x);
    m.child_moves = UNKNOWN_MOVES;
    m.square = x;
    return m;
}

// Selection sort as the moves are tried: a cutoff often comes before the
// list is sorted.
FLIPCORE_INLINE const OrderedMove& next_move(OrderedMove* list, int i, int count) {
    int pick = i;
    for (int j = i + 1; j < count; ++j)
        if (list[j].key > list[pick].key) pick = j;
    std::swap(list[i], list[pick]);
    return list[i];
}

// A node whose remaining moves are shared among threads. Everything but
// `stop` is guarded by the pool's mutex; `stop` is also read without it by
// the threads below, to drop their work.
struct SplitPoint {
    SplitPoint(SplitPoint* parent_, const OrderedMove* moves_, int count_, int alpha_, int empties_, int level_,
               bool wide_, int best_, int best_move_)
        : parent(parent_), moves(moves_), count(count_), alpha(alpha_), empties(empties_), level(level_), wide(wide_),
          best(best_), best_move(best_move_) {}

    SplitPoint* parent;        // the split point its owner worked under
    const OrderedMove* moves;  // in the order to hand them out (the owner's stack)
    int count;
    int next = 0;              // the next move to hand out
    int alpha, empties;
    int level;                 // the search's (Context::level)
    bool wide;                 // run the Avx2 kernels
    int best, best_move;
    int workers = 0;           // threads other than the owner on its moves
    std::atomic<bool> stop{false};

    bool open() const { return next < count && !stop.load(std::memory_order_relaxed); }
    // Whether `sp` is this split point or one below it.
    bool holds(const SplitPoint* sp) const {
        for (; sp; sp = sp->parent)
            if (sp == this) return true;
        return false;
    }
};

// The threads of one parallel solve: the split points with moves to hand
// out, the idle helpers, and whether the solve is being abandoned.
struct Pool {
    std::mutex mutex;
    std::condition_variable changed;  // a split point opened, a worker left, the solve ended
    std::vector<SplitPoint*> open;
    std::atomic<int> idle{0};
    std::atomic<bool> aborted{false};  // the stop hook fired: every thread unwinds
    bool done = false;                 // the solve is over: helpers exit
    int split_min_empties = SPLIT_MIN_EMPTIES;
    int64_t idle_ns = 0;               // time threads spent waiting for work

    // Waits on `changed` (until `until` when given), counting the time as idle.
    template <class Wait>
    void idle_wait(Wait&& wait) {
        const auto began = std::chrono::steady_clock::now();
        ++idle;
        wait();
        --idle;
        idle_ns += std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - began).count();
    }

    // The first open split point that `within` holds (any, when null);
    // none once the solve is being abandoned.
    SplitPoint* work_for(const SplitPoint* within) {
        if (aborted.load(std::memory_order_relaxed)) return nullptr;
        for (SplitPoint* sp : open)
            if (sp->open() && (!within || within->holds(sp))) return sp;
        return nullptr;
    }
};

inline void Context::poll() {
    if (!pool) {
        next_stop_check = nodes + STOP_INTERVAL;
        if (*stop && (*stop)()) throw SearchAborted();
        return;
    }
    next_stop_check = nodes + SPLIT_POLL_INTERVAL;
    if (pool->aborted.load(std::memory_order_relaxed)) throw SearchAborted();
    for (const SplitPoint* sp = active; sp; sp = sp->parent)
        if (sp->stop.load(std::memory_order_relaxed)) throw SplitCut();
    bool stop_now;
    try {
        stop_now = *stop && (*stop)();
    } catch (...) {
        pool->aborted.store(true);  // a hook that throws stops every thread too
        throw;
    }
    if (stop_now) {
        pool->aborted.store(true);
        throw SearchAborted();
    }
}

// Searches the moves of `sp` from its owner's thread; returns the node's
// fail-soft value (defined with the kernels below).
int split_search(Context& c, SplitPoint& sp);

// The rest of a node's moves, after its first did not cut: shared with the
// other threads when the node has enough empties and a thread is idle, in
// which case `best` and `best_move` become the node's and the result is
// true; false leaves them to the caller. Kept out of line: inside the
// search's node code, which it would bloat, it cost one thread 6% of its
// speed.
__attribute__((noinline)) inline bool share_moves(Context& c, OrderedMove* moves, int count, int alpha, int empties,
                                                  bool wide, int& best, int& best_move) {
    if (empties < c.pool->split_min_empties || c.pool->idle.load(std::memory_order_relaxed) == 0) return false;
    for (int k = 0; k < count; ++k) next_move(moves, k, count);  // the order the node would try them in
    SplitPoint sp(c.active, moves, count, alpha, empties, c.level, wide, best, best_move);
    best = split_search(c, sp);
    best_move = sp.best_move;
    return true;
}

// A rough static value for move ordering far from the end, the side to
// move's view: mobility (corner moves counting double), potential mobility
// (empty squares next to the other side's discs), corners held, and discs on
// X-squares next to an empty corner.
template <class Isa>
FLIPCORE_INLINE int rough_value(Bitboard own, Bitboard opp) {
    const MovePair m = legal_moves_both<Isa>(own, opp);
    const Bitboard empty = ~(own | opp);
    const Bitboard risky = x_squares_of(empty & CORNERS);
    return (popcount_in<Isa>(m.black) - popcount_in<Isa>(m.white)) * 8 +
           (popcount_in<Isa>(m.black & CORNERS) - popcount_in<Isa>(m.white & CORNERS)) * 8 +
           (popcount_in<Isa>(neighbourhood(opp) & empty) - popcount_in<Isa>(neighbourhood(own) & empty)) * 2 +
           (popcount_in<Isa>(own & CORNERS) - popcount_in<Isa>(opp & CORNERS)) * 32 +
           (popcount_in<Isa>(opp & risky) - popcount_in<Isa>(own & risky)) * 16;
}

int rough_baseline(Bitboard own, Bitboard opp, int depth, int alpha, int beta);
FLIPCORE_AVX2_TARGET int rough_avx2(Bitboard own, Bitboard opp, int depth, int alpha, int beta);
template <class Isa>
FLIPCORE_INLINE int rough_search(Bitboard own, Bitboard opp, int depth, int alpha, int beta) {
    if constexpr (Isa::wide) return rough_avx2(own, opp, depth, alpha, beta);
    else return rough_baseline(own, opp, depth, alpha, beta);
}

// A depth-limited negamax on rough_value, for ordering moves near the root.
// Its value does not depend on the order of the moves, but the cutoffs do:
// with ROUGH_ORDER_MIN_DEPTH or more plies to go, the moves are tried
// fastest-first, which pays for itself; nearer the leaves, in square order.
template <class Isa>
FLIPCORE_INLINE int rough_node(Bitboard own, Bitboard opp, int depth, int alpha, int beta) {
    if (depth == 0) return rough_value<Isa>(own, opp);
    Bitboard moves = legal_moves_in<Isa>(own, opp);
    if (!moves) {
        if (!legal_moves_in<Isa>(opp, own)) return final_score<Isa>(own, opp) * 64;
        return -rough_search<Isa>(opp, own, depth - 1, -beta, -alpha);
    }
    int best = -ROUGH_INF;
    // Searches a child, raising best and alpha; true on a cutoff.
    const auto cuts = [&](Bitboard child_own, Bitboard child_opp) {
        const int v = -rough_search<Isa>(child_own, child_opp, depth - 1, -beta, -alpha);
        best = std::max(best, v);
        alpha = std::max(alpha, v);
        return v >= beta;
    };
    if (depth < ROUGH_ORDER_MIN_DEPTH) {
        while (moves) {
            const int x = pop_lowest(moves);
            const Bitboard f = flips_in<Isa>(own, opp, x);
            if (cuts(opp ^ f, own | f | square_bit(x))) break;
        }
        return best;
    }
    OrderedMove list[MAX_MOVES];
    int count = 0;
    while (moves) {
        OrderedMove& m = push_move<Isa>(list, count, own, opp, pop_lowest(moves));
        m.key = fastest_first_key<Isa>(m.child_own, m.child_opp);
    }
    for (int i = 0; i < count; ++i) {
        const OrderedMove& m = next_move(list, i, count);
        if (cuts(m.child_own, m.child_opp)) break;
    }
    return best;
}

inline int rough_baseline(Bitboard own, Bitboard opp, int depth, int alpha, int beta) {
    return rough_node<Baseline>(own, opp, depth, alpha, beta);
}
FLIPCORE_AVX2_TARGET inline int rough_avx2(Bitboard own, Bitboard opp, int depth, int alpha, int beta) {
    return rough_node<Avx2>(own, opp, depth, alpha, beta);
}

// A depth-limited negamax on the learned evaluation, the side to move's
// view in its units, for ordering moves like rough_node: `idx` holds the
// pattern indices of (own, opp), `mover` which of their views is own's.
// The indices are updated move by move, so a leaf costs one table read per
// pattern instance.
int eval_baseline(const EvalWeights& w, Bitboard own, Bitboard opp, const PatternIndices& idx, int mover, int depth,
                  int alpha, int beta);
FLIPCORE_AVX2_TARGET int eval_avx2(const EvalWeights& w, Bitboard own, Bitboard opp, const PatternIndices& idx,
                                   int mover, int depth, int alpha, int beta);
template <class Isa>
FLIPCORE_INLINE int eval_search(const EvalWeights& w, Bitboard own, Bitboard opp, const PatternIndices& idx, int mover,
                                int depth, int alpha, int beta) {
    if constexpr (Isa::wide) return eval_avx2(w, own, opp, idx, mover, depth, alpha, beta);
    else return eval_baseline(w, own, opp, idx, mover, depth, alpha, beta);
}

template <class Isa>
FLIPCORE_INLINE int eval_node(const EvalWeights& w, Bitboard own, Bitboard opp, const PatternIndices& idx, int mover,
                              int depth, int alpha, int beta) {
    const MovePair m = legal_moves_both<Isa>(own, opp);
    if (!m.black && !m.white) return final_score<Isa>(own, opp) * w.scale();
    const int empties = popcount_in<Isa>(~(own | opp));
    if (depth == 0)
        return w.evaluate(idx, mover, empties, popcount_in<Isa>(m.black) - popcount_in<Isa>(m.white));
    if (!m.black) return -eval_search<Isa>(w, opp, own, idx, 3 - mover, depth - 1, -beta, -alpha);
    // The sorting searches on the evaluation go one or two plies deep, too
    // shallow for ordering to pay (ROUGH_ORDER_MIN_DEPTH): square order.
    int best = -ROUGH_INF;
    for (Bitboard b = m.black; b;) {
        const int x = pop_lowest(b);
        const Bitboard f = flips_in<Isa>(own, opp, x);
        PatternIndices child = idx;
        child.play(mover, x, f);
        const int v = -eval_search<Isa>(w, opp ^ f, own | f | square_bit(x), child, 3 - mover, depth - 1, -beta, -alpha);
        best = std::max(best, v);
        alpha = std::max(alpha, v);
        if (v >= beta) break;
    }
    return best;
}

inline int eval_baseline(const EvalWeights& w, Bitboard own, Bitboard opp, const PatternIndices& idx, int mover,
                         int depth, int alpha, int beta) {
    return eval_node<Baseline>(w, own, opp, idx, mover, depth, alpha, beta);
}
FLIPCORE_AVX2_TARGET inline int eval_avx2(const EvalWeights& w, Bitboard own, Bitboard opp, const PatternIndices& idx,
                                          int mover, int depth, int alpha, int beta) {
    return eval_node<Avx2>(w, own, opp, idx, mover, depth, alpha, beta);
}

// The order key of a move to (child_own, child_opp) by a search of `depth`
// plies: on the evaluation where there is one (`idx`, `mover`: the parent's
// indices and its side), else on rough_value. On the evaluation, the
// fastest-first key is added, a reply fewer for the opponent counting as
// two discs of value after a search, and as 3.2 beside the static value
// (the key counts 16 a reply): a null-window search refutes quickest where
// the opponent has least to try, and that settles most nodes.
template <class Isa>
FLIPCORE_INLINE int searched_key(const EvalWeights* w, const PatternIndices& idx, int mover, Bitboard opp, int square,
                                 Bitboard child_own, Bitboard child_opp, int depth) {
    if (!w) return -rough_search<Isa>(child_own, child_opp, depth, -ROUGH_INF, ROUGH_INF);
    PatternIndices child = idx;
    child.play(mover, square, child_own ^ opp);
    return -eval_search<Isa>(*w, child_own, child_opp, child, 3 - mover, depth, -ROUGH_INF, ROUGH_INF) +
           fastest_first_key<Isa>(child_own, child_opp) * w->scale() / (depth == 0 ? 5 : 8);
}

// The moves of `moves` with their children and order keys; the table's move
// goes first, then fastest-first with parity, corners and X-squares as
// smaller terms. Given a table, each child's bucket is fetched as soon as
// the child is known, so that the memory reads overlap the keys' work
// instead of stalling the first child's probe.
template <class Isa>
FLIPCORE_INLINE int build_moves(Bitboard own, Bitboard opp, Bitboard moves, int table_move, OrderedMove* list,
                                const SolveTable* prefetch = nullptr) {
    int count = 0;
    const Bitboard odd = odd_quadrants<Isa>(~(own | opp));
    const Bitboard risky = x_squares_of(~(own | opp) & CORNERS);
    while (moves) {
        const int x = pop_lowest(moves);
        OrderedMove& m = push_move<Isa>(list, count, own, opp, x);
        if (prefetch) prefetch->prefetch(m.child_own, m.child_opp);
        m.child_moves = legal_moves_in<Isa>(m.child_own, m.child_opp);
        m.key = x == table_move ? 1 << 30 : fastest_first_key<Isa>(m.child_own, m.child_opp, m.child_moves);
        if (square_bit(x) & odd) m.key += PARITY_BONUS;
        if (square_bit(x) & CORNERS) m.key += CORNER_MOVE_BONUS;
        if (square_bit(x) & risky) m.key -= RISKY_X_PENALTY;
    }
    return count;
}

// The same with keys from a search of each child to the given depth, on
// the evaluation `w` when given; `given`, if not null, holds the position's
// pattern indices (side 1 to move), which are otherwise computed here.
template <class Isa>
FLIPCORE_INLINE int build_moves_searched(Bitboard own, Bitboard opp, Bitboard moves, int table_move, OrderedMove* list,
                                         int depth, const EvalWeights* w, const PatternIndices* given = nullptr) {
    int count = 0;
    PatternIndices computed{};
    if (w && !given) computed = PatternIndices::from_board(own, opp);
    const PatternIndices& idx = given ? *given : computed;
    while (moves) {
        const int x = pop_lowest(moves);
        OrderedMove& m = push_move<Isa>(list, count, own, opp, x);
        m.key = x == table_move ? 1 << 30 : searched_key<Isa>(w, idx, 1, opp, x, m.child_own, m.child_opp, depth);
    }
    return count;
}

// The stability cutoff: the side to move can end with at most 64 - 2s, s
// being the other side's stable discs. Returns that bound when it settles a
// null window around alpha, else INF_SCORE. Counting the other side's discs
// first skips the work where even all of them stable could not cut.
template <class Isa>
FLIPCORE_INLINE int stability_cut(Bitboard own, Bitboard opp, int alpha) {
    if (alpha < SOLVE_SCORE_MAX - 2 * popcount_in<Isa>(opp)) return INF_SCORE;
    const int bound = SOLVE_SCORE_MAX - 2 * popcount_in<Isa>(stable_discs(opp, own | opp));
    return bound <= alpha ? bound : INF_SCORE;
}

// A selective search's cut-off (probabilistic): where a shallow search on the
// evaluation lies beyond the null window around alpha by the level's margin,
// the node is taken to fail the same way without a search: alpha + 1 (score
// above alpha) or alpha (at most alpha); otherwise INF_SCORE. One search with
// the window between the two margins answers both questions.
template <class Isa>
FLIPCORE_INLINE int selective_cut(const Context& c, Bitboard own, Bitboard opp, int alpha, int empties,
                                  const PatternIndices& idx) {
    const EvalWeights& w = *c.weights;
    const int margin = solve_probcut_margin(c.level, empties, w.scale());
    const int high = (alpha + 1) * w.scale() + margin, low = alpha * w.scale() - margin;
    const int v = eval_search<Isa>(w, own, opp, idx, 1, solve_probcut_depth(empties), low, high);
    return v >= high ? alpha + 1 : v <= low ? alpha : INF_SCORE;
}

// Whether a node with `empties` empty squares makes a selective cut-off
// (in a selective search), and whether it asks the evaluation at all: for
// that, or to sort its moves.
FLIPCORE_INLINE bool cuts_selectively(const Context& c, int empties) {
    return c.level != EXACT_LEVEL && empties >= SOLVE_PROBCUT_MIN_EMPTIES;
}
FLIPCORE_INLINE bool asks_evaluation(const Context& c, int empties) {
    return c.weights && (empties >= sort_search_min_empties(true) || cuts_selectively(c, empties));
}

// More than 4 and at most SHALLOW_EMPTIES empties: no table, no move list; the stability
// cutoff, then the legal moves in parity order. `given_moves`: as for mid_node.
template <class Isa>
FLIPCORE_INLINE int shallow_node(Context& c, Bitboard own, Bitboard opp, int alpha, int empties, Bitboard given_moves) {
    c.count_and_poll();
    if (const int bound = stability_cut<Isa>(own, opp, alpha); bound != INF_SCORE) return bound;
    const Bitboard empty = ~(own | opp);
    const Bitboard odd = odd_quadrants<Isa>(empty);
    const Bitboard moves = given_moves != UNKNOWN_MOVES ? given_moves : legal_moves_in<Isa>(own, opp);
    if (!moves) {
        if (!legal_moves_in<Isa>(opp, own)) return final_score<Isa>(own, opp);
        return -shallow_call<Isa>(c, opp, own, -alpha - 1, empties);
    }
    int best = -INF_SCORE;
    for (Bitboard group : {moves & odd, moves & ~odd}) {
        while (group) {
            const int x = pop_lowest(group);
            const Bitboard f = flips_in<Isa>(own, opp, x);
            const Bitboard child_own = opp ^ f, child_opp = own | f | square_bit(x);
            const int v = empties - 1 > 4 ? -shallow_call<Isa>(c, child_own, child_opp, -alpha - 1, empties - 1)
                                          : -last4_call<Isa>(c, child_own, child_opp, -alpha - 1);
            if (v > best) {
                best = v;
                if (v > alpha) return v;
            }
        }
    }
    return best;
}

// More than SHALLOW_EMPTIES empties: probes and stores the table, orders
// the moves. `given`, if not null, holds the position's pattern indices
// (side 1 to move), handed down by a parent that had them; `given_moves`
// the legal moves of the side to move, or UNKNOWN_MOVES.
template <class Isa>
FLIPCORE_INLINE int mid_node(Context& c, Bitboard own, Bitboard opp, int alpha, int empties,
                             const PatternIndices* given, Bitboard given_moves) {
    c.count_and_poll();
    int table_move = NO_SOLVE_MOVE;
    SolveEntry copy;
    if (const SolveEntry* e = c.table->lookup(own, opp, copy)) {
        if (e->level <= c.level) {
            if (e->lower > alpha) return e->lower;
            if (e->upper <= alpha) return e->upper;
        }
        table_move = e->move;
    }
    if (const int bound = stability_cut<Isa>(own, opp, alpha); bound != INF_SCORE) return bound;
    const bool sorting = empties >= sort_search_min_empties(c.weights != nullptr);
    const bool selective = cuts_selectively(c, empties);
    // The pattern indices, where the evaluation is asked: computed from the
    // board (about 0.4 microseconds) only where no parent handed them down.
    PatternIndices computed;
    const PatternIndices* idx = given;
    if (!idx && asks_evaluation(c, empties)) {
        computed = PatternIndices::from_board(own, opp);
        idx = &computed;
    }
    if (selective)
        if (const int cut = selective_cut<Isa>(c, own, opp, alpha, empties, *idx); cut != INF_SCORE) return cut;
    // A child that asks the evaluation too gets its indices from this
    // node's, with the move played. The child reads them all through its
    // search; this node writes the next child's only after it returns.
    const bool child_evaluates = asks_evaluation(c, empties - 1);
    PatternIndices child_idx;
    auto indices_after = [&](int x, Bitboard child_own) -> const PatternIndices* {
        if (!child_evaluates) return nullptr;
        child_idx = idx->after_move(x, child_own ^ opp);
        return &child_idx;
    };
    Bitboard moves = given_moves != UNKNOWN_MOVES ? given_moves : legal_moves_in<Isa>(own, opp);
    if (!moves) {
        if (!legal_moves_in<Isa>(opp, own)) return final_score<Isa>(own, opp);
        return -mid_call<Isa>(c, opp, own, -alpha - 1, empties);
    }

    int best = -INF_SCORE, best_move = NO_SOLVE_MOVE;
    bool searched_one = false;
    // The table's move first, before the others are generated and ordered:
    // where it still cuts, that work is saved.
    if (table_move != NO_SOLVE_MOVE && (moves & square_bit(table_move))) {
        const Bitboard f = flips_in<Isa>(own, opp, table_move);
        best = -child_call<Isa>(c, opp ^ f, own | f | square_bit(table_move), -alpha - 1, empties - 1,
                                indices_after(table_move, opp ^ f));
        best_move = table_move;
        searched_one = true;
        if (best > alpha) {
            c.table->store(own, opp, empties, best, SOLVE_SCORE_MAX, best_move, c.level);
            return best;
        }
        moves &= ~square_bit(table_move);
        if (!moves) {
            c.table->store(own, opp, empties, -SOLVE_SCORE_MAX, best, best_move, c.level);
            return best;
        }
    }

    OrderedMove list[MAX_MOVES];
    const int count = sorting ? build_moves_searched<Isa>(own, opp, moves, table_move, list,
                                                          sort_search_depth(empties, c.weights != nullptr), c.weights,
                                                          idx)
                              : build_moves<Isa>(own, opp, moves, table_move, list,
                                                 empties - 1 > SHALLOW_EMPTIES ? c.table : nullptr);
    if (sorting)
        for (int i = 0; i < count; ++i) c.table->prefetch(list[i].child_own, list[i].child_opp);
    // Enhanced transposition cutoff: a child already proven bad enough for
    // the other side settles this node without searching anything.
    // A child whose table entry already shows the move cannot beat alpha
    // needs no search: its bound joins the node's.
    int count_left = count;
    if (empties >= ETC_MIN_EMPTIES) {
        for (int i = 0; i < count_left;) {
            const SolveEntry* e = c.table->lookup(list[i].child_own, list[i].child_opp, copy);
            if (e && e->level > c.level) e = nullptr;
            if (e && -e->upper > alpha) {
                // Read before the store, which may reuse the child's slot.
                const int value = -e->upper;
                c.table->store(own, opp, empties, value, SOLVE_SCORE_MAX, list[i].square, c.level);
                return value;
            }
            if (e && -e->lower <= alpha) {
                if (-e->lower > best) {
                    best = -e->lower;
                    best_move = list[i].square;
                }
                list[i] = list[--count_left];
            } else {
                ++i;
            }
        }
    }
    for (int i = 0; i < count_left; ++i) {
        if (c.pool && searched_one && count_left - i >= 2 &&
            share_moves(c, list + i, count_left - i, alpha, empties, Isa::wide, best, best_move))
            break;
        const OrderedMove& m = next_move(list, i, count_left);
        const int v = -child_call<Isa>(c, m.child_own, m.child_opp, -alpha - 1, empties - 1,
                                       indices_after(m.square, m.child_own), m.child_moves);
        searched_one = true;
        if (v > best) {
            best = v;
            best_move = m.square;
            if (v > alpha) break;
        }
    }
    if (best > alpha) c.table->store(own, opp, empties, best, SOLVE_SCORE_MAX, best_move, c.level);
    else c.table->store(own, opp, empties, -SOLVE_SCORE_MAX, best, best_move, c.level);
    return best;
}

inline int mid_baseline(Context& c, Bitboard own, Bitboard opp, int alpha, int empties, const PatternIndices* idx,
                        Bitboard moves) {
    return mid_node<Baseline>(c, own, opp, alpha, empties, idx, moves);
}
FLIPCORE_AVX2_TARGET inline int mid_avx2(Context& c, Bitboard own, Bitboard opp, int alpha, int empties,
                                         const PatternIndices* idx, Bitboard moves) {
    return mid_node<Avx2>(c, own, opp, alpha, empties, idx, moves);
}
inline int shallow_baseline(Context& c, Bitboard own, Bitboard opp, int alpha, int empties, Bitboard moves) {
    return shallow_node<Baseline>(c, own, opp, alpha, empties, moves);
}
FLIPCORE_AVX2_TARGET inline int shallow_avx2(Context& c, Bitboard own, Bitboard opp, int alpha, int empties,
                                             Bitboard moves) {
    return shallow_node<Avx2>(c, own, opp, alpha, empties, moves);
}
inline int last4_baseline(Context& c, Bitboard own, Bitboard opp, int alpha) {
    return last4_node<Baseline>(c, own, opp, alpha);
}
FLIPCORE_AVX2_TARGET inline int last4_avx2(Context& c, Bitboard own, Bitboard opp, int alpha) {
    return last4_node<Avx2>(c, own, opp, alpha);
}

// A child of a split point, by the kernel set it was split with.
inline int split_child_baseline(Context& c, const OrderedMove& m, int alpha, int empties) {
    return -child_call<Baseline>(c, m.child_own, m.child_opp, -alpha - 1, empties - 1);
}
FLIPCORE_AVX2_TARGET inline int split_child_avx2(Context& c, const OrderedMove& m, int alpha, int empties) {
    return -child_call<Avx2>(c, m.child_own, m.child_opp, -alpha - 1, empties - 1);
}

// Takes moves of `sp` one at a time until none is left or it stops, and
// records each value; a value above alpha stops the split point. With
// `lock` held on entry and on return.
inline void work_at(Context& c, SplitPoint& sp, std::unique_lock<std::mutex>& lock) {
    SplitPoint* const outer = c.active;
    const int outer_level = c.level;
    c.active = &sp;
    c.level = sp.level;
    try {
        while (sp.open()) {
            const OrderedMove& m = sp.moves[sp.next++];
            lock.unlock();
            const int v = sp.wide ? split_child_avx2(c, m, sp.alpha, sp.empties)
                                  : split_child_baseline(c, m, sp.alpha, sp.empties);
            lock.lock();
            if (v > sp.best) {
                sp.best = v;
                sp.best_move = m.square;
                if (v > sp.alpha) sp.stop.store(true);
            }
        }
    } catch (...) {
        c.active = outer;
        c.level = outer_level;
        if (!lock.owns_lock()) lock.lock();
        throw;
    }
    c.active = outer;
    c.level = outer_level;
}

// A helper's turn at a split point it joined (workers already counted):
// its work there ends when the moves run out, or quietly when the split
// point, one above it, or the whole solve stops. Any other exception (from
// the calling thread's stop hook) stops the solve and is passed on once
// this thread has left the split point.
inline void help_at(Context& c, SplitPoint& sp, std::unique_lock<std::mutex>& lock) {
    std::exception_ptr failure;
    try {
        work_at(c, sp, lock);
    } catch (const SplitCut&) {
    } catch (const SearchAborted&) {
    } catch (...) {
        failure = std::current_exception();
        c.pool->aborted.store(true);
    }
    --sp.workers;
    c.pool->changed.notify_all();
    if (failure) std::rethrow_exception(failure);
}

inline int split_search(Context& c, SplitPoint& sp) {
    Pool& pool = *c.pool;
    std::unique_lock<std::mutex> lock(pool.mutex);
    pool.open.push_back(&sp);
    pool.changed.notify_all();
    std::exception_ptr failure;
    try {
        work_at(c, sp, lock);
    } catch (const SplitCut&) {
        // This split point or one above stopped: settled below.
    } catch (...) {
        failure = std::current_exception();
        sp.stop.store(true);
    }
    pool.open.erase(std::find(pool.open.begin(), pool.open.end(), &sp));
    // Until the helpers are done, help them where they have split in turn.
    while (sp.workers > 0) {
        if (SplitPoint* below = sp.stop.load() ? nullptr : pool.work_for(&sp)) {
            ++below->workers;
            try {
                help_at(c, *below, lock);
            } catch (...) {
                failure = std::current_exception();
                sp.stop.store(true);
            }
            continue;
        }
        // Waiting counts as idle: a helper below may then split for it.
        pool.idle_wait([&] { pool.changed.wait_for(lock, SPLIT_WAIT); });
        if (!failure && *c.stop && !pool.aborted.load()) {
            // The stop hook runs without the pool's lock (it may block); a
            // hook that throws stops the solve with its exception, once the
            // helpers have left.
            lock.unlock();
            bool stop = false;
            try {
                stop = (*c.stop)();
                if (stop) failure = std::make_exception_ptr(SearchAborted());
            } catch (...) {
                stop = true;
                failure = std::current_exception();
            }
            lock.lock();
            if (stop) {
                pool.aborted.store(true);
                sp.stop.store(true);
            }
        }
    }
    lock.unlock();
    if (failure) std::rethrow_exception(failure);
    if (pool.aborted.load()) throw SearchAborted();
    for (const SplitPoint* above = sp.parent; above; above = above->parent)
        if (above->stop.load()) throw SplitCut();
    return sp.best;
}

// A helper thread of a parallel solve: waits for a split point with moves
// to hand out and works there, until the solve is over.
inline void helper_loop(Pool& pool, SolveTable& table, std::atomic<uint64_t>& nodes, const EvalWeights* weights) {
    static const std::function<bool()> no_stop;
    Context c{&table, &no_stop, weights};
    c.pool = &pool;
    c.next_stop_check = SPLIT_POLL_INTERVAL;
    std::unique_lock<std::mutex> lock(pool.mutex);
    for (;;) {
        SplitPoint* sp = nullptr;
        pool.idle_wait([&] { pool.changed.wait(lock, [&] { return pool.done || (sp = pool.work_for(nullptr)); }); });
        if (pool.done) break;
        ++sp->workers;
        help_at(c, *sp, lock);
    }
    nodes += c.nodes;
}

// Any position, whatever its number of empties: a null-window search around
// alpha, fail-soft (the result r means score <= r when r <= alpha, score >= r
// when r > alpha).
template <class Isa>
FLIPCORE_INLINE int any_node(Context& c, Bitboard own, Bitboard opp, int alpha) {
    const Bitboard empty = ~(own | opp);
    const int empties = popcount_in<Isa>(empty);
    if (empties > 4) return child_call<Isa>(c, own, opp, alpha, empties);
    int squares[4];
    int n = 0;
    for (Bitboard b = empty; b;) squares[n++] = pop_lowest(b);
    switch (n) {
        case 0: ++c.nodes; return final_score<Isa>(own, opp);
        case 1: return solve_1<Isa>(c, own, opp, squares[0]);
        case 2: return solve_n<2, Isa>(c, own, opp, alpha, squares);
        case 3: return solve_n<3, Isa>(c, own, opp, alpha, squares);
        default: return last4_call<Isa>(c, own, opp, alpha);
    }
}

inline int any_baseline(Context& c, Bitboard own, Bitboard opp, int alpha) {
    return any_node<Baseline>(c, own, opp, alpha);
}
FLIPCORE_AVX2_TARGET inline int any_avx2(Context& c, Bitboard own, Bitboard opp, int alpha) {
    return any_node<Avx2>(c, own, opp, alpha);
}

// Whether this processor runs the Avx2 kernels: asked once (thread-safe
// initialisation of a local static), then only read.
inline bool processor_has_avx2() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
               __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("fma");
    }();
    return has;
}

}  // namespace solve_detail

class Solver {
  public:
    explicit Solver(size_t table_bytes = DEFAULT_SOLVE_TABLE_BYTES) : table_(table_bytes) {}

    void resize_table(size_t bytes) { table_.resize(bytes); }
    size_t table_bytes() const { return table_.bytes(); }
    void clear_table() { table_.clear(); }

    std::function<bool()> stop;
    std::function<void(int lower, int upper)> progress;
    // Threads to search with (at least 1; 1 searches in the calling thread
    // alone). The helpers start with each solve that has at least
    // split_min_empties empties and end with it; the stop hook and progress
    // are called from the calling thread only.
    int threads = 1;
    int split_min_empties = solve_detail::SPLIT_MIN_EMPTIES;
    // The learned evaluation, for the shallow searches that order the moves
    // of nodes with many empties; none: a rough value of mobility and
    // corners. Either gives the same answers; they differ in speed. Must
    // outlive the solves that use it.
    const EvalWeights* weights = nullptr;
    // Selective searches before the exact one, given the weights, in solves
    // with at least selective_min_empties empties: one per level from
    // selective_loosest down to selective_surest (1 to
    // SOLVE_SELECTIVE_LEVELS; 0 runs none), each starting from the value of
    // the one before. They leave good moves in the table for the exact
    // search to try first, and its first guess; they cannot change its
    // answers, whose bounds come from its own cut-offs alone.
    int selective_min_empties = 20;
    int selective_loosest = 4;
    int selective_surest = 2;
    // Whether to run the Avx2 kernels (the processor must have them); tests
    // switch it off to hold both kernel sets to the same answers.
    bool use_avx2 = solve_detail::processor_has_avx2();

    // guess: an estimate of the score, the side to move's view (for
    // instance a midgame search's value). The root's first null-window test
    // is at it, rounded down to an even number, instead of at 0: each test
    // the root climbs through on its way from 0 costs a search. Any guess
    // gives the same answer; a wrong one costs a few more tests. Ignored in
    // wld mode, whose tests are at 0 and +-2 anyway.
    SolveOutcome solve(Bitboard own, Bitboard opp, SolveMode mode, int guess = 0) {
        if (own & opp) throw std::invalid_argument("a square holds discs of both sides");
        if (threads < 1) throw std::invalid_argument("threads must be at least 1");
        if (split_min_empties <= solve_detail::SHALLOW_EMPTIES)
            throw std::invalid_argument("split_min_empties must exceed SHALLOW_EMPTIES (nodes below have no move list)");
        if (selective_loosest > SOLVE_SELECTIVE_LEVELS || (selective_loosest > 0 && selective_surest < 1))
            throw std::invalid_argument("selective levels run from 1 to SOLVE_SELECTIVE_LEVELS");
        table_.next_age();
        solve_detail::Context c{&table_, &stop, weights};
        SolveOutcome out{0, {}, {}, {}, 0};
        const bool passed = !legal_moves(own, opp);
        if (passed && !legal_moves(opp, own)) {
            // Finished game: its score, nothing to play.
            const int s = popcount(own) - popcount(opp);
            const int empties = 64 - popcount(own | opp);
            out.score = s > 0 ? s + empties : s < 0 ? s - empties : 0;
            if (mode == SolveMode::wld) out.score = out.score > 0 ? 1 : out.score < 0 ? -1 : 0;
            report(out.score, out.score);
            out.nodes = 1;
            return out;
        }
        // The side to move must pass: solve from the other side's view.
        const Bitboard mover = passed ? opp : own, other = passed ? own : opp;
        const int sign = passed ? -1 : 1;
        if (passed) out.line.push_back(PASS_SQUARE);
        const int root_empties = 64 - popcount(own | opp);
        Helpers helpers(*this, c, root_empties >= split_min_empties ? threads - 1 : 0);

        // Every mode asks the same per-move root; every_move then scores the
        // moves that are not best from the bounds it proved for them.
        const bool wld = mode == SolveMode::wld;
        int root_guess = wld ? 0 : sign * guess;
        int first_move = NO_SOLVE_MOVE;
        if (weights && !wld && root_empties >= selective_min_empties && selective_loosest > 0) {
            for (c.level = selective_loosest; c.level >= selective_surest; --c.level)
                root_guess = mtd_score(c, mover, other, -SOLVE_SCORE_MAX, SOLVE_SCORE_MAX, root_guess);
            c.level = EXACT_LEVEL;
            SolveEntry e;
            if (table_.read(mover, other, e)) first_move = e.move;
        }
        std::vector<RootMove> moves;
        std::vector<int> best;
        const int score = root_exact(c, mover, other, best, moves, wld, sign, root_guess, first_move);
        out.score = sign * score;
        if (!passed) out.best = best;
        if (!wld) extend_line(c, mover, other, score, best, out.line);
        if (mode == SolveMode::every_move && !passed) {
            std::sort(moves.begin(), moves.end(),
                      [](const RootMove& a, const RootMove& b) { return a.square < b.square; });
            for (const RootMove& m : moves) {
                const int v = m.lower >= score ? score : -mtd_score(c, m.child_own, m.child_opp, -m.upper, -m.lower, -m.upper + 2);
                out.move_scores.emplace_back(m.square, v);
            }
        }
        out.helper_nodes = helpers.finish();
        out.idle_seconds = helpers.idle_seconds();
        out.nodes = c.nodes + out.helper_nodes;
        return out;
    }

  private:
    // The helper threads of one solve, and the pool they share with the
    // calling thread's context; none when `count` is 0. Stopped and joined
    // when the solve ends, also by an exception.
    class Helpers {
      public:
        Helpers(Solver& solver, solve_detail::Context& c, int count) : table_(solver.table_) {
            if (count <= 0) return;
            pool_.split_min_empties = solver.split_min_empties;
            table_.set_shared(true);
            c.pool = &pool_;
            for (int i = 0; i < count; ++i) {
                try {
                    threads_.emplace_back(solve_detail::helper_loop, std::ref(pool_), std::ref(table_),
                                          std::ref(nodes_), solver.weights);
                } catch (const std::system_error&) {
                    break;  // no more threads to be had: search with those there are
                }
            }
        }
        ~Helpers() { finish(); }
        Helpers(const Helpers&) = delete;
        Helpers& operator=(const Helpers&) = delete;

        // Ends the helpers; the nodes they visited.
        uint64_t finish() {
            if (!threads_.empty()) {
                {
                    const std::lock_guard<std::mutex> lock(pool_.mutex);
                    pool_.done = true;
                }
                pool_.changed.notify_all();
                for (std::thread& t : threads_) t.join();
                threads_.clear();
            }
            table_.set_shared(false);
            return nodes_.load();
        }
        // Once finished: the time the threads spent waiting for work.
        double idle_seconds() const { return static_cast<double>(pool_.idle_ns) * 1e-9; }

      private:
        SolveTable& table_;
        solve_detail::Pool pool_;
        std::atomic<uint64_t> nodes_{0};
        std::vector<std::thread> threads_;
    };

    void report(int lower, int upper) {
        if (progress) progress(lower, upper);
    }

    // Null-window search of (own, opp) around alpha, in the chosen kernel set.
    int probe(solve_detail::Context& c, Bitboard own, Bitboard opp, int alpha) {
        return use_avx2 ? solve_detail::any_avx2(c, own, opp, alpha) : solve_detail::any_baseline(c, own, opp, alpha);
    }

    // The exact score of a position known to lie in [lower, upper], by
    // null-window searches that narrow it, the first just above `lower`. Scores of finished games are even (the winner gets the
    // empties), so each test is "score >= beta" for an even beta. Proving an
    // upper bound (a test that fails low) refutes every move and costs far
    // more than proving a lower bound, so tests climb from a lower bound by
    // the smallest step, and fall from an upper bound by a step that doubles
    // while they keep failing low: few expensive tests either way. The first
    // test is at `guess` (lower + 2 to start just above `lower`).
    int mtd_score(solve_detail::Context& c, Bitboard own, Bitboard opp, int lower, int upper, int guess) {
        using solve_detail::even_at_least, solve_detail::even_at_most;
        int beta = even_at_most(std::clamp(guess, lower, upper)), step = 2;
        bool failed_low = false;
        while (lower < upper) {
            beta = std::max(std::min(beta, upper), lower + 2);
            const int v = probe(c, own, opp, beta - 1);
            // A selective search's odd bound is rounded to the even score it
            // implies, without which the bounds could stop one apart.
            if (v >= beta) {
                lower = even_at_least(v);
                beta = lower + 2;
                failed_low = false;
            } else {
                step = failed_low ? step * 2 : 2;
                failed_low = true;
                upper = even_at_most(v);
                beta = upper - step + 2;
            }
        }
        return lower;
    }

    // A move at the root: its child and the bounds proven on its own score.
    struct RootMove {
        int square;
        Bitboard child_own, child_opp;
        int lower, upper;
        int key;  // order of trial
    };

    // Tests whether `m` scores at least t, narrowing its bounds either way.
    bool move_reaches(solve_detail::Context& c, RootMove& m, int t) {
        const int r = probe(c, m.child_own, m.child_opp, -t);
        if (r <= -t) m.lower = std::max(m.lower, -r);
        else m.upper = std::min(m.upper, -r);
        return r <= -t;
    }

    // The exact score of a position with legal moves, and every move that
    // reaches it (ascending, into `best`). The same null-window tests as
    // mtd_score, asked of the root's moves one by one (most promising first,
    // stopping at the first that reaches the test's bound) so that each move
    // keeps its own proven bounds. When a test asks for lower + 2, a move not
    // yet known to reach `lower` is first tested against `lower` itself: most
    // moves fall short of it, and that one proof both rules them out of the
    // test and settles that they are not best moves, where a proof against
    // lower + 2 alone would leave that open for a second search.
    // `moves` receives every move with the bounds proven for it.
    // wld: only whether the score is a loss, a draw or a win (-1, 0, 1), and
    // the moves keeping that result (every move after a loss).
    // report_sign: -1 where the caller's side to move passed, so that
    // progress reports its view. guess: where the first test is (see solve).
    int root_exact(solve_detail::Context& c, Bitboard own, Bitboard opp, std::vector<int>& best,
                   std::vector<RootMove>& moves, bool wld, int report_sign, int guess, int first_move) {
        const int depth = solve_detail::root_sort_depth(64 - popcount(own | opp));
        for (Bitboard m = legal_moves(own, opp); m;) {
            const int x = pop_lowest(m);
            const Bitboard f = flips(own, opp, x);
            const Bitboard child_own = opp ^ f, child_opp = own | f | square_bit(x);
            const int key = x == first_move ? solve_detail::ROUGH_INF : -rough(child_own, child_opp, depth);
            moves.push_back({x, child_own, child_opp, -SOLVE_SCORE_MAX, SOLVE_SCORE_MAX, key});
        }
        // Most promising first: by the shallow search's value.
        std::stable_sort(moves.begin(), moves.end(),
                         [](const RootMove& a, const RootMove& b) { return a.key > b.key; });

        // In win/loss/draw mode scores are only told apart up to a loss by
        // 2, a draw and a win by 2: the bounds start there, not at +-64.
        const int floor = wld ? -2 : -SOLVE_SCORE_MAX, ceiling = wld ? 2 : SOLVE_SCORE_MAX;
        const auto clamp = [&](int v) { return std::max(floor, std::min(ceiling, v)); };
        int lower = floor, upper = ceiling;
        // Scores are even; an odd guess goes down to the even number below.
        int beta = solve_detail::even_at_most(std::clamp(guess, -SOLVE_SCORE_MAX, SOLVE_SCORE_MAX)), step = 2;
        bool failed_low = false;
        while (lower < upper) {
            beta = std::max(std::min(beta, upper), lower + 2);
            const bool settle_first = beta == lower + 2 && lower > floor;
            size_t reached = moves.size();
            for (size_t i = 0; i < moves.size() && reached == moves.size(); ++i) {
                RootMove& m = moves[i];
                if (m.upper < beta) continue;
                if (m.lower < beta && settle_first && m.lower < lower && !move_reaches(c, m, lower)) continue;
                if (m.lower >= beta || move_reaches(c, m, beta)) reached = i;
            }
            if (reached < moves.size()) {
                lower = clamp(solve_detail::even_at_least(moves[reached].lower));
                beta = lower + 2;
                failed_low = false;
                // The move that reached the bound is the first to try next time.
                std::rotate(moves.begin(), moves.begin() + static_cast<std::ptrdiff_t>(reached),
                            moves.begin() + static_cast<std::ptrdiff_t>(reached) + 1);
            } else {
                upper = floor;
                for (const RootMove& m : moves) upper = clamp(std::max(upper, m.upper));
                upper = solve_detail::even_at_most(upper);  // as in mtd_score: bounds one apart never settle
                step = failed_low ? step * 2 : 2;
                failed_low = true;
                beta = upper - step + 2;
            }
            const int shown_lower = wld ? lower / 2 : lower, shown_upper = wld ? upper / 2 : upper;
            if (report_sign > 0) report(shown_lower, shown_upper);
            else report(-shown_upper, -shown_lower);
        }
        if (wld && lower == floor) {
            // A loss: every move keeps it.
            for (const RootMove& m : moves) best.push_back(m.square);
        } else {
            // Moves still open (possible after tests that fell from above).
            for (RootMove& m : moves)
                if (m.lower < lower && m.upper >= lower) move_reaches(c, m, lower);
            for (const RootMove& m : moves)
                if (m.lower >= lower) best.push_back(m.square);
        }
        std::sort(best.begin(), best.end());
        return wld ? lower / 2 : lower;
    }

    // A shallow search's value of (own, opp) on the rough static value.
    int rough(Bitboard own, Bitboard opp, int depth) {
        using solve_detail::ROUGH_INF;
        return use_avx2 ? solve_detail::rough_avx2(own, opp, depth, -ROUGH_INF, ROUGH_INF)
                        : solve_detail::rough_baseline(own, opp, depth, -ROUGH_INF, ROUGH_INF);
    }

    // Appends a line of best play from (own, opp), whose exact score is
    // `score` and whose best moves are `best`, to the end of the game: at
    // each step the first move, in an order that depends on the position
    // alone, whose child is proven to score -score, so that the line is the
    // same for any number of threads.
    void extend_line(solve_detail::Context& c, Bitboard own, Bitboard opp, int score, const std::vector<int>& best,
                     std::vector<int>& line) {
        for (bool first = true;; first = false) {
            Bitboard moves = legal_moves(own, opp);
            if (!moves) {
                if (!legal_moves(opp, own)) return;
                line.push_back(PASS_SQUARE);
                std::swap(own, opp);
                score = -score;
                continue;
            }
            // The root's best moves are known already: the lowest of them.
            // Further on, the first move in the search's own static order
            // (without the table's move, which depends on the threads'
            // timing where the line must not) that reaches the score.
            int chosen = first && !best.empty() ? best.front() : -1;
            if (chosen < 0) {
                using namespace solve_detail;
                const int empties = 64 - popcount(own | opp);
                OrderedMove list[MAX_MOVES];
                const int count =
                    empties >= sort_search_min_empties(weights != nullptr)
                        ? build_moves_searched<Baseline>(own, opp, moves, NO_SOLVE_MOVE, list,
                                                         sort_search_depth(empties, weights != nullptr), weights)
                        : build_moves<Baseline>(own, opp, moves, NO_SOLVE_MOVE, list);
                for (int i = 0; i < count; ++i) {
                    const OrderedMove& m = next_move(list, i, count);
                    if (probe(c, m.child_own, m.child_opp, -score) <= -score) {
                        chosen = m.square;
                        break;
                    }
                }
            }
            if (chosen < 0) throw std::logic_error("solver: no move reaches the proven score");
            line.push_back(chosen);
            const Bitboard f = flips(own, opp, chosen);
            const Bitboard next_own = opp ^ f;
            opp = own | f | square_bit(chosen);
            own = next_own;
            score = -score;
        }
    }

    SolveTable table_;
};

}  // namespace
}  // namespace flipcore
