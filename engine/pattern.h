// The learned evaluation's features: groups of squares (edges, corner blocks,
// rows, diagonals) whose contents, read as a base-3 number, index a table of
// weights. Each group's base list of squares is mapped by the board's eight
// symmetries; every image with a new set of squares is an instance of the
// group, and all instances of a group share one table, so what the weights
// learn about one edge holds for all four.
//
// PatternIndices keeps every instance's index from both sides' views and is
// updated move by move: a move changes the digits of the placed square and
// of the flipped ones only.
#pragma once

#include <array>
#include <cstdint>
#include <utility>

#include "engine/bitboard.h"

namespace flipcore {
namespace {

constexpr int PATTERN_MAX_SIZE = 10;

struct PatternGroup {
    const char* name;
    int size;
    int squares[PATTERN_MAX_SIZE];  // row * 8 + col, in digit order
};

constexpr PatternGroup PATTERN_GROUPS[] = {
    {"edge_x", 10, {0, 1, 2, 3, 4, 5, 6, 7, 9, 14}},
    {"corner_3x3", 9, {0, 1, 2, 8, 9, 10, 16, 17, 18}},
    {"corner_2x5", 10, {0, 1, 2, 3, 4, 8, 9, 10, 11, 12}},
    {"row_2", 8, {8, 9, 10, 11, 12, 13, 14, 15}},
    {"row_3", 8, {16, 17, 18, 19, 20, 21, 22, 23}},
    {"row_4", 8, {24, 25, 26, 27, 28, 29, 30, 31}},
    {"diag_8", 8, {0, 9, 18, 27, 36, 45, 54, 63}},
    {"diag_7", 7, {1, 10, 19, 28, 37, 46, 55}},
    {"diag_6", 6, {2, 11, 20, 29, 38, 47}},
    {"diag_5", 5, {3, 12, 21, 30, 39}},
    {"diag_4", 4, {4, 13, 22, 31}},
};
constexpr int PATTERN_GROUP_COUNT = static_cast<int>(sizeof(PATTERN_GROUPS) / sizeof(PATTERN_GROUPS[0]));

constexpr int pow3(int n) { return n == 0 ? 1 : 3 * pow3(n - 1); }

// The eight symmetries of the board, as maps of a square.
constexpr int symmetric_square(int sym, int sq) {
    const int c = sq & 7, r = sq >> 3;
    switch (sym) {
        case 0: return r * 8 + c;
        case 1: return r * 8 + (7 - c);
        case 2: return (7 - r) * 8 + c;
        case 3: return (7 - r) * 8 + (7 - c);
        case 4: return c * 8 + r;
        case 5: return c * 8 + (7 - r);
        case 6: return (7 - c) * 8 + r;
        default: return (7 - c) * 8 + (7 - r);
    }
}

struct PatternInstance {
    int group;
    int size;
    int squares[PATTERN_MAX_SIZE];
};

constexpr int PATTERN_INSTANCE_COUNT = 46;

// Every group's instances, group by group: the images of its base list under
// the symmetries in order, an image kept when its set of squares is new.
constexpr auto PATTERN_INSTANCES = [] {
    std::array<PatternInstance, PATTERN_INSTANCE_COUNT> out{};
    int n = 0;
    for (int g = 0; g < PATTERN_GROUP_COUNT; ++g) {
        const int first = n;
        for (int sym = 0; sym < 8; ++sym) {
            PatternInstance inst{g, PATTERN_GROUPS[g].size, {}};
            Bitboard set = 0;
            for (int j = 0; j < inst.size; ++j) {
                inst.squares[j] = symmetric_square(sym, PATTERN_GROUPS[g].squares[j]);
                set |= square_bit(inst.squares[j]);
            }
            bool seen = false;
            for (int k = first; k < n; ++k) {
                Bitboard other = 0;
                for (int j = 0; j < out[k].size; ++j) other |= square_bit(out[k].squares[j]);
                seen = seen || other == set;
            }
            if (!seen) out[n++] = inst;  // past the end would not be a constant expression
        }
    }
    return out;
}();

// How many instances there are, counted the same way (the array above has a
// fixed size; this checks that it is exactly filled).
constexpr int count_pattern_instances() {
    int n = 0;
    for (int g = 0; g < PATTERN_GROUP_COUNT; ++g) {
        Bitboard sets[8] = {};
        int kept = 0;
        for (int sym = 0; sym < 8; ++sym) {
            Bitboard set = 0;
            for (int j = 0; j < PATTERN_GROUPS[g].size; ++j)
                set |= square_bit(symmetric_square(sym, PATTERN_GROUPS[g].squares[j]));
            bool seen = false;
            for (int k = 0; k < kept; ++k) seen = seen || sets[k] == set;
            if (!seen) sets[kept++] = set;
        }
        n += kept;
    }
    return n;
}
static_assert(count_pattern_instances() == PATTERN_INSTANCE_COUNT, "every instance has its slot");
static_assert(pow3(PATTERN_MAX_SIZE) <= 65536, "an index fits in 16 bits");

// The instances each square belongs to, with the weight of its digit there.
constexpr int MAX_INSTANCES_PER_SQUARE = 8;
struct SquareDigit {
    uint8_t instance;
    uint16_t weight;  // 3 ** (the square's place in the instance)
};
struct SquarePatterns {
    int count;
    SquareDigit digit[MAX_INSTANCES_PER_SQUARE];
};
constexpr auto SQUARE_PATTERNS = [] {
    std::array<SquarePatterns, 64> out{};
    for (int i = 0; i < PATTERN_INSTANCE_COUNT; ++i)
        for (int j = 0; j < PATTERN_INSTANCES[i].size; ++j) {
            SquarePatterns& s = out[PATTERN_INSTANCES[i].squares[j]];
            s.digit[s.count++] = {static_cast<uint8_t>(i), static_cast<uint16_t>(pow3(j))};
        }
    return out;
}();
constexpr bool square_patterns_fit() {
    for (int i = 0; i < PATTERN_INSTANCE_COUNT; ++i)
        for (int j = 0; j < PATTERN_INSTANCES[i].size; ++j) {
            int n = 0;
            for (int k = 0; k < PATTERN_INSTANCE_COUNT; ++k)
                for (int m = 0; m < PATTERN_INSTANCES[k].size; ++m)
                    n += PATTERN_INSTANCES[k].squares[m] == PATTERN_INSTANCES[i].squares[j];
            if (n > MAX_INSTANCES_PER_SQUARE) return false;
        }
    return true;
}
static_assert(square_patterns_fit(), "no square lies in more instances than SquarePatterns holds");

// Every instance's index from each side's view: view[0] reads a side-1
// disc as digit 1 and a side-2 disc as 2, view[1] the other way round. The
// evaluation reads the side to move's view, so one weight table serves both
// sides to move; keeping both views costs a few additions per move.
struct PatternIndices {
    using View = std::array<uint16_t, PATTERN_INSTANCE_COUNT>;
    std::array<View, 2> view;

