// Pins the plain reference (tests/plain/plain.h) to the documented rules and
// worked examples, so that it can serve as the oracle for the engine.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "tests/cpp/test_util.h"
#include "tests/plain/plain.h"

using plain::Board;
using plain::Move;
using Moves = std::vector<Move>;
using testutil::board_from_rows;
using testutil::legal_moves;

namespace {

const double INF = std::numeric_limits<double>::infinity();

// The documented weights and combination, fed with the quantities that the
// documentation states for an example position.
double documented_value(int disc_total, int d, int pos, int mob) {
    double t = (disc_total - 4.0) / 60.0;
    if (t < 0) t = 0;
    if (t > 1) t = 1;
    double wd = std::fma(t, 17 * t, -2.0);
    double wp = std::fma(-9.0, t, 10.0);
    double wm = std::fma(-13.0, t, 15.0);
    return std::fma(double(mob), wm, std::fma(double(pos), wp, double(d) * wd));
}

Moves moves_of(const std::vector<testutil::LegalMove>& lm) {
    Moves out;
    for (const auto& m : lm) out.push_back(m.square);
    return out;
}

Board after_d3() {
    Board b = plain::start_board();
    plain::make_move(b, 3, 2, plain::collect_flips(b, 3, 2, 1), 1);
    return b;
}

Board transformed(const Board& b, int kind) {
    Board out{};
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) {
            int nr = r, nc = c;
            switch (kind) {
                case 0: nc = 7 - c; break;                 // mirror left-right
                case 1: nr = 7 - r; break;                 // mirror top-bottom
                case 2: nr = c; nc = r; break;             // transpose
                case 3: nr = c; nc = 7 - r; break;         // rotate a quarter turn
            }
            out[nr][nc] = b[r][c];
        }
    return out;
}

std::vector<testutil::Position> sample_positions(uint32_t seed, int games) {
    std::mt19937 rng(seed);
    std::vector<testutil::Position> out;
    for (int g = 0; g < games; ++g) {
        auto game = testutil::random_game(rng);
        out.insert(out.end(), game.begin(), game.end());
    }
    return out;
}

}  // namespace

// ---------------------------------------------------------------- move rules

TEST(PlainMoveRules, FlipOrderFollowsDirectionsThenDistance) {
    Board b{};
    for (auto [c, r] : Moves{{3, 2}, {4, 2}, {3, 3}, {2, 3}, {1, 1}}) b[r][c] = 2;
    for (auto [c, r] : Moves{{5, 2}, {4, 4}, {2, 4}}) b[r][c] = 1;
    // Directions 0, 1 and 2 bracket; direction 5 meets (1,1) and then the
    // empty (0,0) and contributes nothing.
    EXPECT_EQ(plain::collect_flips(b, 2, 2, 1), (Moves{{3, 2}, {4, 2}, {3, 3}, {2, 3}}));
    EXPECT_TRUE(plain::is_legal_move(b, 2, 2, 1));
}

TEST(PlainMoveRules, StartPositionMovesForBothSides) {
    Board b = plain::start_board();
    auto black = legal_moves(b, 1);
    ASSERT_EQ(moves_of(black), (Moves{{3, 2}, {2, 3}, {5, 4}, {4, 5}}));
    EXPECT_EQ(black[0].flips, (Moves{{3, 3}}));
    EXPECT_EQ(black[1].flips, (Moves{{3, 3}}));
    EXPECT_EQ(black[2].flips, (Moves{{4, 4}}));
    EXPECT_EQ(black[3].flips, (Moves{{4, 4}}));

    auto white = legal_moves(b, 2);
    ASSERT_EQ(moves_of(white), (Moves{{4, 2}, {5, 3}, {2, 4}, {3, 5}}));
    EXPECT_EQ(white[0].flips, (Moves{{4, 3}}));
    EXPECT_EQ(white[1].flips, (Moves{{4, 3}}));
    EXPECT_EQ(white[2].flips, (Moves{{3, 4}}));
    EXPECT_EQ(white[3].flips, (Moves{{3, 4}}));
}

