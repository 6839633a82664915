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

}  // namespace
}  // namespace flipcore
