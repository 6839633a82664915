// Plain reference of the exact endgame solver, used as a test oracle: full
// minimax over the array board of plain.h to the end of the game, with no
// pruning, no table and no move ordering. A side without a move passes; the
// game ends when neither side can move; the final score is the disc
// difference from the side to move's view, the empty squares going to the
// winner.
#pragma once

#include <utility>
#include <vector>

#include "tests/plain/plain.h"

namespace plain {

// Counts every position the solver visits, for tests that want a size.
inline uint64_t solve_nodes = 0;

inline int final_score(const Board& board, int side) {
    int mine = 0, theirs = 0, empty = 0;
    for (int row = 0; row < 8; ++row)
        for (int col = 0; col < 8; ++col) {
            if (board[row][col] == side) mine += 1;
            else if (board[row][col] == 0) empty += 1;
            else theirs += 1;
        }
    if (mine > theirs) return mine - theirs + empty;
    if (mine < theirs) return mine - theirs - empty;
    return 0;
}

// The squares (row * 8 + col) where `side` may play, in scan order.
inline std::vector<int> legal_squares(const Board& board, int side) {
    std::vector<int> out;
    for (int row = 0; row < 8; ++row)
        for (int col = 0; col < 8; ++col)
            if (is_legal_move(board, col, row, side)) out.push_back(row * 8 + col);
    return out;
}

// The score of `side` playing square sq: minus the opponent's best from there.
inline int solve_score(Board& board, int side);

inline int score_after_move(Board& board, int side, int sq) {
    const int col = sq % 8, row = sq / 8;
    const std::vector<Move> flips = collect_flips(board, col, row, side);
    make_move(board, col, row, flips, side);
    const int v = -solve_score(board, opponent(side));
    unmake_move(board, col, row, flips, side);
    return v;
}

// The exact score with `side` to move.
inline int solve_score(Board& board, int side) {
    solve_nodes += 1;
    const std::vector<int> moves = legal_squares(board, side);
    if (moves.empty()) {
        if (legal_squares(board, opponent(side)).empty()) return final_score(board, side);
        return -solve_score(board, opponent(side));  // pass
    }
    int best = -1000;
    for (int sq : moves) best = std::max(best, score_after_move(board, side, sq));
    return best;
}

// Every legal move of `side` with its exact score, in scan order.
inline std::vector<std::pair<int, int>> solve_every_move(Board& board, int side) {
    std::vector<std::pair<int, int>> out;
    for (int sq : legal_squares(board, side)) out.emplace_back(sq, score_after_move(board, side, sq));
    return out;
}

}  // namespace plain
