// Position keys: one random 64-bit value per square and colour and one per
// side to move, XORed together. Drawn afresh on load and on every init().
#pragma once

#include <cstdint>
#include <random>

#include "engine/bitboard.h"
#include "engine/types.h"

namespace flipcore {
namespace {

uint64_t g_zob_b[64];
uint64_t g_zob_w[64];
uint64_t g_zob_player_b;
uint64_t g_zob_player_w;

// Key change of turning over the discs one byte (one row) of a bitboard
// holds: both colour keys of each of them toggle. Eight lookups turn over any
// set of discs without a loop whose length the processor cannot predict.
uint64_t g_zob_flip_row[8][256];

// Draws the 130 keys from a 64-bit Mersenne Twister with the given seed: the
// two colour tables interleaved square by square, then the two side keys.
inline void init_zobrist_seeded(uint32_t seed) {
    std::mt19937_64 gen(seed);
    for (int i = 0; i < 64; ++i) {
        g_zob_b[i] = gen();
        g_zob_w[i] = gen();
    }
    g_zob_player_b = gen();
    g_zob_player_w = gen();
    for (int row = 0; row < 8; ++row)
        for (int bits = 1; bits < 256; ++bits) {
            const int sq = row * 8 + lowest_square(static_cast<Bitboard>(bits));
            g_zob_flip_row[row][bits] = g_zob_flip_row[row][bits & (bits - 1)] ^ g_zob_b[sq] ^ g_zob_w[sq];
        }
}

// Seeds from the operating system's random source, so keys differ from one
// load or init() to the next. A failing source throws before any key changes.
inline void init_zobrist_random() {
    uint32_t seed;
    {
        std::random_device rd("default");
        seed = rd();
    }
    init_zobrist_seeded(seed);
}

// Key of a position computed from scratch; cells other than 1 and 2 add nothing.
inline uint64_t zobrist_key(const Board& board, int player) {
    uint64_t key = player == BLACK ? g_zob_player_b : g_zob_player_w;
    for (int sq = 0; sq < 64; ++sq) {
        const int32_t cell = board[row_of(sq)][col_of(sq)];
        if (cell == BLACK) key ^= g_zob_b[sq];
        if (cell == WHITE) key ^= g_zob_w[sq];
    }
    return key;
}

// Key of the position after `side` places on sq turning over `flipped`, with
// the opponent to move.
inline uint64_t key_after_move(uint64_t key, int side, int sq, Bitboard flipped) {
    key ^= side == BLACK ? g_zob_b[sq] : g_zob_w[sq];
#pragma GCC unroll 8
    for (int row = 0; row < 8; ++row) key ^= g_zob_flip_row[row][(flipped >> (8 * row)) & 0xFF];
    return key ^ g_zob_player_b ^ g_zob_player_w;
}

}  // namespace
}  // namespace flipcore
