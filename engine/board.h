// Move rules on the array board: the form positions take at the boundary and
// in tests. The search itself works on bitboards (bitboard.h); both follow the
// same rules and the tests hold them to each other.
#pragma once

#include <vector>

#include "engine/bitboard.h"
#include "engine/types.h"

namespace flipcore {
namespace {

constexpr bool on_board(int col, int row) { return col >= 0 && col < 8 && row >= 0 && row < 8; }

// Squares turned over when `side` places on the empty square (col, row), in
// direction order and nearest square first; empty when the move is illegal.
inline std::vector<Move> collect_flips(const Board& board, int col, int row, int side) {
    std::vector<Move> result;
    for (int k = 0; k < 8; ++k) {
        int x = col + DX[k], y = row + DY[k], run = 0;
        while (on_board(x, y) && board[y][x] != EMPTY && board[y][x] != side) {
            ++run;
            x += DX[k];
            y += DY[k];
        }
        if (run == 0 || !on_board(x, y) || board[y][x] != side) continue;
        for (int i = 1; i <= run; ++i) result.emplace_back(col + i * DX[k], row + i * DY[k]);
    }
    return result;
}

inline bool is_legal_move(const Board& board, int col, int row, int side) {
    if (board[row][col] != EMPTY) return false;
    const Bitboard own = bits_of(board, side);
    const Bitboard all = own | bits_of(board, opponent(side));
    return flips(own, all & ~own, square_of(col, row)) != 0;
}

inline void make_move(Board& board, int col, int row, const std::vector<Move>& flipped, int side) {
    board[row][col] = side;
    for (const Move& m : flipped) board[m.second][m.first] = side;
}

inline void unmake_move(Board& board, int col, int row, const std::vector<Move>& flipped, int side) {
    board[row][col] = EMPTY;
    for (const Move& m : flipped) board[m.second][m.first] = opponent(side);
}

}  // namespace
}  // namespace flipcore
