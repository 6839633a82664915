// Depth-limited minimax with fail-soft alpha-beta, one-ply move ordering, the
// transposition table, and the list of every move that reached the best value.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "engine/bitboard.h"
#include "engine/board.h"
#include "engine/evaluate.h"
#include "engine/stop.h"
#include "engine/tt.h"
#include "engine/types.h"
#include "engine/zobrist.h"

namespace flipcore {
namespace {

// One legal move of the node being expanded.
struct MoveCandidate {
    double score;          // evaluation of the position after the move, opponent to move
    Material material;     // its disc counts and positional difference
    Bitboard flips;        // the discs the move turns over
    Bitboard reply_moves;  // the opponent's legal moves after it, found while scoring
    uint64_t key;          // key of the position after the move
    int32_t square;        // row * 8 + col of the placed disc
};

// Positions visited, counted as one per search call including depth-0 leaves:
// a signature of the search's behaviour for tests and benchmarks.
uint64_t g_nodes = 0;

constexpr double INF = std::numeric_limits<double>::infinity();

// The next candidate in search order: the best score for the side to move
// among those not yet searched (`remaining`, a bit per candidate index), the
// earliest generated among equal scores. Picking one at a time gives exactly
// the order of a stable sort, and costs nothing for the candidates that a
// cut-off leaves unsearched.
template <int Side>
inline int next_candidate(const MoveCandidate* c, uint64_t remaining) {
    int best = lowest_square(remaining);
    double best_score = c[best].score;
    remaining &= remaining - 1;
    while (remaining) {
        const int i = pop_lowest(remaining);
        const bool better = Side == BLACK ? c[i].score > best_score : c[i].score < best_score;
        best = better ? i : best;
        best_score = better ? c[i].score : best_score;
    }
    return best;
}

// A move scored one ply down: the discs it turns over, the disc counts and
// positional difference after it, the opponent's legal moves there, and the
// evaluation with the opponent to move. Disc counts and positional sums
// change only by the placed and flipped discs, so they come from the
// parent's.
struct ScoredMove {
    double score;
    Material material;
    Bitboard flips, reply_moves;
};

// Disc counts and positional difference after Side places on sq turning
// over f, counted and weighed without a loop whose length the processor
// cannot predict.
template <int Side, class Isa>
FLIPCORE_INLINE Material material_after(Material material, Bitboard f, int sq) {
    const int n = popcount_in<Isa>(f);
    const int own_discs = Side == BLACK ? material.discs1 : material.discs2;
    const int opp_discs = Side == BLACK ? material.discs2 : material.discs1;
    const int own_position = Side == BLACK ? material.position : -material.position;  // from the mover's side
    const int mover_position = own_position + SCORES[sq] + 2 * flipped_weight_in<Isa>(f, n);
    const auto mover_discs = static_cast<int16_t>(own_discs + 1 + n);
    const auto other_discs = static_cast<int16_t>(opp_discs - n);
    return Side == BLACK ? Material{mover_position, mover_discs, other_discs}
                         : Material{-mover_position, other_discs, mover_discs};
}

template <int Side, class Isa>
FLIPCORE_INLINE ScoredMove score_move(Bitboard own, Bitboard opp, Material material, int sq) {
    constexpr int Opp = Side == BLACK ? WHITE : BLACK;
    const Bitboard f = flips_in<Isa>(own, opp, sq);
    const Material after = material_after<Side, Isa>(material, f, sq);
    const Bitboard new_own = own | f | square_bit(sq), new_opp = opp & ~f;
    const MovePair m = Side == BLACK ? legal_moves_both<Isa>(new_own, new_opp) : legal_moves_both<Isa>(new_opp, new_own);
    return {evaluate_terms<Isa>(after, m, Opp), after, f, Side == BLACK ? m.white : m.black};
}

// The whole expansion of a depth-1 node, whose children are depth-0 leaves
// valued at their ordering scores, in one pass over the moves: no candidate
// list, no best-first picking, and the outcome is the same. The first child
// searched is the best score, the earliest generated among equals. It moves
// the window edge of the side to move to itself (when it improves it); a
// cut-off then ends the loop at once. Otherwise no later child, never better
// than the first, can move that edge again, so every child is searched and
// the ties are all the moves equal to the best, in generation order.
template <int Side, class Isa>
FLIPCORE_INLINE double settle_frontier(Bitboard own, Bitboard opp, Bitboard legal, Material material, double a,
                                       double b, uint8_t* ties, int& tie_count) {
    double scores[MAX_MOVES];
    uint8_t squares[MAX_MOVES];
    // `legal` is never empty here (a node without moves returned earlier);
    // the loop tests at the end, so the compiler sees scores[0] written.
    int count = 0;
    do {
        const int sq = pop_lowest(legal);
        scores[count] = score_move<Side, Isa>(own, opp, material, sq).score;
        squares[count] = static_cast<uint8_t>(sq);
        ++count;
    } while (legal);
    double best = scores[0];
    for (int i = 1; i < count; ++i) best = (Side == BLACK ? scores[i] > best : scores[i] < best) ? scores[i] : best;
    int n = 0;
    for (int i = 0; i < count; ++i) {
        ties[n] = squares[i];
        n += scores[i] == best;
    }
    if (Side == BLACK) {
        if (best > a) a = best;
    } else {
        if (best < b) b = best;
    }
    if (a >= b) {
        g_nodes += 1;
        tie_count = 1;
    } else {
        g_nodes += static_cast<uint64_t>(count);
        tie_count = n;
    }
    return best;
}

template <int Side>
double search_baseline(Bitboard black, Bitboard white, Bitboard legal, int depth, double alpha, double beta,
                       uint64_t key, Material material, std::vector<Move>* root_moves);
template <int Side>
FLIPCORE_AVX2_TARGET double search_avx2(Bitboard black, Bitboard white, Bitboard legal, int depth, double alpha,
                                        double beta, uint64_t key, Material material, std::vector<Move>* root_moves);

// Searches the child reached by Side's move, given the mover's and the
// opponent's discs after it, with the same kernel set.
template <int Side, class Isa>
FLIPCORE_INLINE double search_child(Bitboard new_own, Bitboard new_opp, Bitboard reply, int depth, double a, double b,
                                    uint64_t key, Material material) {
    constexpr int Opp = Side == BLACK ? WHITE : BLACK;
    const Bitboard black = Side == BLACK ? new_own : new_opp, white = Side == BLACK ? new_opp : new_own;
    if constexpr (Isa::wide) return search_avx2<Opp>(black, white, reply, depth, a, b, key, material, nullptr);
    else return search_baseline<Opp>(black, white, reply, depth, a, b, key, material, nullptr);
}

// One node: searches (black, white) with Side to move, whose legal moves are
// `legal`. At the root (root_moves given) the tied best moves are copied out;
// below it only the value is needed. Compiled once per kernel set.
template <int Side, class Isa>
FLIPCORE_INLINE double search_node(Bitboard black, Bitboard white, Bitboard legal, int depth, double alpha,
                                   double beta, uint64_t key, Material material, std::vector<Move>* root_moves) {
    ++g_nodes;

    // 1. Depth leaf: the static value; the table is not touched.
    if (depth == 0) return evaluate_material<Isa>(black, white, material, Side);
    check_stop();

    // 2. Table probe: an exact entry answers, a bound narrows the window.
    double a = alpha, b = beta;
    const TranspositionTable::Place place = tt.locate(key);
    if (const TTPayload* e = place.entry; e && slot_depth(e->meta) >= depth) {
        const int flag = slot_flag(e->meta);
        if (flag == FLAG_LOWER) a = e->val > alpha ? e->val : alpha;
        if (flag == FLAG_UPPER) b = e->val < beta ? e->val : beta;
        if (flag == FLAG_EXACT || a >= b) {
            if (root_moves) {
                uint8_t squares[MAX_TIED_MOVES];
                const int n = tt.moves_of(key, *e, squares);
                for (int i = 0; i < n; ++i) root_moves->push_back(move_of(squares[i]));
            }
            return e->val;
        }
    }

    // 3. No legal move: scored as it stands, nothing stored.
    if (!legal) return evaluate_material<Isa>(black, white, material, Side);
    tt.prefetch_for_store(place);

    const Bitboard own = Side == BLACK ? black : white;
    const Bitboard opp = Side == BLACK ? white : black;
    double best;
    uint8_t ties[MAX_MOVES];
    std::memset(ties, 0, INLINE_MOVES);  // the store reads the first four, used or not
    int tie_count = 0;
    if (depth == 1) {
        // 4-5. Every child is a leaf: settled in one pass.
        best = settle_frontier<Side, Isa>(own, opp, legal, material, a, b, ties, tie_count);
    } else if ((legal & (legal - 1)) == 0) {
        // 4-5. A single move, as forced moves often are near the end: with
        // nothing to order, its score matters only as the child's value when
        // the opponent has no reply, and then it is the finished-game value.
        // The child's own search needs only the opponent's moves.
        // (Found from the top: were it found as the loop below finds its
        // first move, the compiler would hoist that move's work above the
        // test and spill it, costing more than this path saves.)
        const int sq = highest_square(legal);
        const Bitboard f = flips_in<Isa>(own, opp, sq);
        const uint64_t child_key = key_after_move(key, Side, sq, f);
        tt.prefetch(child_key);  // for the child's probe, while its moves are found
        const Material after = material_after<Side, Isa>(material, f, sq);
        const Bitboard new_own = own | f | square_bit(sq), new_opp = opp & ~f;
        const Bitboard reply = legal_moves_in<Isa>(new_opp, new_own);
        if (reply == 0 && !tt.answers(child_key, depth - 1)) {
            ++g_nodes;  // the child, scored as it stands
            best = finished_value(after.discs1, after.discs2);
        } else {
            best = search_child<Side, Isa>(new_own, new_opp, reply, depth - 1, a, b, child_key, after);
        }
        ties[0] = static_cast<uint8_t>(sq);
        tie_count = 1;
    } else {
        // 4. Candidates in row-major order, each scored one ply down.
        MoveCandidate cand[MAX_MOVES];
        int count = 0;
        while (legal) {
            const int sq = pop_lowest(legal);
            const ScoredMove m = score_move<Side, Isa>(own, opp, material, sq);
            // The child's slot is fetched at once, so that the load runs
            // while the other moves are scored.
            const uint64_t child_key = key_after_move(key, Side, sq, m.flips);
            tt.prefetch(child_key);
            cand[count++] = MoveCandidate{m.score, m.material, m.flips, m.reply_moves, child_key, sq};
        }

        // 5. Children, best first for the side to move, with the narrowing
        // window; ties collected by exact equality. Each next child is
        // picked as the loop goes.
        best = Side == BLACK ? -INF : INF;
        for (uint64_t remaining = count == 64 ? ~0ULL : (1ULL << count) - 1; remaining;) {
            const int next = next_candidate<Side>(cand, remaining);
            remaining &= ~(1ULL << next);
            const MoveCandidate& c = cand[next];
            double v;
            if (c.reply_moves == 0 && !tt.answers(c.key, depth - 1)) {
                // A child whose side to move has no move, and no usable table
                // entry, ends as the very evaluation that gave its ordering
                // score; searching it would only repeat it.
                ++g_nodes;
                v = c.score;
            } else {
                const Bitboard new_own = own | c.flips | square_bit(c.square), new_opp = opp & ~c.flips;
                v = search_child<Side, Isa>(new_own, new_opp, c.reply_moves, depth - 1, a, b, c.key, c.material);
            }
            if (Side == BLACK ? v > best : v < best) {
                best = v;
                tie_count = 0;
                ties[tie_count++] = static_cast<uint8_t>(c.square);
            } else if (v == best) {
                ties[tie_count++] = static_cast<uint8_t>(c.square);
            }
            if (Side == BLACK) {
                if (v > a) a = v;
            } else {
                if (v < b) b = v;
            }
            if (a >= b) break;  // cut-off, also on equality
        }
    }

    // 6. Classified against the window as received, then always stored.
    const int flag = best <= alpha ? FLAG_UPPER : best >= beta ? FLAG_LOWER : FLAG_EXACT;
    tt.store_at(place, key, best, flag, depth, ties, tie_count);

    // 7. The tied moves in search order.
    if (root_moves)
        for (int i = 0; i < tie_count; ++i) root_moves->push_back(move_of(ties[i]));
    return best;
}

template <int Side>
double search_baseline(Bitboard black, Bitboard white, Bitboard legal, int depth, double alpha, double beta,
                       uint64_t key, Material material, std::vector<Move>* root_moves) {
    return search_node<Side, Baseline>(black, white, legal, depth, alpha, beta, key, material, root_moves);
}

template <int Side>
FLIPCORE_AVX2_TARGET double search_avx2(Bitboard black, Bitboard white, Bitboard legal, int depth, double alpha,
                                        double beta, uint64_t key, Material material,
                                        std::vector<Move>* root_moves) {
    return search_node<Side, Avx2>(black, white, legal, depth, alpha, beta, key, material, root_moves);
}

// Whether searches run the Avx2 kernels: decided once from the processor, and
// switchable so that tests and benchmarks can hold both sets to the same answers.
bool g_use_avx2 = [] {
    __builtin_cpu_init();  // static initialisers may run before the library's own
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
           __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("fma");
}();

template <int Side>
double search(Bitboard black, Bitboard white, int depth, double alpha, double beta, uint64_t key,
              std::vector<Move>* root_moves) {
    const Bitboard legal = Side == BLACK ? legal_moves(black, white) : legal_moves(white, black);
    const Material material = material_of(black, white);
    return g_use_avx2 ? search_avx2<Side>(black, white, legal, depth, alpha, beta, key, material, root_moves)
                      : search_baseline<Side>(black, white, legal, depth, alpha, beta, key, material, root_moves);
}

// Searches the position on `board` (cells 0, 1 or 2) with `player` (1 or 2) to
// move and `key` its position key. The board is left as it was.
inline SearchResult minimax(Board& board, int player, int depth, double alpha, double beta, uint64_t key) {
    const Bitboard black = bits_of(board, BLACK), white = bits_of(board, WHITE);
    SearchResult result{0.0, {}};
    result.val = player == BLACK ? search<BLACK>(black, white, depth, alpha, beta, key, &result.moves)
                                 : search<WHITE>(black, white, depth, alpha, beta, key, &result.moves);
    return result;
}

// Draws fresh keys, then empties the table: no entry made under the old keys
// survives. If drawing fails, the table is left as it was.
inline void init() {
    init_zobrist_random();
    tt.clear();
}

}  // namespace
}  // namespace flipcore