TEST(PlainMoveRules, UnbracketedRunsFlipNothing) {
    // Placing side 1 on (0,3). East: O,O then X, bracketed. North-east: O
    // then an empty square. South-east: O,O,O,O up to the bottom edge.
    // North: own disc right next to the square, with O beyond it.
    Board b = board_from_rows({
        "X.......",
        "O.......",
        "XO......",
        ".OOX....",
        ".O......",
        "..O.....",
        "...O....",
        "....O...",
    });
    EXPECT_EQ(plain::collect_flips(b, 0, 3, 1), (Moves{{1, 3}, {2, 3}}));

    // Without the bracketed east run the same square is illegal.
    b[3][3] = 0;
    EXPECT_TRUE(plain::collect_flips(b, 0, 3, 1).empty());
    EXPECT_FALSE(plain::is_legal_move(b, 0, 3, 1));
}

TEST(PlainMoveRules, CornersAndOccupiedSquares) {
    // Every corner brackets along its three on-board directions only.
    Board b = board_from_rows({
        ".O....O.",
        "OO....OO",
        "..X..X..",
        "........",
        "........",
        "..X..X..",
        "OO....OO",
        ".O....O.",
    });
    b[0][2] = 1; b[2][0] = 1; b[0][5] = 1; b[2][7] = 1;
    b[7][2] = 1; b[5][0] = 1; b[7][5] = 1; b[5][7] = 1;
    EXPECT_EQ(plain::collect_flips(b, 0, 0, 1), (Moves{{1, 0}, {1, 1}, {0, 1}}));
    EXPECT_EQ(plain::collect_flips(b, 7, 0, 1), (Moves{{7, 1}, {6, 1}, {6, 0}}));
    EXPECT_EQ(plain::collect_flips(b, 0, 7, 1), (Moves{{1, 7}, {0, 6}, {1, 6}}));
    EXPECT_EQ(plain::collect_flips(b, 7, 7, 1), (Moves{{6, 7}, {6, 6}, {7, 6}}));
    // An occupied square is never a move, whatever surrounds it.
    b[0][0] = 2;
    EXPECT_FALSE(plain::is_legal_move(b, 0, 0, 1));
}

TEST(PlainMoveRules, MakeUnmakeAndLegalityAgreeOnRandomPositions) {
    for (const auto& p : sample_positions(11, 20)) {
        for (int side = 1; side <= 2; ++side) {
            for (int row = 0; row < 8; ++row)
                for (int col = 0; col < 8; ++col) {
                    auto flips = p.board[row][col] == 0 ? plain::collect_flips(p.board, col, row, side)
                                                        : Moves{};
                    ASSERT_EQ(plain::is_legal_move(p.board, col, row, side), !flips.empty());
                    if (flips.empty()) continue;
                    Board b = p.board;
                    plain::make_move(b, col, row, flips, side);
                    EXPECT_EQ(b[row][col], side);
                    for (auto [x, y] : flips) EXPECT_EQ(b[y][x], side);
                    plain::unmake_move(b, col, row, flips, side);
                    ASSERT_EQ(b, p.board);
                }
        }
    }
}

// ---------------------------------------------------------------- evaluation

TEST(PlainEvaluate, DocumentedExamples) {
    Board start = plain::start_board();
    for (int p = 0; p <= 2; ++p) EXPECT_EQ(plain::evaluate(start, p), 0.0) << p;

    Board d3 = after_d3();
    for (int p = 0; p <= 2; ++p) {
        EXPECT_EQ(plain::evaluate(d3, p), -35.53583333333333) << p;
        EXPECT_EQ(plain::evaluate(d3, p), documented_value(5, 3, -3, 0)) << p;
    }

    Board empty{};
    for (int p = 0; p <= 2; ++p) EXPECT_EQ(plain::evaluate(empty, p), 0.0) << p;

    Board corner{};
    corner[0][0] = 1;
    corner[0][1] = 2;
    EXPECT_EQ(plain::evaluate(corner, 0), 1215.0);
    EXPECT_EQ(plain::evaluate(corner, 1), 1215.0);
    EXPECT_EQ(plain::evaluate(corner, 2), 0.0);  // side 2 cannot move: end rule, equal discs

    Board five{};
    five[3][3] = five[3][4] = five[4][3] = five[4][4] = five[2][3] = 1;
    EXPECT_EQ(plain::evaluate(five, 1), 100005.0);
    EXPECT_EQ(plain::evaluate(five, 2), 100005.0);
    EXPECT_EQ(plain::evaluate(five, 0), documented_value(5, 5, -5, 0));
    EXPECT_NEAR(plain::evaluate(five, 0), 5 * (17.0 / 3600 - 2) - 5 * 9.85, 1e-12);

    // The same with colours exchanged: the disc difference counts for side 2.
    Board five_white{};
    five_white[3][3] = five_white[3][4] = five_white[4][3] = five_white[4][4] = five_white[2][3] = 2;
    EXPECT_EQ(plain::evaluate(five_white, 1), -100005.0);
    EXPECT_EQ(plain::evaluate(five_white, 2), -100005.0);
}

