// Stable discs: discs that no sequence of moves can ever turn over. The
// solver bounds a side's final score by them: with s of the opponent's discs
// stable, the side to move ends with at most 64 - 2s.
//
// A disc is safe along a line (one of four directions) when the line through
// it is full, so no move can ever land on it, or when a neighbour along the
// line is the board's edge or a stable disc of the same side, so no run of
// its side's discs through it can be bracketed. A disc safe along all four
// lines is stable. Starting from none, the set grows to its fixed point; the
// result is a subset of the truly stable discs, never more.
#pragma once

#include "engine/bitboard.h"

namespace flipcore {
namespace {

constexpr Bitboard ROW_0 = 0x00000000000000FFULL;
constexpr Bitboard ROW_7 = 0xFF00000000000000ULL;
constexpr Bitboard BOARD_EDGE = COL_0 | COL_7 | ROW_0 | ROW_7;

// The squares on full lines, one mask per direction.
struct FullLines {
    Bitboard rows, columns, rising, falling;
};

// Squares within `d` steps of the board's edge in a direction that changes
// the column by dcol (+1 or -1) and the row by +1 or -1 (drow).
constexpr Bitboard near_edge(int d, int dcol, int drow) {
    Bitboard b = 0;
    for (int sq = 0; sq < 64; ++sq) {
        const int col = sq & 7, row = sq >> 3;
        const int to_col_edge = dcol > 0 ? 7 - col : col, to_row_edge = drow > 0 ? 7 - row : row;
        if (to_col_edge <= d || to_row_edge <= d) b |= square_bit(sq);
    }
    return b;
}

// The occupied squares whose diagonal is full in the direction of step S
// (9 or 7, climbing when Up) up to the edge. Three doublings: after the k-th,
// a square is set when the 2^k squares from it on are all occupied; squares
// nearer the edge than that are already settled and are kept as they are,
// which also masks the squares the shifts wrap around onto.
template <int S, bool Up>
constexpr Bitboard full_towards_edge(Bitboard occupied) {
    constexpr int dcol = (S == 9) == Up ? 1 : -1, drow = Up ? 1 : -1;
    constexpr Bitboard e0 = near_edge(0, dcol, drow), e1 = near_edge(1, dcol, drow), e3 = near_edge(3, dcol, drow);
    const auto next = [](Bitboard b, int n) { return Up ? b >> (S * n) : b << (S * n); };
    Bitboard f = occupied & (next(occupied, 1) | e0);
    f &= next(f, 2) | e1;
    f &= next(f, 4) | e3;
    return f;
}

constexpr FullLines full_lines(Bitboard occupied) {
    // A row is full when the AND of its eight squares, folded into column 0, is set.
    Bitboard r = occupied & (occupied >> 4);
    r &= r >> 2;
    r &= r >> 1;
    const Bitboard rows = (r & COL_0) * 0xFF;
    // A column is full when the AND over all eight rotations by a row is set.
    Bitboard c = occupied & ((occupied >> 8) | (occupied << 56));
    c &= (c >> 16) | (c << 48);
    c &= (c >> 32) | (c << 32);
    // A diagonal is full through a square when it is full from there to both ends.
    return {rows, c, full_towards_edge<9, true>(occupied) & full_towards_edge<9, false>(occupied),
            full_towards_edge<7, true>(occupied) & full_towards_edge<7, false>(occupied)};
}

// The stable discs among `mine`, given every occupied square.
constexpr Bitboard stable_discs(Bitboard mine, Bitboard occupied) {
    const FullLines full = full_lines(occupied);
    const Bitboard safe_rows = full.rows | COL_0 | COL_7;
    const Bitboard safe_columns = full.columns | ROW_0 | ROW_7;
    const Bitboard safe_rising = full.rising | BOARD_EDGE;
    const Bitboard safe_falling = full.falling | BOARD_EDGE;
    Bitboard stable = 0;
    for (;;) {
        const Bitboard along_row = safe_rows | ((stable << 1) & ~COL_0) | ((stable >> 1) & ~COL_7);
        const Bitboard along_column = safe_columns | (stable << 8) | (stable >> 8);
        const Bitboard along_rising = safe_rising | ((stable << 9) & ~COL_0) | ((stable >> 9) & ~COL_7);
        const Bitboard along_falling = safe_falling | ((stable << 7) & ~COL_7) | ((stable >> 7) & ~COL_0);
        const Bitboard grown = mine & along_row & along_column & along_rising & along_falling;
        if (grown == stable) return stable;
        stable = grown;
    }
}

}  // namespace
}  // namespace flipcore
