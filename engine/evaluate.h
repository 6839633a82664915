// Static evaluation: discs, positional weight and mobility, blended by game
// phase; a side to move without a legal move is scored as a finished game.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <initializer_list>

#include "engine/bitboard.h"
#include "engine/types.h"

namespace flipcore {
namespace {

constexpr int32_t SCORES[64] = {
    100, -20, 10, 5,  5,  10, -20, 100,  //
    -20, -50, -2, -2, -2, -2, -50, -20,  //
    10,  -2,  -1, -1, -1, -1, -2,  10,   //
    5,   -2,  -1, -1, -1, -1, -2,  5,    //
    5,   -2,  -1, -1, -1, -1, -2,  5,    //
    10,  -2,  -1, -1, -1, -1, -2,  10,   //
    -20, -50, -2, -2, -2, -2, -50, -20,  //
    100, -20, 10, 5,  5,  10, -20, 100,
};

// Positional sum of the discs one byte (one row) of a bitboard holds, per row,
// so that a side's positional sum takes eight lookups.
constexpr auto ROW_WEIGHTS = [] {
    std::array<std::array<int16_t, 256>, 8> table{};
    for (int row = 0; row < 8; ++row)
        for (int bits = 0; bits < 256; ++bits) {
            int sum = 0;
            for (int col = 0; col < 8; ++col)
                if (bits & (1 << col)) sum += SCORES[row * 8 + col];
            table[row][bits] = static_cast<int16_t>(sum);
        }
    return table;
}();

constexpr int positional_sum(Bitboard b) {
    int sum = 0;
    for (int row = 0; row < 8; ++row) sum += ROW_WEIGHTS[row][(b >> (8 * row)) & 0xFF];
    return sum;
}

// The squares whose weight is one of `weights`.
constexpr Bitboard squares_weighing(std::initializer_list<int32_t> weights) {
    Bitboard squares = 0;
    for (int sq = 0; sq < 64; ++sq)
        for (int32_t w : weights) squares |= SCORES[sq] == w ? square_bit(sq) : 0;
    return squares;
}

// The positional weight of the discs a move turns over, from their number n
// and five masked population counts: every square counts -1, the second
// ring -1 more and its X-squares -48 beyond that, the edges +6, and of the
// edges the A-squares +5 more and the C-squares -25. That gives every weight
// of the table except the corners', and no disc on a corner is ever turned
// over: nothing lies beyond a corner to bracket it.
constexpr Bitboard SECOND_RING = squares_weighing({-2, -50}), X_SQUARES = squares_weighing({-50});
constexpr Bitboard EDGES = squares_weighing({-20, 10, 5}), A_SQUARES = squares_weighing({10}),
                   C_SQUARES = squares_weighing({-20});
constexpr Bitboard CORNERS = squares_weighing({100});

constexpr bool flipped_weights_hold() {
    for (int sq = 0; sq < 64; ++sq) {
        const Bitboard b = square_bit(sq);
        const int w = -1 - !!(b & SECOND_RING) - 48 * !!(b & X_SQUARES) + 6 * !!(b & EDGES) +
                      5 * !!(b & A_SQUARES) - 25 * !!(b & C_SQUARES);
        if (!(b & CORNERS) && w != SCORES[sq]) return false;
    }
    return CORNERS == (square_bit(0) | square_bit(7) | square_bit(56) | square_bit(63));
}
static_assert(flipped_weights_hold(), "the flipped-disc weight formula must match SCORES");

// Positional weight of turned-over discs f, n of them, in a kernel set.
template <class Isa>
FLIPCORE_INLINE int flipped_weight_in(Bitboard f, int n) {
    if constexpr (Isa::wide) {
        return -n - popcount_in<Isa>(f & SECOND_RING) - 48 * popcount_in<Isa>(f & X_SQUARES) +
               6 * popcount_in<Isa>(f & EDGES) + 5 * popcount_in<Isa>(f & A_SQUARES) -
               25 * popcount_in<Isa>(f & C_SQUARES);
    } else {
        return positional_sum(f);
    }
}

// The terms of a position that change only by the discs a move places and
// turns over, so the search carries them from parent to child.
struct Material {
    int32_t position;  // side 1's positional sum minus side 2's
    int16_t discs1, discs2;
};
static_assert(sizeof(Material) == 8, "material travels in one register");

inline Material material_of(Bitboard black, Bitboard white) {
    return {positional_sum(black) - positional_sum(white), static_cast<int16_t>(popcount(black)),
            static_cast<int16_t>(popcount(white))};
}

// Value of a finished game: the disc difference pushed beyond +-100000.
// Without a branch on who won: d + 100000 or d - 100000 (the same IEEE
// result as subtracting 100000), and +0.0 + +0.0 = +0.0 for a draw.
inline double finished_value(int discs1, int discs2) {
    const double d = static_cast<double>(discs1 - discs2);
    return d + static_cast<double>((discs1 > discs2) - (discs1 < discs2)) * 100000.0;
}

// Weights of the three terms at one number of discs on the board.
struct PhaseWeights {
    double disc, position, mobility;
};

// The weights slide with the phase t = (discs - 4) / 60, clamped to [0, 1]:
// disc weight 17t^2 - 2, positional 10 - 9t, mobility 15 - 13t, each formed
// with fused multiply-adds. They depend on the disc total alone, so they are
// computed once per total, with the very same operations.
inline std::array<PhaseWeights, 65> make_phase_weights() {
    std::array<PhaseWeights, 65> table{};
    for (int discs = 0; discs <= 64; ++discs) {
        double t = (discs - 4.0) / 60.0;
        if (t < 0) t = 0;
        if (t > 1) t = 1;
        const double u = 17.0 * t;
        table[discs] = {std::fma(t, u, -2.0), std::fma(-9.0, t, 10.0), std::fma(-13.0, t, 15.0)};
    }
    return table;
}
const std::array<PhaseWeights, 65> PHASE_WEIGHTS = make_phase_weights();

// The value from its parts: disc counts, the positional difference (side 1's
// sum minus side 2's) and both sides' legal-move masks. `player` is the side
// to move (1 or 2); 0 skips the finished-game rule.
//
// The fused multiply-adds fix the last bits of the value. The search collects
// tied moves by exact equality, so they are part of the result: the engine is
// built with -ffp-contract=off so the compiler fuses nothing else.
template <class Isa>
FLIPCORE_INLINE double evaluate_terms(Material m, MovePair moves, int player) {
    const int discs1 = m.discs1, discs2 = m.discs2, position_diff = m.position;
    const int mob1 = popcount_in<Isa>(moves.black), mob2 = popcount_in<Isa>(moves.white);
    if ((player == BLACK && mob1 == 0) || (player == WHITE && mob2 == 0)) return finished_value(discs1, discs2);
    const PhaseWeights& w = PHASE_WEIGHTS[discs1 + discs2];
    double v = static_cast<double>(discs1 - discs2) * w.disc;
    v = std::fma(static_cast<double>(position_diff), w.position, v);
    return std::fma(static_cast<double>(mob1 - mob2), w.mobility, v);
}

// Value of the position from side 1's point of view, `player` to move.
template <class Isa>
FLIPCORE_INLINE double evaluate_material(Bitboard black, Bitboard white, Material m, int player) {
    return evaluate_terms<Isa>(m, legal_moves_both<Isa>(black, white), player);
}

inline double evaluate(Bitboard black, Bitboard white, int player) {
    return evaluate_material<Baseline>(black, white, material_of(black, white), player);
}

// The same on an array board whose cells hold 0, 1 or 2, for players 0, 1, 2.
inline double evaluate(const Board& board, int player) {
    return evaluate(bits_of(board, BLACK), bits_of(board, WHITE), player);
}

}  // namespace
}  // namespace flipcore
