// Helpers shared by the GoogleTest suites: board construction and random
// positions reached by playing random legal moves from the start.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tests/plain/plain.h"

namespace testutil {

using plain::Board;
using plain::Move;

// Legal moves of `side` in scan order (row-major), each with its flips.
struct LegalMove {
    Move square;
    std::vector<Move> flips;
};

inline std::vector<LegalMove> legal_moves(const Board& board, int side) {
    std::vector<LegalMove> out;
    for (int row = 0; row < 8; ++row)
        for (int col = 0; col < 8; ++col) {
            if (board[row][col] != 0) continue;
            auto flips = plain::collect_flips(board, col, row, side);
            if (!flips.empty()) out.push_back({Move(col, row), std::move(flips)});
        }
    return out;
}

// A position with its side to move.
struct Position {
    Board board;
    int player;
};

// Plays one random game from the start position and records every position
// met, with the side to move. A side without a move passes; the game ends
// when neither side can move. The recorded list therefore contains
// positions whose side to move must pass and, last, a finished position.
inline std::vector<Position> random_game(std::mt19937& rng) {
    std::vector<Position> out;
    Board b = plain::start_board();
    int player = 1;
    int passes = 0;
    while (passes < 2) {
        out.push_back({b, player});
        auto moves = legal_moves(b, player);
        if (moves.empty()) {
            ++passes;
        } else {
            passes = 0;
            std::uniform_int_distribution<size_t> pick(0, moves.size() - 1);
            const LegalMove& m = moves[pick(rng)];
            plain::make_move(b, m.square.first, m.square.second, m.flips, player);
        }
        player = plain::opponent(player);
    }
    return out;
}

// Any mix of 0/1/2 cells, not necessarily reachable in a game: each cell is
// filled with probability fill_percent, and then side 1 with probability
// black_percent.
inline Board random_board(std::mt19937& rng, int fill_percent, int black_percent) {
    std::uniform_int_distribution<int> pct(0, 99);
    Board b{};
    for (auto& row : b)
        for (auto& cell : row) cell = pct(rng) < fill_percent ? (pct(rng) < black_percent ? 1 : 2) : 0;
    return b;
}

// Eight rows of cell codes written as text, '.' empty, 'X' side 1, 'O' side 2.
inline Board board_from_rows(const std::vector<std::string>& rows) {
    Board b{};
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) {
            char ch = rows[r][c];
            b[r][c] = ch == 'X' ? 1 : ch == 'O' ? 2 : 0;
        }
    return b;
}

// Side 1 to move here has 24 legal moves, on rows 0 and 7 and columns 0 and 7.
inline Board wide_board() {
    return board_from_rows({
        "........",
        "OOOOOOOO",
        ".OXXXXO.",
        ".OXXXXO.",
        ".OXXXXO.",
        ".OXXXXO.",
        "OOOOOOOO",
        "........",
    });
}

inline std::string board_to_string(const Board& b) {
    std::string s;
    for (int r = 0; r < 8; ++r) {
        s += '"';
        for (int c = 0; c < 8; ++c) s += b[r][c] == 1 ? 'X' : b[r][c] == 2 ? 'O' : '.';
        s += "\",\n";
    }
    return s;
}

// Two camps that cannot reach each other: side 1 holds rows 0-2 and some
// of row 3, side 2 rows 5-7 and some of row 4, so that no line brackets
// anything; then two discs placed at random in rows 3 and 4 open a few
// moves. Play soon stops with both sides blocked and squares left empty,
// where the empties go to the winner and a draw stays a draw.
inline Position blocked_camps(std::mt19937& rng) {
    Position p{};
    p.player = 1 + static_cast<int>(rng() % 2);
    for (int sq = 0; sq < 64; ++sq) {
        const int row = sq / 8;
        const bool filled = rng() % 100 < 55;
        p.board[row][sq % 8] = row < 3 ? 1 : row > 4 ? 2 : !filled ? 0 : row == 3 ? 1 : 2;
    }
    for (int k = 0; k < 2; ++k) p.board[3 + rng() % 2][rng() % 8] = 1 + static_cast<int>(rng() % 2);
    return p;
}

}  // namespace testutil
