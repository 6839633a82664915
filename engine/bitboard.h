// 64-bit boards: bit (row * 8 + col) stands for square (col, row), so bit
// order from the least significant end is the row-major scan order.
#pragma once

#include <cstdint>

#include "engine/types.h"

namespace flipcore {
namespace {

using Bitboard = uint64_t;

constexpr Bitboard square_bit(int sq) { return Bitboard{1} << sq; }

constexpr Bitboard COL_0 = 0x0101010101010101ULL;
constexpr Bitboard COL_7 = 0x8080808080808080ULL;

// Portable population count. Compilers turn this into POPCNT where the target
// has it; without it, this SWAR form beats the library call of the builtin.
constexpr int popcount(Bitboard b) {
#if defined(__POPCNT__)
    return __builtin_popcountll(b);
#else
    b = b - ((b >> 1) & 0x5555555555555555ULL);
    b = (b & 0x3333333333333333ULL) + ((b >> 2) & 0x3333333333333333ULL);
    b = (b + (b >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
    return static_cast<int>((b * 0x0101010101010101ULL) >> 56);
#endif
}

// Index of the lowest set bit; b must not be 0.
constexpr int lowest_square(Bitboard b) { return __builtin_ctzll(b); }

// Removes and returns the lowest set square; b must not be 0.
constexpr int pop_lowest(Bitboard& b) {
    const int sq = lowest_square(b);
    b &= b - 1;
    return sq;
}

// The eight directions in their fixed visiting order, as (column step, row step).
constexpr int DX[8] = {1, 1, 0, -1, -1, -1, 0, 1};
constexpr int DY[8] = {0, 1, 1, 1, 0, -1, -1, -1};

// Moves every disc one step in direction k. Discs that would leave the board
// through a side edge are dropped instead of wrapping onto the next row; discs
// leaving through the top or bottom fall off the 64 bits by themselves.
template <int K>
constexpr Bitboard shift(Bitboard b) {
    constexpr int s = DY[K] * 8 + DX[K];
    const Bitboard moved = s > 0 ? b << (s > 0 ? s : 0) : b >> (s < 0 ? -s : 0);
    if constexpr (DX[K] == 1) return moved & ~COL_0;
    if constexpr (DX[K] == -1) return moved & ~COL_7;
    return moved;
}

// Empty squares from which `own` brackets a run of `opp` discs in direction K.
template <int K>
constexpr Bitboard moves_in_direction(Bitboard own, Bitboard opp, Bitboard empty) {
    // A run is at most six discs long on an 8-wide board.
    Bitboard run = shift<K>(own) & opp;
    run |= shift<K>(run) & opp;
    run |= shift<K>(run) & opp;
    run |= shift<K>(run) & opp;
    run |= shift<K>(run) & opp;
    run |= shift<K>(run) & opp;
    return shift<K>(run) & empty;
}

// Every square where the side owning `own` may legally place a disc.
constexpr Bitboard legal_moves(Bitboard own, Bitboard opp) {
    const Bitboard empty = ~(own | opp);
    return moves_in_direction<0>(own, opp, empty) | moves_in_direction<1>(own, opp, empty) |
           moves_in_direction<2>(own, opp, empty) | moves_in_direction<3>(own, opp, empty) |
           moves_in_direction<4>(own, opp, empty) | moves_in_direction<5>(own, opp, empty) |
           moves_in_direction<6>(own, opp, empty) | moves_in_direction<7>(own, opp, empty);
}

// The opponent discs one direction turns over when `own` places on `placed`.
template <int K>
constexpr Bitboard flips_in_direction(Bitboard own, Bitboard opp, Bitboard placed) {
    Bitboard run = 0;
    Bitboard x = shift<K>(placed);
    while (x & opp) {
        run |= x;
        x = shift<K>(x);
    }
    return (x & own) ? run : 0;
}

// All discs turned over by placing on square sq (0 when the move is illegal).
constexpr Bitboard flips(Bitboard own, Bitboard opp, int sq) {
    const Bitboard placed = square_bit(sq);
    return flips_in_direction<0>(own, opp, placed) | flips_in_direction<1>(own, opp, placed) |
           flips_in_direction<2>(own, opp, placed) | flips_in_direction<3>(own, opp, placed) |
           flips_in_direction<4>(own, opp, placed) | flips_in_direction<5>(own, opp, placed) |
           flips_in_direction<6>(own, opp, placed) | flips_in_direction<7>(own, opp, placed);
}

// The discs of one code on an array board.
inline Bitboard bits_of(const Board& board, int32_t code) {
    Bitboard b = 0;
    for (int sq = 0; sq < 64; ++sq)
        if (board[row_of(sq)][col_of(sq)] == code) b |= square_bit(sq);
    return b;
}

}  // namespace
}  // namespace flipcore
