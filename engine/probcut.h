// Probabilistic cut-offs for the search on the learned evaluation: how far a
// shallow search's value may lie from a deeper one's. The spread is fitted by
// training/probcut.py, which searches sample positions at every depth pair
// and fits the standard deviation of the difference by empty squares and
// depth; it prints the constants below.
#pragma once

#include <algorithm>
#include <cmath>

namespace flipcore {
namespace {

// Nodes this deep or deeper try a cut-off.
constexpr int PROBCUT_MIN_DEPTH = 3;
// A cut needs the prediction beyond the window by this many spreads.
constexpr double PROBCUT_CONFIDENCE = 1.5;

// The shallow search's depth for a node of `depth` plies: about half, and
// an even number of plies less, so that both searches end on the same side
// to move (the evaluation's errors differ by side).
constexpr int probcut_shallow_depth(int depth) { return depth / 2 - ((depth - depth / 2) & 1); }
static_assert(probcut_shallow_depth(3) == 1 && probcut_shallow_depth(4) == 2 && probcut_shallow_depth(5) == 1 &&
                  probcut_shallow_depth(8) == 4 && probcut_shallow_depth(9) == 3,
              "shallow searches keep the deep one's parity");

// Spread (standard deviation, in discs) of deep minus shallow value:
// a + b * empties + c * depth.
constexpr double PROBCUT_SPREAD[3] = {5.647, -0.0887, 0.116};

// Mean of deep minus shallow value, in discs, by the shallow depth's parity
// (even, odd): the evaluation's errors differ by the side to move.
constexpr double PROBCUT_BIAS[2] = {0.246, -0.118};

inline int probcut_bias(int shallow_depth, int scale) {
    return static_cast<int>(std::lround(PROBCUT_BIAS[shallow_depth & 1] * scale));
}

// The margin in weight units for a node with `empties` empty squares.
inline int probcut_margin(int empties, int depth, int scale) {
    const double spread = PROBCUT_SPREAD[0] + PROBCUT_SPREAD[1] * empties + PROBCUT_SPREAD[2] * depth;
    return static_cast<int>(std::lround(PROBCUT_CONFIDENCE * std::max(spread, 0.5) * scale));
}

// The exact solver's selective searches cut a node when a shallow search on
// the evaluation lies beyond the null window by a margin of some spreads of
// the exact score around it. Fitted by training/probcut.py --exact on
// positions with exact scores: the spread is a + b * empties + c * depth.
constexpr double SOLVE_PROBCUT_SPREAD[3] = {7.249, 0.0471, -0.591};
// Nodes with fewer empties are left to the exact code below them.
constexpr int SOLVE_PROBCUT_MIN_EMPTIES = 8;
// The shallow search's depth: even, so that it ends on the node's side to
// move, and deeper where the subtree it may cut is larger.
constexpr int solve_probcut_depth(int empties) { return empties < 14 ? 0 : empties < 20 ? 2 : 4; }
// How many spreads of margin a cut needs at each selective level (level 1 the
// surest; 0 is the exact search, which never cuts).
constexpr double SOLVE_PROBCUT_CONFIDENCE[] = {0.0, 2.6, 2.0, 1.5, 1.1};
constexpr int SOLVE_SELECTIVE_LEVELS = 4;
static_assert(sizeof(SOLVE_PROBCUT_CONFIDENCE) / sizeof(double) == SOLVE_SELECTIVE_LEVELS + 1,
              "a confidence for each selective level");

// The margin in weight units at a node with `empties` empty squares.
inline int solve_probcut_margin(int level, int empties, int scale) {
    const double spread = SOLVE_PROBCUT_SPREAD[0] + SOLVE_PROBCUT_SPREAD[1] * empties +
                          SOLVE_PROBCUT_SPREAD[2] * solve_probcut_depth(empties);
    return static_cast<int>(std::lround(SOLVE_PROBCUT_CONFIDENCE[level] * std::max(spread, 1.0) * scale));
}

}  // namespace
}  // namespace flipcore
