// Static evaluation: discs, positional weight and mobility, blended by game
// phase; a side to move without a legal move is scored as a finished game.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>

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

// Value of a finished game: the disc difference pushed beyond +-100000.
inline double finished_value(int discs1, int discs2) {
    const double d = static_cast<double>(discs1 - discs2);
    if (discs1 > discs2) return d + 100000.0;
    if (discs1 < discs2) return d - 100000.0;
    return 0.0;
}

// Value of the position from side 1's point of view. `player` is the side to
// move (1 or 2); 0 skips the finished-game rule.
//
// The fused multiply-adds fix the last bits of the value. The search collects
// tied moves by exact equality, so they are part of the result: the engine is
// built with -ffp-contract=off so the compiler fuses nothing else.
inline double evaluate(Bitboard black, Bitboard white, int player) {
    const int discs1 = popcount(black), discs2 = popcount(white);
    const int mob1 = popcount(legal_moves(black, white));
    if (player == BLACK && mob1 == 0) return finished_value(discs1, discs2);
    const int mob2 = popcount(legal_moves(white, black));
    if (player == WHITE && mob2 == 0) return finished_value(discs1, discs2);

    double t = (discs1 + discs2 - 4.0) / 60.0;
    if (t < 0) t = 0;
    if (t > 1) t = 1;
    const double u = 17.0 * t;
    const double wd = std::fma(t, u, -2.0);
    const double wp = std::fma(-9.0, t, 10.0);
    const double wm = std::fma(-13.0, t, 15.0);

    double v = static_cast<double>(discs1 - discs2) * wd;
    v = std::fma(static_cast<double>(positional_sum(black) - positional_sum(white)), wp, v);
    v = std::fma(static_cast<double>(mob1 - mob2), wm, v);
    return v;
}

// The same on an array board whose cells hold 0, 1 or 2, for players 0, 1, 2.
inline double evaluate(const Board& board, int player) {
    return evaluate(bits_of(board, BLACK), bits_of(board, WHITE), player);
}

}  // namespace
}  // namespace flipcore