TEST(PlainEvaluate, FullBoards) {
    Board more_black{};  // rows 0-4 side 1, rows 5-7 side 2: 40 v 24
    Board equal{};       // rows 0-3 side 1, rows 4-7 side 2
    Board more_white{};  // rows 0-1 side 1, rows 2-7 side 2: 16 v 48
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) {
            more_black[r][c] = r < 5 ? 1 : 2;
            equal[r][c] = r < 4 ? 1 : 2;
            more_white[r][c] = r < 2 ? 1 : 2;
        }
    // Row sums of the weights: 190, -148, 12, 2, 2, 12, -148, 190.
    EXPECT_EQ(plain::evaluate(more_black, 1), 100016.0);
    EXPECT_EQ(plain::evaluate(more_black, 2), 100016.0);
    EXPECT_EQ(plain::evaluate(more_black, 0), 15.0 * 16 + (58 - 54));
    EXPECT_EQ(plain::evaluate(equal, 1), 0.0);
    EXPECT_EQ(plain::evaluate(equal, 2), 0.0);
    EXPECT_EQ(plain::evaluate(equal, 0), 0.0);
    EXPECT_EQ(plain::evaluate(more_white, 1), -100032.0);
    EXPECT_EQ(plain::evaluate(more_white, 0), 15.0 * -32 + (42 - 70));
}

TEST(PlainEvaluate, WeightsSlideWithDiscCount) {
    // Boards of side 1 discs only: nobody can move, so with player 0 the value
    // is the disc and position terms at the board's phase. Rows 0-2 hold 24
    // discs (weight sum 54); adding the corner (7,0) makes 25 and crosses the
    // point where the disc weight turns positive.
    Board b{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 8; ++c) b[r][c] = 1;
    double v24 = plain::evaluate(b, 0);
    EXPECT_EQ(v24, documented_value(24, 24, 54, 0));
    EXPECT_LT(v24, 54 * 7.0);  // discs count against side 1
    b[7][0] = 1;
    double v25 = plain::evaluate(b, 0);
    EXPECT_EQ(v25, documented_value(25, 25, 154, 0));
    EXPECT_GT(v25, 154 * 6.85);  // and now for it

    Board full{};
    for (auto& row : full) row.fill(1);
    EXPECT_EQ(plain::evaluate(full, 0), 15.0 * 64 + (520 - 408));
}

TEST(PlainEvaluate, SymmetriesAndColourExchange) {
    for (const auto& p : sample_positions(5, 10)) {
        for (int player = 0; player <= 2; ++player) {
            double v = plain::evaluate(p.board, player);
            for (int kind = 0; kind < 4; ++kind)
                ASSERT_EQ(plain::evaluate(transformed(p.board, kind), player), v);
            Board swapped = p.board;
            for (auto& row : swapped)
                for (auto& cell : row) cell = cell == 0 ? 0 : 3 - cell;
            int swapped_player = player == 0 ? 0 : 3 - player;
            ASSERT_EQ(plain::evaluate(swapped, swapped_player), -v);
        }
    }
}

// ---------------------------------------------------------------- keys

TEST(PlainKeys, TablesAndKeys) {
    plain::init_zobrist_seeded(42);
    std::mt19937_64 gen(42);
    EXPECT_EQ(plain::g_zob_b[0], gen());
    EXPECT_EQ(plain::g_zob_w[0], gen());
    for (int i = 0; i < 126; ++i) gen();
    EXPECT_EQ(plain::g_zob_player_b, gen());
    EXPECT_EQ(plain::g_zob_player_w, gen());

    uint64_t b63 = plain::g_zob_b[63];
    plain::init_zobrist_seeded(43);
    EXPECT_NE(plain::g_zob_b[63], b63);
    plain::init_zobrist_seeded(42);
    EXPECT_EQ(plain::g_zob_b[63], b63);

    Board empty{};
    EXPECT_EQ(plain::zobrist_key(empty, 1), plain::g_zob_player_b);
    EXPECT_EQ(plain::zobrist_key(empty, 2), plain::g_zob_player_w);

    Board start = plain::start_board();
    EXPECT_EQ(plain::zobrist_key(start, 7), plain::zobrist_key(start, 2));
    EXPECT_EQ(plain::zobrist_key(start, 1),
              plain::g_zob_player_b ^ plain::g_zob_w[27] ^ plain::g_zob_b[28] ^ plain::g_zob_b[35] ^
                  plain::g_zob_w[36]);
    Board odd = start;
    odd[0][0] = 3;
    odd[7][7] = -1;
    EXPECT_EQ(plain::zobrist_key(odd, 1), plain::zobrist_key(start, 1));
}

