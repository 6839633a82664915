// 64-bit boards: bit (row * 8 + col) stands for square (col, row), so bit
// order from the least significant end is the row-major scan order.
#pragma once

#include <array>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/types.h"

namespace flipcore {
namespace {

using Bitboard = uint64_t;

constexpr Bitboard square_bit(int sq) { return Bitboard{1} << sq; }

constexpr Bitboard COL_0 = 0x0101010101010101ULL;
constexpr Bitboard COL_7 = 0x8080808080808080ULL;

// Forces a hot helper into its caller, so that it is compiled with the
// caller's instruction set (see the kernel sets below).
#define FLIPCORE_INLINE __attribute__((always_inline)) inline

// The two kernel sets the search is compiled with. Baseline runs on every
// x86-64 processor (SSE2). Avx2 is used when the processor has AVX2, BMI1/2,
// POPCNT and FMA: its code is the same C++, compiled inside functions that
// enable those instructions, with wider vectors where they pay.
struct Baseline {
    static constexpr bool wide = false;
};
struct Avx2 {
    static constexpr bool wide = true;
};
#define FLIPCORE_AVX2_TARGET __attribute__((target("avx2,bmi,bmi2,popcnt,fma")))

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

// Population count in a kernel set: the builtin becomes one POPCNT inside
// the Avx2 functions.
template <class Isa>
FLIPCORE_INLINE int popcount_in(Bitboard b) {
    if constexpr (Isa::wide) return __builtin_popcountll(b);
    else return popcount(b);
}

// Index of the lowest set bit; b must not be 0.
constexpr int lowest_square(Bitboard b) { return __builtin_ctzll(b); }

// Index of the highest set bit; b must not be 0.
constexpr int highest_square(Bitboard b) { return 63 - __builtin_clzll(b); }

// Removes and returns the lowest set square; b must not be 0.
constexpr int pop_lowest(Bitboard& b) {
    const int sq = lowest_square(b);
    b &= b - 1;
    return sq;
}

// The eight directions in their fixed visiting order, as (column step, row step).
constexpr int DX[8] = {1, 1, 0, -1, -1, -1, 0, 1};
constexpr int DY[8] = {0, 1, 1, 1, 0, -1, -1, -1};

// Bit-index step of direction k: one square along it.
template <int K>
constexpr int STEP = DY[K] * 8 + DX[K];

// Shifts every bit by S squares in bit order (towards higher bits when S > 0).
template <int S>
constexpr Bitboard shift_by(Bitboard b) {
    if constexpr (S > 0) return b << S;
    else return b >> -S;
}

constexpr Bitboard INNER_COLS = ~(COL_0 | COL_7);

// Opponent discs that can lie inside a bracketed run in direction K. A run
// that moves sideways never reaches column 0 or 7 (a bracketing disc must lie
// beyond it), so masking those columns out also keeps every shift below from
// wrapping a disc onto the next row: a run bit is never in an edge column.
template <int K>
constexpr Bitboard run_mask(Bitboard opp) {
    return DX[K] == 0 ? opp : opp & INNER_COLS;
}

// From every seed square, the unbroken run of `runnable` squares that starts
// one step away in direction K (at most six squares long). Doubling steps:
// runs of up to two single steps, then two extensions by two squares each.
template <int K, class B>
constexpr B runs_from(B seeds, B runnable) {
    constexpr int s = STEP<K>;
    B run = runnable & shift_by<s>(seeds);
    run |= runnable & shift_by<s>(run);
    const B pairs = runnable & shift_by<s>(runnable);
    run |= pairs & shift_by<2 * s>(run);
    run |= pairs & shift_by<2 * s>(run);
    return run;
}

// Empty squares from which the side owning `own` brackets a run in direction K.
template <int K>
constexpr Bitboard moves_in_direction(Bitboard own, Bitboard opp, Bitboard empty) {
    return empty & shift_by<STEP<K>>(runs_from<K>(own, run_mask<K>(opp)));
}

// Room for any move list: a position never has more legal moves than empty
// squares, even one set up by hand.
constexpr int MAX_MOVES = 64;

// Every square where the side owning `own` may legally place a disc.
constexpr Bitboard legal_moves(Bitboard own, Bitboard opp) {
    const Bitboard empty = ~(own | opp);
    return moves_in_direction<0>(own, opp, empty) | moves_in_direction<1>(own, opp, empty) |
           moves_in_direction<2>(own, opp, empty) | moves_in_direction<3>(own, opp, empty) |
           moves_in_direction<4>(own, opp, empty) | moves_in_direction<5>(own, opp, empty) |
           moves_in_direction<6>(own, opp, empty) | moves_in_direction<7>(own, opp, empty);
}

// LINES[sq][k]: the squares from sq (exclusive) to the edge in direction k.
constexpr auto LINES = [] {
    std::array<std::array<Bitboard, 8>, 64> lines{};
    for (int sq = 0; sq < 64; ++sq)
        for (int k = 0; k < 8; ++k)
            for (int c = (sq & 7) + DX[k], r = (sq >> 3) + DY[k]; c >= 0 && c < 8 && r >= 0 && r < 8;
                 c += DX[k], r += DY[k])
                lines[sq][k] |= square_bit(r * 8 + c);
    return lines;
}();

// The opponent discs one direction turns over when `own` places on sq. The
// first square along the line that is not an opponent disc closes the run;
// it is the nearest set bit of the line minus the opponent's discs, which is
// the lowest bit for directions that climb in bit order and the highest for
// those that descend. The run is bracketed when that square is the mover's.
template <int K>
FLIPCORE_INLINE constexpr Bitboard flips_in_direction(Bitboard own, Bitboard opp, int sq) {
    const Bitboard line = LINES[sq][K];
    const Bitboard stops = line & ~opp;
    if constexpr (STEP<K> > 0) {
        const Bitboard closer = stops & (0 - stops);  // lowest set bit, or 0
        return (closer & own) ? line & (closer - 1) : 0;
    } else {
        if (!stops) return 0;
        const Bitboard closer = square_bit(63 - __builtin_clzll(stops));
        return (closer & own) ? line & ~((closer << 1) - 1) : 0;
    }
}

// All discs turned over by placing on square sq (0 when the move is illegal).
FLIPCORE_INLINE constexpr Bitboard flips(Bitboard own, Bitboard opp, int sq) {
    return flips_in_direction<0>(own, opp, sq) | flips_in_direction<1>(own, opp, sq) |
           flips_in_direction<2>(own, opp, sq) | flips_in_direction<3>(own, opp, sq) |
           flips_in_direction<4>(own, opp, sq) | flips_in_direction<5>(own, opp, sq) |
           flips_in_direction<6>(own, opp, sq) | flips_in_direction<7>(own, opp, sq);
}

// Legal-move masks of both sides at once: side 1's in `black`, side 2's in
// `white`.
struct MovePair {
    Bitboard black;
    Bitboard white;
};

#if defined(__SSE2__)
// Baseline: the two sides share one pass in the two halves of an SSE2
// register (every x86-64 processor has SSE2).
struct Lanes {
    __m128i v;
    friend Lanes operator&(Lanes a, Lanes b) { return {_mm_and_si128(a.v, b.v)}; }
    friend Lanes operator|(Lanes a, Lanes b) { return {_mm_or_si128(a.v, b.v)}; }
    Lanes& operator|=(Lanes b) { v = _mm_or_si128(v, b.v); return *this; }
};
template <int S>
FLIPCORE_INLINE Lanes shift_by(Lanes b) {
    if constexpr (S > 0) return {_mm_slli_epi64(b.v, S)};
    else return {_mm_srli_epi64(b.v, -S)};
}
FLIPCORE_INLINE Lanes lanes(Bitboard low, Bitboard high) {
    return {_mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low))};
}

