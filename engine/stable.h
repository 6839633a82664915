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

#include <array>

#include "engine/bitboard.h"

namespace flipcore {
namespace {

constexpr Bitboard ROW_0 = 0x00000000000000FFULL;
constexpr Bitboard ROW_7 = 0xFF00000000000000ULL;
constexpr Bitboard BOARD_EDGE = COL_0 | COL_7 | ROW_0 | ROW_7;

// The diagonals of the board, each as a mask: those running up-right (step 9)
// and those running up-left (step 7), one per starting square on the bottom
// row or the outer column.
struct DiagonalMasks {
    std::array<Bitboard, 15> rising, falling;
};
constexpr DiagonalMasks DIAGONAL_MASKS = [] {
    DiagonalMasks d{};
    for (int k = 0; k < 15; ++k) {
        // k - 7 is col - row on a rising diagonal; k is col + row on a falling one.
        for (int sq = 0; sq < 64; ++sq) {
            const int col = sq & 7, row = sq >> 3;
            if (col - row == k - 7) d.rising[k] |= square_bit(sq);
            if (col + row == k) d.falling[k] |= square_bit(sq);
        }
    }
    return d;
}();

// The squares on full lines, one mask per direction.
struct FullLines {
    Bitboard rows, columns, rising, falling;
};

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
    FullLines f{rows, c, 0, 0};
    for (Bitboard m : DIAGONAL_MASKS.rising)
        if ((occupied & m) == m) f.rising |= m;
    for (Bitboard m : DIAGONAL_MASKS.falling)
        if ((occupied & m) == m) f.falling |= m;
    return f;
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