TEST(PlainKeys, UpdateMatchesFromScratch) {
    plain::init_zobrist_seeded(7);
    for (const auto& p : sample_positions(3, 10)) {
        for (const auto& m : legal_moves(p.board, p.player)) {
            Board b = p.board;
            uint64_t k = plain::key_after_move(plain::zobrist_key(b, p.player), p.player, m.square.first,
                                               m.square.second, m.flips);
            plain::make_move(b, m.square.first, m.square.second, m.flips, p.player);
            ASSERT_EQ(k, plain::zobrist_key(b, plain::opponent(p.player)));
        }
    }
}

// ---------------------------------------------------------------- search

namespace {

plain::SearchResult search(Board& b, int player, int depth, double alpha = -INF, double beta = INF) {
    return plain::minimax(b, player, depth, alpha, beta, plain::zobrist_key(b, player));
}

// Presets exact entries for the four children of the start position (side 1
// to move), in row-major order of the moves.
void preset_start_children(const double (&vals)[4], int depth) {
    Board start = plain::start_board();
    int i = 0;
    for (const auto& m : legal_moves(start, 1)) {
        Board b = start;
        plain::make_move(b, m.square.first, m.square.second, m.flips, 1);
        plain::tt[plain::zobrist_key(b, 2)] = plain::TTEntry{vals[i++], 'E', depth, {}};
    }
}

const Moves START_BLACK = {{3, 2}, {2, 3}, {5, 4}, {4, 5}};
const Moves START_WHITE = {{4, 2}, {5, 3}, {2, 4}, {3, 5}};

}  // namespace

TEST(PlainSearch, StartPosition) {
    plain::init(1);
    Board b = plain::start_board();
    const Board before = b;
    auto r1 = search(b, 1, 1);
    EXPECT_EQ(r1.val, -35.53583333333333);
    EXPECT_EQ(r1.moves, START_BLACK);
    EXPECT_EQ(plain::tt.size(), 1u);
    EXPECT_EQ(b, before);

    plain::init(1);
    auto r2 = search(b, 1, 2);
    EXPECT_EQ(r2.val, -14.566666666666666);
    EXPECT_EQ(r2.moves, START_BLACK);
    EXPECT_EQ(plain::tt.size(), 5u);
    EXPECT_EQ(b, before);

    plain::init(1);
    auto w1 = search(b, 2, 1);
    EXPECT_EQ(w1.val, 35.53583333333333);
    EXPECT_EQ(w1.moves, START_WHITE);
    plain::init(1);
    auto w2 = search(b, 2, 2);
    EXPECT_EQ(w2.val, 14.566666666666666);
    EXPECT_EQ(w2.moves, START_WHITE);
    EXPECT_EQ(plain::tt.size(), 5u);
}

TEST(PlainSearch, LeavesTouchNoTable) {
    plain::init(2);
    Board b = plain::start_board();
    auto r = search(b, 1, 0);
    EXPECT_EQ(r.val, 0.0);
    EXPECT_TRUE(r.moves.empty());
    EXPECT_TRUE(plain::tt.empty());

    // Side 2 without a move (but side 1 with one): end rule, nothing stored.
    Board corner{};
    corner[0][0] = 1;
    corner[0][1] = 2;
    auto p = search(corner, 2, 3);
    EXPECT_EQ(p.val, 0.0);
    EXPECT_TRUE(p.moves.empty());
    EXPECT_TRUE(plain::tt.empty());

    // The single move (2,0) wipes out side 2: the child scores 100003.
    auto one = search(corner, 1, 4);
    EXPECT_EQ(one.val, 100003.0);
    EXPECT_EQ(one.moves, (Moves{{2, 0}}));
}

