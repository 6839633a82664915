// Plain reference of the game model and the search, used as a test oracle.
//
// Everything here is written for obviousness, not speed: one step of the
// rules per line, no bit tricks, no caching. The engine under engine/ must
// produce bit-identical results to this file for every valid input
// (cells 0/1/2, player 1/2, depth >= 0), which tests/cpp/test_crosscheck.cpp
// checks. Header-only (inline functions and variables) so several test
// translation units can include it.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <unordered_map>
#include <utility>
#include <vector>

namespace plain {

// Cells: 0 empty, 1 side-1 disc, 2 side-2 disc. Indexed [row][col].
using Board = std::array<std::array<int32_t, 8>, 8>;
// A square or move as (col, row).
using Move = std::pair<int32_t, int32_t>;

// Direction k steps DX[k] columns and DY[k] rows; always visited k = 0..7.
inline constexpr int32_t DX[8] = {1, 1, 0, -1, -1, -1, 0, 1};
inline constexpr int32_t DY[8] = {0, 1, 1, 1, 0, -1, -1, -1};

inline int opponent(int side) { return side == 1 ? 2 : 1; }

inline bool on_board(int x, int y) { return x >= 0 && x <= 7 && y >= 0 && y <= 7; }

// A cell is opposing for `side` when it holds neither 0 nor the side's code.
inline bool opposing(const Board& board, int x, int y, int side) {
    int32_t cell = board[y][x];
    return cell != 0 && cell != side;
}

// Discs turned over when `side` places on (col, row): directions in table
// order, each bracketed run nearest square first. A run is gathered on its
// own and appended only once it is known to be bracketed.
inline std::vector<Move> collect_flips(const Board& board, int col, int row, int side) {
    std::vector<Move> flips;
    for (int k = 0; k < 8; ++k) {
        int x = col + DX[k];
        int y = row + DY[k];
        if (!on_board(x, y)) continue;
        std::vector<Move> run;
        while (on_board(x, y) && opposing(board, x, y, side)) {
            run.push_back(Move(x, y));
            x += DX[k];
            y += DY[k];
        }
        if (!on_board(x, y)) continue;          // ran off the edge
        if (board[y][x] != side) continue;      // stopped at an empty cell
        if (run.empty()) continue;              // own disc right next to the square
        for (const Move& m : run) flips.push_back(m);
    }
    return flips;
}

// True when (col, row) is empty and some direction brackets a run. Stops at
// the first bracketed direction and builds no list.
inline bool is_legal_move(const Board& board, int col, int row, int side) {
    if (board[row][col] != 0) return false;
    for (int k = 0; k < 8; ++k) {
        int x = col + DX[k];
        int y = row + DY[k];
        if (!on_board(x, y)) continue;
        int run_length = 0;
        while (on_board(x, y) && opposing(board, x, y, side)) {
            ++run_length;
            x += DX[k];
            y += DY[k];
        }
        if (!on_board(x, y)) continue;
        if (board[y][x] != side) continue;
        if (run_length == 0) continue;
        return true;
    }
    return false;
}

inline void make_move(Board& board, int col, int row, const std::vector<Move>& flips, int side) {
    board[row][col] = side;
    for (const Move& f : flips) board[f.second][f.first] = side;
}

// Restores the flipped squares to the opponent's code; exact for boards of
// 0/1/2 cells and side 1 or 2.
inline void unmake_move(Board& board, int col, int row, const std::vector<Move>& flips, int side) {
    board[row][col] = 0;
    for (const Move& f : flips) board[f.second][f.first] = opponent(side);
}

// Positional weight of each square, [row][col].
inline constexpr int32_t SCORES[8][8] = {
    {100, -20, 10, 5, 5, 10, -20, 100},
    {-20, -50, -2, -2, -2, -2, -50, -20},
    {10, -2, -1, -1, -1, -1, -2, 10},
    {5, -2, -1, -1, -1, -1, -2, 5},
    {5, -2, -1, -1, -1, -1, -2, 5},
    {10, -2, -1, -1, -1, -1, -2, 10},
    {-20, -50, -2, -2, -2, -2, -50, -20},
    {100, -20, 10, 5, 5, 10, -20, 100},
};

// Static value from side 1's point of view. `player` is the side to move;
// 0 skips the end rule.
inline double evaluate(const Board& board, int player) {
    int32_t discs1 = 0, discs2 = 0, pos1 = 0, pos2 = 0;
    for (int row = 0; row < 8; ++row) {
        for (int col = 0; col < 8; ++col) {
            if (board[row][col] == 1) {
                discs1 += 1;
                pos1 += SCORES[row][col];
            } else if (board[row][col] == 2) {
                discs2 += 1;
                pos2 += SCORES[row][col];
            }
        }
    }

    int32_t mob1 = 0, mob2 = 0;
    for (int row = 0; row < 8; ++row) {
        for (int col = 0; col < 8; ++col) {
            if (is_legal_move(board, col, row, 1)) mob1 += 1;
            if (is_legal_move(board, col, row, 2)) mob2 += 1;
        }
    }

    // End rule: the side to move has no legal move.
    if (player != 0) {
        int32_t mover_mobility = (player == 1) ? mob1 : mob2;
        if (mover_mobility == 0) {
            double d = static_cast<double>(discs1 - discs2);
            if (discs1 > discs2) return d + 100000.0;
            if (discs1 < discs2) return d - 100000.0;
            return 0.0;
        }
    }

    double t = (discs1 + discs2 - 4.0) / 60.0;
    if (t < 0) t = 0;
    if (t > 1) t = 1;

    double u = 17 * t;
    double wd = std::fma(t, u, -2.0);
    double wp = std::fma(-9.0, t, 10.0);
    double wm = std::fma(-13.0, t, 15.0);

    double d = static_cast<double>(discs1 - discs2);
    double pos = static_cast<double>(pos1 - pos2);
    double mob = static_cast<double>(mob1 - mob2);

    double v = d * wd;
    v = std::fma(pos, wp, v);
    v = std::fma(mob, wm, v);
    return v;
}

// Zobrist key tables, square index row * 8 + col.
inline uint64_t g_zob_b[64] = {};
inline uint64_t g_zob_w[64] = {};
inline uint64_t g_zob_player_b = 0;
inline uint64_t g_zob_player_w = 0;

// Same draw as the engine's random generation, but from a given seed:
// 130 outputs, the two disc tables interleaved square by square, then the
// two side-to-move keys.
inline void init_zobrist_seeded(uint32_t seed) {
    std::mt19937_64 gen(seed);
    for (int i = 0; i < 64; ++i) {
        g_zob_b[i] = gen();
        g_zob_w[i] = gen();
    }
    g_zob_player_b = gen();
    g_zob_player_w = gen();
}

inline uint64_t zobrist_key(const Board& board, int player) {
    uint64_t key = (player == 1) ? g_zob_player_b : g_zob_player_w;
    for (int row = 0; row < 8; ++row) {
        for (int col = 0; col < 8; ++col) {
            int i = row * 8 + col;
            if (board[row][col] == 1) key ^= g_zob_b[i];
            if (board[row][col] == 2) key ^= g_zob_w[i];
        }
    }
    return key;
}

// Key after `side` places on (col, row) turning over `flips`, with the
// opponent to move.
inline uint64_t key_after_move(uint64_t key, int side, int col, int row, const std::vector<Move>& flips) {
    const uint64_t* own = (side == 1) ? g_zob_b : g_zob_w;
    key ^= own[row * 8 + col];
    for (const Move& f : flips) {
        int i = f.second * 8 + f.first;
        key ^= g_zob_b[i];
        key ^= g_zob_w[i];
    }
    key ^= g_zob_player_b;
    key ^= g_zob_player_w;
    return key;
}

struct TTEntry {
    double val;
    char flag;  // 'E' exact, 'L' lower bound, 'U' upper bound
    int32_t depth;
    std::vector<Move> moves;
};

inline std::unordered_map<uint64_t, TTEntry> tt;

struct MoveCandidate {
    double score;
    int32_t col;
    int32_t row;
    uint64_t key;
    std::vector<Move> flips;
};

struct SearchResult {
    double val;
    std::vector<Move> moves;
};

// Side 1 puts higher ordering scores first, every other side lower ones.
struct CandidateOrder {
    bool maximising;
    bool operator()(const MoveCandidate& a, const MoveCandidate& b) const {
        if (maximising) return a.score > b.score;
        return a.score < b.score;
    }
};

// Number of minimax calls since it was last reset; tests use it to see
// which nodes were visited.
inline uint64_t nodes = 0;

inline SearchResult minimax(Board& board, int player, int depth, double alpha, double beta, uint64_t key) {
    ++nodes;

    // 1. Depth leaf.
    if (depth == 0) return SearchResult{evaluate(board, player), {}};

    // 2. Table probe.
    double a = alpha;
    double b = beta;
    auto found = tt.find(key);
    if (found != tt.end() && found->second.depth >= depth) {
        const TTEntry& entry = found->second;
        if (entry.flag == 'E') return SearchResult{entry.val, entry.moves};
        if (entry.flag == 'L' || entry.flag == 'U') {
            if (entry.flag == 'L') a = (entry.val > alpha) ? entry.val : alpha;
            if (entry.flag == 'U') b = (entry.val < beta) ? entry.val : beta;
            if (a >= b) return SearchResult{entry.val, entry.moves};
        }
    }

    // 3. Candidate generation, row-major.
    int opp = opponent(player);
    std::vector<MoveCandidate> candidates;
    candidates.reserve(20);
    for (int row = 0; row < 8; ++row) {
        for (int col = 0; col < 8; ++col) {
            if (board[row][col] != 0) continue;
            std::vector<Move> flips = collect_flips(board, col, row, player);
            if (flips.empty()) continue;
            make_move(board, col, row, flips, player);
            uint64_t child_key = key_after_move(key, player, col, row, flips);
            double score = evaluate(board, opp);
            unmake_move(board, col, row, flips, player);
            candidates.push_back(MoveCandidate{score, col, row, child_key, std::move(flips)});
        }
    }

    // 4. No legal move.
    if (candidates.empty()) return SearchResult{evaluate(board, player), {}};

    // 5. Ordering.
    std::stable_sort(candidates.begin(), candidates.end(), CandidateOrder{player == 1});

    // 6. Child loop.
    double best = (player == 1) ? -std::numeric_limits<double>::infinity()
                                : std::numeric_limits<double>::infinity();
    std::vector<Move> best_moves;
    for (const MoveCandidate& c : candidates) {
        make_move(board, c.col, c.row, c.flips, player);
        SearchResult child = minimax(board, opp, depth - 1, a, b, c.key);
        unmake_move(board, c.col, c.row, c.flips, player);
        if (player == 1) {
            if (child.val > best) {
                best = child.val;
                best_moves.clear();
                best_moves.push_back(Move(c.col, c.row));
            } else if (child.val == best) {
                best_moves.push_back(Move(c.col, c.row));
            }
            if (child.val > a) a = child.val;
        } else {
            if (child.val < best) {
                best = child.val;
                best_moves.clear();
                best_moves.push_back(Move(c.col, c.row));
            } else if (child.val == best) {
                best_moves.push_back(Move(c.col, c.row));
            }
            if (child.val < b) b = child.val;
        }
        if (a >= b) break;
    }

    // 8. Classification against the window as received.
    char flag;
    if (best <= alpha) {
        flag = 'U';
    } else if (best >= beta) {
        flag = 'L';
    } else {
        flag = 'E';
    }

    // 9. Store, always overwriting.
    TTEntry& entry = tt[key];
    entry.val = best;
    entry.flag = flag;
    entry.depth = depth;
    entry.moves = best_moves;

    // 10. Return.
    return SearchResult{best, best_moves};
}

// Fresh keys from `seed`, then an empty table (keys first, as the engine's
// init does).
inline void init(uint32_t seed) {
    init_zobrist_seeded(seed);
    tt.clear();
}

// The start position: side 2 on (3,3) and (4,4), side 1 on (4,3) and (3,4).
inline Board start_board() {
    Board b{};
    b[3][3] = 2;
    b[4][4] = 2;
    b[3][4] = 1;
    b[4][3] = 1;
    return b;
}

}  // namespace plain