template <int K>
FLIPCORE_INLINE Lanes moves_in_direction(Lanes own, Lanes opp, Lanes runnable_sideways, Lanes empty) {
    const Lanes runnable = DX[K] == 0 ? opp : runnable_sideways;
    return empty & shift_by<STEP<K>>(runs_from<K>(own, runnable));
}

FLIPCORE_INLINE MovePair legal_moves_pair(Bitboard black, Bitboard white) {
    const Lanes own = lanes(black, white), opp = lanes(white, black);
    const Lanes empty = lanes(~(black | white), ~(black | white));
    const Lanes sideways = opp & lanes(INNER_COLS, INNER_COLS);
    const Lanes m = moves_in_direction<0>(own, opp, sideways, empty) | moves_in_direction<1>(own, opp, sideways, empty) |
                    moves_in_direction<2>(own, opp, sideways, empty) | moves_in_direction<3>(own, opp, sideways, empty) |
                    moves_in_direction<4>(own, opp, sideways, empty) | moves_in_direction<5>(own, opp, sideways, empty) |
                    moves_in_direction<6>(own, opp, sideways, empty) | moves_in_direction<7>(own, opp, sideways, empty);
    alignas(16) uint64_t out[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(out), m.v);
    return {out[0], out[1]};
}
#else
FLIPCORE_INLINE MovePair legal_moves_pair(Bitboard black, Bitboard white) {
    return {legal_moves(black, white), legal_moves(white, black)};
}
#endif

// Avx2: one side's four directions that climb in bit order (steps 1, 9, 8, 7)
// in the four lanes of a 256-bit vector, shifted by a per-lane amount; the four
// that descend are the same shifts the other way. Written with the compiler's
// generic vectors, which become AVX2 instructions inside the Avx2 functions.
using Quad = uint64_t __attribute__((vector_size(32)));
// The helpers that pass Quads by value are always inlined into the Avx2
// functions and never called across a compiled boundary, so the compiler's
// note that such calls would use another convention without AVX does not
// apply (the build turns it off with -Wno-psabi).