TEST(PlainSearch, DepthOneIsBestOrderingScoreWithRowMajorTies) {
    // Game positions, arbitrary half-full boards, and one board where side 1
    // has 24 moves (more than the 20 the candidate list starts with).
    auto positions = sample_positions(9, 6);
    std::mt19937 rng(9);
    for (int i = 0; i < 40; ++i) positions.push_back({testutil::random_board(rng, 45, 50), 1 + i % 2});
    positions.push_back({testutil::wide_board(), 1});
    int checked = 0;
    bool saw_many = false;
    for (const auto& p : positions) {
        auto lm = legal_moves(p.board, p.player);
        if (lm.empty()) continue;
        saw_many = saw_many || lm.size() > 20;
        int opp = plain::opponent(p.player);
        double best = p.player == 1 ? -INF : INF;
        Moves best_moves;
        for (const auto& m : lm) {
            Board c = p.board;
            plain::make_move(c, m.square.first, m.square.second, m.flips, p.player);
            double v = plain::evaluate(c, opp);
            if (v == best) best_moves.push_back(m.square);
            if (p.player == 1 ? v > best : v < best) best = v, best_moves = {m.square};
        }
        plain::init(3);
        plain::nodes = 0;
        Board b = p.board;
        auto r = search(b, p.player, 1);
        ASSERT_EQ(r.val, best);
        ASSERT_EQ(r.moves, best_moves);
        ASSERT_EQ(plain::nodes, 1 + lm.size());  // every move searched
        ++checked;
    }
    EXPECT_GT(checked, 100);
    EXPECT_TRUE(saw_many) << "no position with more than 20 moves among the samples";
}

TEST(PlainSearch, TieAndCutOffWorkedExample) {
    Board b = plain::start_board();
    // Children return 4, 4, 2, 1 in search order.
    plain::init(4);
    preset_start_children({4, 4, 2, 1}, 1);
    plain::nodes = 0;
    auto full = search(b, 1, 2);
    EXPECT_EQ(full.val, 4.0);
    EXPECT_EQ(full.moves, (Moves{{3, 2}, {2, 3}}));
    EXPECT_EQ(plain::nodes, 5u);
    EXPECT_EQ(plain::tt[plain::zobrist_key(b, 1)].flag, 'E');

    plain::init(4);
    preset_start_children({4, 4, 2, 1}, 1);
    plain::nodes = 0;
    auto capped = search(b, 1, 2, -INF, 3.0);
    EXPECT_EQ(capped.val, 4.0);  // fail-soft: above beta
    EXPECT_EQ(capped.moves, (Moves{{3, 2}}));
    EXPECT_EQ(plain::nodes, 2u);  // m2..m4 never searched
    EXPECT_EQ(plain::tt[plain::zobrist_key(b, 1)].flag, 'L');

    // Cut-off on equality: once a == b no further sibling is searched.
    plain::init(4);
    preset_start_children({4, 4, 2, 1}, 1);
    plain::nodes = 0;
    auto equal = search(b, 1, 2, -INF, 4.0);
    EXPECT_EQ(equal.moves, (Moves{{3, 2}}));
    EXPECT_EQ(plain::nodes, 2u);

    // A shallower preset entry is ignored and the child searched afresh.
    plain::init(4);
    preset_start_children({4, 4, 2, 1}, 0);
    auto fresh = search(b, 1, 2);
    EXPECT_EQ(fresh.val, -14.566666666666666);
}

TEST(PlainSearch, ClassificationAgainstCallersWindow) {
    Board b = plain::start_board();
    const struct {
        double child;
        char flag;
        Moves moves;
    } cases[] = {
        {-1.0, 'U', START_BLACK},
        {1.0, 'L', Moves{{3, 2}}},  // a reaches b = 1 after the first child
        {0.5, 'E', START_BLACK},
    };
    for (const auto& c : cases) {
        plain::init(5);
        preset_start_children({c.child, c.child, c.child, c.child}, 1);
        auto r = search(b, 1, 2, -1.0, 1.0);
        EXPECT_EQ(r.val, c.child);
        EXPECT_EQ(r.moves, c.moves);
        const auto& e = plain::tt.at(plain::zobrist_key(b, 1));
        EXPECT_EQ(e.flag, c.flag) << c.child;
        EXPECT_EQ(e.val, c.child);
        EXPECT_EQ(e.depth, 2);
        EXPECT_EQ(e.moves, c.moves);
    }
}