    // Digits from shifted bits rather than tests: a square's content is
    // unpredictable, and branching on it cost five times as long.
    static PatternIndices from_board(Bitboard black, Bitboard white) {
        PatternIndices p{};
        for (int i = 0; i < PATTERN_INSTANCE_COUNT; ++i) {
            int v0 = 0, v1 = 0;
            for (int j = PATTERN_INSTANCES[i].size - 1; j >= 0; --j) {
                const int sq = PATTERN_INSTANCES[i].squares[j];
                const int b = static_cast<int>(black >> sq & 1), w = static_cast<int>(white >> sq & 1);
                v0 = 3 * v0 + b + 2 * w;
                v1 = 3 * v1 + w + 2 * b;
            }
            p.view[0][static_cast<size_t>(i)] = static_cast<uint16_t>(v0);
            p.view[1][static_cast<size_t>(i)] = static_cast<uint16_t>(v1);
        }
        return p;
    }

    // Side `mover` (1 or 2) places on sq and turns over `flipped`. In the
    // mover's view the placed square goes from 0 to 1 and each flipped one
    // from 2 to 1; in the other view from 0 to 2 and from 1 to 2.
    void play(int mover, int sq, Bitboard flipped) {
        View& mine = view[static_cast<size_t>(mover - 1)];
        View& theirs = view[static_cast<size_t>(2 - mover)];
        const SquarePatterns& placed = SQUARE_PATTERNS[static_cast<size_t>(sq)];
        for (int k = 0; k < placed.count; ++k) {
            const SquareDigit d = placed.digit[k];
            mine[d.instance] = static_cast<uint16_t>(mine[d.instance] + d.weight);
            theirs[d.instance] = static_cast<uint16_t>(theirs[d.instance] + 2 * d.weight);
        }
        while (flipped) {
            const SquarePatterns& f = SQUARE_PATTERNS[static_cast<size_t>(pop_lowest(flipped))];
            for (int k = 0; k < f.count; ++k) {
                const SquareDigit d = f.digit[k];
                mine[d.instance] = static_cast<uint16_t>(mine[d.instance] - d.weight);
                theirs[d.instance] = static_cast<uint16_t>(theirs[d.instance] + d.weight);
            }
        }
    }

    // The indices after side 1 places on sq and turns over `flipped`, with
    // the views swapped so that the side then to move is side 1 again: what
    // from_board would give with the two sides' discs passed the other way.
    PatternIndices after_move(int sq, Bitboard flipped) const {
        PatternIndices next = *this;
        next.play(1, sq, flipped);
        std::swap(next.view[0], next.view[1]);
        return next;
    }
};

}  // namespace
}  // namespace flipcore