FLIPCORE_INLINE Quad broadcast(Bitboard b) { return Quad{b, b, b, b}; }

// One side's legal moves, still spread over the four lanes (OR them
// together), from the two sides' discs and the empty squares in every lane.
FLIPCORE_INLINE Quad moves_of_side_quad(Quad seeds, Quad opp, Quad empty) {
    constexpr Quad step = {1, 9, 8, 7};
    constexpr Quad step2 = {2, 18, 16, 14};
    // Columns 0 and 7 never hold a run that moves sideways (all but the step-8 lane).
    constexpr Quad sideways = {INNER_COLS, INNER_COLS, ~Bitboard{0}, INNER_COLS};
    const Quad runnable = opp & sideways;

    Quad up = runnable & (seeds << step);
    Quad down = runnable & (seeds >> step);
    up |= runnable & (up << step);
    down |= runnable & (down >> step);
    const Quad pairs_up = runnable & (runnable << step);
    const Quad pairs_down = pairs_up >> step;  // the same pairs, named by their other end
    up |= pairs_up & (up << step2);
    down |= pairs_down & (down >> step2);
    up |= pairs_up & (up << step2);
    down |= pairs_down & (down >> step2);
    return empty & ((up << step) | (down >> step));
}

// Both sides' lane-spread moves folded to one mask each, sharing the shuffles.
FLIPCORE_INLINE MovePair fold_pair(Quad black, Quad white) {
    const Quad halves = __builtin_shuffle(black, white, Quad{0, 1, 4, 5}) |
                        __builtin_shuffle(black, white, Quad{2, 3, 6, 7});  // b01|b23, w01|w23
    const Quad folded = halves | __builtin_shuffle(halves, Quad{1, 0, 3, 2});
    return {folded[0], folded[2]};
}

// LINES split by the way a direction runs through the bit order, four lanes
// each in the lane order of the vectors above.
struct LineQuads {
    Quad climbing, descending;
};
const std::array<LineQuads, 64> LINE_QUADS = [] {
    std::array<LineQuads, 64> quads{};
    for (int sq = 0; sq < 64; ++sq)
        for (int k = 0; k < 4; ++k) {
            quads[sq].climbing[k] = LINES[sq][k];
            quads[sq].descending[k] = LINES[sq][k + 4];
        }
    return quads;
}();

// Avx2 flips: the eight directions of flips() in two vectors. Where the
// nearest non-opponent square is the highest set bit, the squares below it
// on the line are smeared over so that it stands alone.
FLIPCORE_INLINE Bitboard flips_quad(Bitboard own, Bitboard opp, int sq) {
    const Quad o = {opp, opp, opp, opp}, w = {own, own, own, own};
    const Quad up = LINE_QUADS[sq].climbing, down = LINE_QUADS[sq].descending;
    const Quad zero = {0, 0, 0, 0};

    const Quad up_stops = up & ~o;
    const Quad up_closer = up_stops & (zero - up_stops);
    const Quad up_flips = up & (up_closer - 1) & reinterpret_cast<Quad>((up_closer & w) != 0);

    // The line's squares lie one step apart, so three doublings by the step
    // smear across all seven of them.
    constexpr Quad step = {-STEP<4>, -STEP<5>, -STEP<6>, -STEP<7>};
    const Quad down_stops = down & ~o;
    Quad smear = down_stops | (down_stops >> step);
    smear |= smear >> (step + step);
    smear |= smear >> (4 * step);
    const Quad down_closer = down_stops & ~(smear >> step);
    const Quad down_flips = down & ~((down_closer << 1) - 1) & reinterpret_cast<Quad>((down_closer & w) != 0);

    const Quad all = up_flips | down_flips;
    return all[0] | all[1] | all[2] | all[3];
}

template <class Isa>
FLIPCORE_INLINE Bitboard flips_in(Bitboard own, Bitboard opp, int sq) {
    if constexpr (Isa::wide) return flips_quad(own, opp, sq);
    else return flips(own, opp, sq);
}

template <class Isa>
FLIPCORE_INLINE MovePair legal_moves_both(Bitboard black, Bitboard white) {
    if constexpr (Isa::wide) {
        const Quad b = broadcast(black), w = broadcast(white), empty = broadcast(~(black | white));
        return fold_pair(moves_of_side_quad(b, w, empty), moves_of_side_quad(w, b, empty));
    } else {
        return legal_moves_pair(black, white);
    }
}

// One side's legal moves in a kernel set.
template <class Isa>
FLIPCORE_INLINE Bitboard legal_moves_in(Bitboard own, Bitboard opp) {
    if constexpr (Isa::wide) {
        const Quad m = moves_of_side_quad(broadcast(own), broadcast(opp), broadcast(~(own | opp)));
        return m[0] | m[1] | m[2] | m[3];
    } else {
        return legal_moves(own, opp);
    }
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
