// Shared value types of the engine: the array board the outside world speaks,
// moves as (col, row) pairs, and what a search returns.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

namespace flipcore {
namespace {

// Cell and side codes. A side's code is also the code of its discs.
constexpr int32_t EMPTY = 0;
constexpr int32_t BLACK = 1;  // side 1, maximises
constexpr int32_t WHITE = 2;  // side 2, minimises

// The opponent of side 1 is 2, and of every other side code 1.
constexpr int opponent(int side) { return side == BLACK ? WHITE : BLACK; }

// 8x8 cells indexed [row][col]; square number is row * 8 + col.
using Board = std::array<std::array<int32_t, 8>, 8>;

// A move or a flipped square: (col, row), col first.
using Move = std::pair<int32_t, int32_t>;

constexpr int square_of(int col, int row) { return row * 8 + col; }
constexpr int col_of(int sq) { return sq & 7; }
constexpr int row_of(int sq) { return sq >> 3; }
inline Move move_of(int sq) { return Move{col_of(sq), row_of(sq)}; }

// The value of a searched position (side 1's point of view) and every move of
// the side to move that reached it, in search order.
struct SearchResult {
    double val;
    std::vector<Move> moves;
};

}  // namespace
}  // namespace flipcore