TEST(PlainSearch, TableEntriesAnswerOrNarrow) {
    Board b = plain::start_board();
    uint64_t key;
    auto reset = [&](plain::TTEntry e) {
        plain::init(6);
        key = plain::zobrist_key(b, 1);
        plain::tt[key] = std::move(e);
        plain::nodes = 0;
    };

    // A deeper exact entry answers a shallower request, moves and all.
    reset({123.0, 'E', 5, {{7, 7}}});
    auto r = search(b, 1, 3);
    EXPECT_EQ(r.val, 123.0);
    EXPECT_EQ(r.moves, (Moves{{7, 7}}));
    EXPECT_EQ(plain::nodes, 1u);

    // A lower bound at or above beta answers at once, even above beta.
    reset({50.0, 'L', 2, {{0, 0}}});
    r = search(b, 1, 2, -INF, 10.0);
    EXPECT_EQ(r.val, 50.0);
    EXPECT_EQ(r.moves, (Moves{{0, 0}}));
    EXPECT_EQ(plain::nodes, 1u);

    // An upper bound at or below alpha likewise.
    reset({-50.0, 'U', 2, {}});
    r = search(b, 1, 2, -50.0, INF);
    EXPECT_EQ(r.val, -50.0);
    EXPECT_TRUE(r.moves.empty());
    EXPECT_EQ(plain::nodes, 1u);

    // A bound that leaves the window open narrows it and the node is
    // searched; the stored flag is still judged against the caller's window.
    reset({-20.0, 'L', 2, {}});
    r = search(b, 1, 2);
    EXPECT_EQ(r.val, -14.566666666666666);
    EXPECT_EQ(plain::tt.at(key).flag, 'E');
    EXPECT_EQ(plain::tt.at(key).depth, 2);

    // A shallower entry of any flag is ignored, then replaced.
    reset({999.0, 'E', 1, {{0, 0}}});
    r = search(b, 1, 2);
    EXPECT_EQ(r.val, -14.566666666666666);
    EXPECT_EQ(plain::tt.at(key).depth, 2);
    EXPECT_EQ(plain::tt.at(key).moves, START_BLACK);

    // A shallower search replaces a deeper entry (last store wins).
    reset({999.0, 'L', 6, {}});
    r = search(b, 1, 1, 1000.0, INF);  // 'L' 999 < alpha: no narrowing, searched
    EXPECT_EQ(r.val, -35.53583333333333);
    EXPECT_EQ(plain::tt.at(key).depth, 1);
    EXPECT_EQ(plain::tt.at(key).flag, 'U');

    // Repeating a search whose root was exact generates nothing.
    plain::init(6);
    search(b, 1, 3);
    plain::nodes = 0;
    r = search(b, 1, 3);
    EXPECT_EQ(plain::nodes, 1u);
}

TEST(PlainSearch, EmptyWindowFollowsOnlyTheFirstLine) {
    for (const auto& p : sample_positions(13, 3)) {
        if (legal_moves(p.board, p.player).empty()) continue;
        for (int depth = 1; depth <= 4; ++depth) {
            // The line of first-ordered moves, followed by hand.
            Board line = p.board;
            int side = p.player;
            int plies = 0;
            Move first{-1, -1};
            for (; plies < depth; ++plies) {
                auto lm = legal_moves(line, side);
                if (lm.empty()) break;
                const testutil::LegalMove* pick = nullptr;
                double pick_score = 0;
                for (const auto& m : lm) {
                    Board c = line;
                    plain::make_move(c, m.square.first, m.square.second, m.flips, side);
                    double s = plain::evaluate(c, plain::opponent(side));
                    if (!pick || (side == 1 ? s > pick_score : s < pick_score)) pick = &m, pick_score = s;
                }
                if (plies == 0) first = pick->square;
                plain::make_move(line, pick->square.first, pick->square.second, pick->flips, side);
                side = plain::opponent(side);
            }
            double expected = plain::evaluate(line, side);

            const double windows[][2] = {{0.0, 0.0}, {1e9, 1e9}, {5.0, -5.0}, {INF, -INF}};
            for (const auto& w : windows) {
                plain::init(8);
                plain::nodes = 0;
                Board b = p.board;
                auto r = search(b, p.player, depth, w[0], w[1]);
                ASSERT_EQ(r.val, expected);
                ASSERT_EQ(r.moves, (Moves{first}));
                ASSERT_EQ(plain::nodes, static_cast<uint64_t>(plies + 1));
                ASSERT_EQ(b, p.board);
            }
        }
    }
}
