// The exact solver (engine/solve.h) against the plain full-minimax solver
// (tests/plain/plain_solver.h) on positions from random games, in every mode
// and both kernel sets; its answers under the board's symmetries; the
// standard endgame positions; the stop hook, progress reports, tiny tables
// and cleared ones. The cross-checks run with one thread and with two
// (sharing from 7 empties, so that even small positions split).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/solve.h"
#include "tests/cpp/test_util.h"
#include "tests/data/endgame_positions.h"
#include "tests/plain/plain_solver.h"

namespace fc = flipcore;
using fc::Bitboard;
using plain::Board;

namespace {

// Fewer cases under the sanitizers, which slow the search tenfold or more.
#if defined(FLIPCORE_SANITIZE) || defined(__SANITIZE_ADDRESS__)
constexpr int CASE_DIVISOR = 8;
#else
constexpr int CASE_DIVISOR = 1;
#endif

int cases(int n) { return std::max(1, n / CASE_DIVISOR); }

// A solver searching with two threads, sharing every node with a move list.
fc::Solver two_threads(size_t table_bytes = fc::DEFAULT_SOLVE_TABLE_BYTES) {
    fc::Solver s(table_bytes);
    s.threads = 2;
    s.split_min_empties = fc::solve_detail::SHALLOW_EMPTIES + 1;
    return s;
}

Bitboard discs_of(const Board& b, int side) {
    Bitboard out = 0;
    for (int sq = 0; sq < 64; ++sq)
        if (b[sq / 8][sq % 8] == side) out |= Bitboard{1} << sq;
    return out;
}

int empties_of(const Board& b) {
    int n = 0;
    for (const auto& row : b)
        for (int cell : row) n += cell == 0;
    return n;
}

// Positions from random games with at most max_empties empty squares: every
// such position of each game, so that passes and finished games are in.
std::vector<testutil::Position> endgame_positions(uint32_t seed, int games, int max_empties) {
    std::mt19937 rng(seed);
    std::vector<testutil::Position> out;
    for (int g = 0; g < games; ++g)
        for (const auto& p : testutil::random_game(rng))
            if (empties_of(p.board) <= max_empties) out.push_back(p);
    return out;
}

// What the plain solver says about a position: each move's score, the best
// score and the moves reaching it.
struct Reference {
    int score;
    std::vector<int> best;
    std::vector<std::pair<int, int>> move_scores;
};

Reference reference(Board b, int player) {
    Reference r{};
    r.move_scores = plain::solve_every_move(b, player);
    if (r.move_scores.empty()) {
        r.score = plain::solve_score(b, player);
        return r;
    }
    r.score = -1000;
    for (auto [sq, v] : r.move_scores) r.score = std::max(r.score, v);
    for (auto [sq, v] : r.move_scores)
        if (v == r.score) r.best.push_back(sq);
    return r;
}

int sign_of(int v) { return (v > 0) - (v < 0); }

// Plays `line` from the position: every entry must be a legal move, or a
// pass exactly when the mover has none; the game must end with the line, at
// a final score equal to `score` from the first mover's view.
void expect_line_reaches(Board b, int player, const std::vector<int>& line, int score) {
    const int first = player;
    for (size_t i = 0; i < line.size(); ++i) {
        const std::vector<int> moves = plain::legal_squares(b, player);
        if (line[i] == fc::PASS_SQUARE) {
            ASSERT_TRUE(moves.empty()) << "pass at step " << i << " with a move available";
            ASSERT_FALSE(plain::legal_squares(b, plain::opponent(player)).empty()) << "pass after the game ended";
        } else {
            ASSERT_TRUE(std::count(moves.begin(), moves.end(), line[i])) << "illegal move " << line[i] << " at " << i;
            const int col = line[i] % 8, row = line[i] / 8;
            plain::make_move(b, col, row, plain::collect_flips(b, col, row, player), player);
        }
        player = plain::opponent(player);
    }
    EXPECT_TRUE(plain::legal_squares(b, player).empty() && plain::legal_squares(b, plain::opponent(player)).empty())
        << "the line stops before the game ends";
    EXPECT_EQ(plain::final_score(b, first), score);
}

// Checks every mode of `solver` on one position against the reference,
// the root's tests starting from `guess`.
void expect_agrees(fc::Solver& solver, const testutil::Position& p, const Reference& ref, int guess = 0) {
    const Bitboard own = discs_of(p.board, p.player), opp = discs_of(p.board, plain::opponent(p.player));
    const std::string where =
        testutil::board_to_string(p.board) + "player " + std::to_string(p.player) + ", guess " + std::to_string(guess);

    const fc::SolveOutcome exact = solver.solve(own, opp, fc::SolveMode::exact, guess);
    EXPECT_EQ(exact.score, ref.score) << where;
    EXPECT_EQ(exact.best, ref.best) << where;
    expect_line_reaches(p.board, p.player, exact.line, exact.score);
    if (!exact.line.empty() && !ref.best.empty()) {
        EXPECT_TRUE(std::count(ref.best.begin(), ref.best.end(), exact.line[0])) << where;
    }

    const fc::SolveOutcome wld = solver.solve(own, opp, fc::SolveMode::wld);
    EXPECT_EQ(wld.score, sign_of(ref.score)) << where;
    std::vector<int> wld_best;
    for (auto [sq, v] : ref.move_scores)
        if (sign_of(v) == sign_of(ref.score)) wld_best.push_back(sq);
    EXPECT_EQ(wld.best, wld_best) << where;

    const fc::SolveOutcome every = solver.solve(own, opp, fc::SolveMode::every_move, guess);
    EXPECT_EQ(every.score, ref.score) << where;
    EXPECT_EQ(every.best, ref.best) << where;
    EXPECT_EQ(every.move_scores, ref.move_scores) << where;
    expect_line_reaches(p.board, p.player, every.line, every.score);
}

// The last square's flip count read from line tables must match the flips of
// the move rules, for every square and random fillings of the other 63.
TEST(Solve, LastSquareFlipCountMatchesTheRules) {
    std::mt19937_64 rng(8);
    for (int x = 0; x < 64; ++x)
        for (int trial = 0; trial < 200; ++trial) {
            const Bitboard own = rng() & ~(Bitboard{1} << x), opp = ~own & ~(Bitboard{1} << x);
            ASSERT_EQ(fc::solve_detail::last_flip_count(own, x), fc::popcount(fc::flips(own, opp, x)))
                << "square " << x << " own " << own;
        }
}

// The full-line masks behind stability against a walk from each occupied
// square to both ends of its line, on boards dense enough to fill many lines.
TEST(Solve, FullLinesMatchAWalkAlongEachLine) {
    constexpr int DC[4] = {1, 0, 1, -1}, DR[4] = {0, 1, 1, 1};  // rows, columns, rising, falling
    std::mt19937_64 rng(13);
    int full_diagonals = 0;
    for (int trial = 0; trial < 20000; ++trial) {
        const Bitboard occupied = rng() | rng() | (trial % 2 ? rng() : 0);
        const fc::FullLines f = fc::full_lines(occupied);
        const Bitboard got[4] = {f.rows, f.columns, f.rising, f.falling};
        for (int d = 0; d < 4; ++d) {
            Bitboard want = 0;
            for (int sq = 0; sq < 64; ++sq) {
                bool full = true;
                for (int sign = -1; sign <= 1; sign += 2)
                    for (int c = sq % 8, r = sq / 8; full && c >= 0 && c < 8 && r >= 0 && r < 8;
                         c += sign * DC[d], r += sign * DR[d])
                        full = (occupied >> (r * 8 + c)) & 1;
                if (full) want |= Bitboard{1} << sq;
            }
            ASSERT_EQ(got[d], want) << "direction " << d << " occupied " << occupied;
            if (d >= 2) full_diagonals += fc::popcount(want) > 0;
        }
    }
    EXPECT_GT(full_diagonals, 10000);
}

// Discs found stable keep their colour for the rest of the game, however it
// goes; and the rule finds many of them, not only corners.
TEST(Solve, StableDiscsNeverTurnOver) {
    std::mt19937 rng(5);
    long found = 0, off_corner = 0;
    for (int g = 0; g < cases(300); ++g) {
        const auto game = testutil::random_game(rng);
        for (size_t i = 0; i < game.size(); ++i) {
            const Bitboard x = discs_of(game[i].board, 1), o = discs_of(game[i].board, 2);
            const Bitboard sx = fc::stable_discs(x, x | o), so = fc::stable_discs(o, x | o);
            ASSERT_EQ(sx & ~x, 0u);
            ASSERT_EQ(so & ~o, 0u);
            for (size_t j = i + 1; j < game.size(); ++j) {
                ASSERT_EQ(discs_of(game[j].board, 1) & sx, sx) << "game " << g << " ply " << i << " to " << j;
                ASSERT_EQ(discs_of(game[j].board, 2) & so, so) << "game " << g << " ply " << i << " to " << j;
            }
            found += fc::popcount(sx | so);
            off_corner += fc::popcount((sx | so) & ~0x8100000000000081ULL);
        }
    }
    EXPECT_GT(off_corner, found / 2);
}

TEST(Solve, AgreesWithPlainSolverOnRandomEndgames) {
    // A small table too, so that entries are replaced all the time.
    fc::Solver solver;
    fc::Solver tiny(3 * sizeof(fc::SolveEntry));
    fc::Solver baseline;
    baseline.use_avx2 = false;
    fc::Solver parallel = two_threads(), parallel_tiny = two_threads(3 * sizeof(fc::SolveEntry));
    int checked = 0, passes = 0, finished = 0;
    // First guesses anywhere, odd ones and ones beyond any score too: the
    // answers must not depend on them.
    std::mt19937 rng(77);
    std::uniform_int_distribution<int> any_guess(-70, 70);
    for (const auto& p : endgame_positions(1234, cases(400), 9)) {
        const Reference ref = reference(p.board, p.player);
        expect_agrees(solver, p, ref);
        expect_agrees(parallel, p, ref, any_guess(rng));
        if (checked % 2 == 0) expect_agrees(solver, p, ref, ref.score + (checked % 8) - 3);
        if (checked % 4 == 0) expect_agrees(tiny, p, ref);
        if (checked % 4 == 1) expect_agrees(baseline, p, ref);
        if (checked % 4 == 2) expect_agrees(parallel_tiny, p, ref);
        passes += ref.move_scores.empty() && !plain::legal_squares(p.board, plain::opponent(p.player)).empty();
        finished += plain::legal_squares(p.board, 1).empty() && plain::legal_squares(p.board, 2).empty();
        ++checked;
        if (HasFailure()) break;
    }
    EXPECT_GT(checked, cases(3000));
    EXPECT_GT(passes, 0);
    EXPECT_GT(finished, 0);
}

// Blocked endings with empty squares left, at the root and deep in the
// search: the empties go to the winner, and a draw stays a draw.
TEST(Solve, AgreesWithPlainSolverOnBlockedEndings) {
    fc::Solver solver;
    fc::Solver parallel = two_threads();
    std::mt19937 rng(77);
    int blocked_roots = 0, deep_draws = 0;
    // Cheap even under the sanitizers (at most 8 empties), so never fewer.
    for (int i = 0; i < 160;) {
        const testutil::Position p = testutil::blocked_camps(rng);
        if (empties_of(p.board) > 8) continue;  // the plain solver tries every line
        ++i;
        const Reference ref = reference(p.board, p.player);
        expect_agrees(solver, p, ref);
        expect_agrees(parallel, p, ref);
        // Where perfect play ends: a draw with squares left empty counts.
        Board end = p.board;
        int mover = p.player;
        for (int sq : solver.solve(discs_of(end, mover), discs_of(end, plain::opponent(mover)), fc::SolveMode::exact).line) {
            if (sq != fc::PASS_SQUARE)
                plain::make_move(end, sq % 8, sq / 8, plain::collect_flips(end, sq % 8, sq / 8, mover), mover);
            mover = plain::opponent(mover);
        }
        deep_draws += ref.score == 0 && empties_of(end) > 0 && end != p.board;
        blocked_roots += plain::legal_squares(p.board, 1).empty() && plain::legal_squares(p.board, 2).empty();
        if (HasFailure()) break;
    }
    EXPECT_GE(deep_draws, 8) << "too few lines of perfect play ending drawn with empty squares";
    EXPECT_GT(blocked_roots, 0);
    // Two camps of 24 with the rows between empty: nobody can move, a draw.
    Board drawn{};
    for (int sq = 0; sq < 64; ++sq) drawn[sq / 8][sq % 8] = sq < 24 ? 1 : sq >= 40 ? 2 : 0;
    expect_agrees(solver, {drawn, 1}, reference(drawn, 1));
    EXPECT_EQ(solver.solve(discs_of(drawn, 1), discs_of(drawn, 2), fc::SolveMode::exact).score, 0);
}

// Positions with more empties than the plain solver reaches quickly, where
// the table and move ordering do most: fewer of them.
TEST(Solve, AgreesWithPlainSolverWithMoreEmpties) {
    fc::Solver solver(1 << 20);
    fc::Solver parallel = two_threads(1 << 20);
    std::mt19937 rng(99);
    int checked = 0;
    for (int g = 0; g < cases(24); ++g) {
        const auto game = testutil::random_game(rng);
        for (const auto& p : game) {
            const int e = empties_of(p.board);
            if (e != 10) continue;
            const Reference ref = reference(p.board, p.player);
            expect_agrees(solver, p, ref);
            expect_agrees(parallel, p, ref);
            ++checked;
            break;
        }
        if (HasFailure()) break;
    }
    EXPECT_GT(checked, cases(18));
}

// Games that end early, with empty squares left: one side wiped out, or
// both blocked.
TEST(Solve, FinishedGamesAndWipeOuts) {
    for (int threads : {1, 2}) {
        fc::Solver solver = two_threads();
        solver.threads = threads;
        // Side 1 to move, can take every opposing disc: the wipe-out scores +64.
        Board wipe = testutil::board_from_rows({
            "........", "........", "........", "...XO...", "........", "........", "........", "........"});
        auto r = solver.solve(discs_of(wipe, 1), discs_of(wipe, 2), fc::SolveMode::exact);
        EXPECT_EQ(r.score, 64);
        EXPECT_EQ(r.best, std::vector<int>{29});
        EXPECT_EQ(r.line, std::vector<int>{29});
        // Nobody can move: the score is final, the empties go to the winner.
        Board blocked = testutil::board_from_rows({
            "XXX.....", "........", "........", "........", "........", "........", "........", ".....OOO"});
        blocked[7][0] = 2;
        for (auto mode : {fc::SolveMode::exact, fc::SolveMode::wld, fc::SolveMode::every_move}) {
            r = solver.solve(discs_of(blocked, 2), discs_of(blocked, 1), mode);
            EXPECT_EQ(r.score, mode == fc::SolveMode::wld ? 1 : 58);
            EXPECT_TRUE(r.best.empty() && r.line.empty() && r.move_scores.empty());
        }
        // Empty board: a draw nobody can change.
        EXPECT_EQ(solver.solve(0, 0, fc::SolveMode::exact).score, 0);
    }
}

// The eight symmetries of the board as square maps.
int transform(int sq, int t) {
    int row = sq / 8, col = sq % 8;
    if (t & 1) col = 7 - col;
    if (t & 2) row = 7 - row;
    if (t & 4) std::swap(row, col);
    return row * 8 + col;
}

Bitboard transform(Bitboard b, int t) {
    Bitboard out = 0;
    for (int sq = 0; sq < 64; ++sq)
        if (b >> sq & 1) out |= Bitboard{1} << transform(sq, t);
    return out;
}

TEST(Solve, SymmetricPositionsAndBothSearchesGiveTheSameResult) {
    fc::Solver solver(1 << 22);
    fc::Solver parallel = two_threads(1 << 22);
    const auto positions = endgame_positions(777, cases(60), 14);
    int checked = 0;
    for (size_t i = 0; i < positions.size(); i += 7) {
        const auto& p = positions[i];
        const Bitboard own = discs_of(p.board, p.player), opp = discs_of(p.board, plain::opponent(p.player));
        const auto base = solver.solve(own, opp, fc::SolveMode::every_move);
        // The exact mode's best-move tests against every_move's scores.
        const auto exact = solver.solve(own, opp, fc::SolveMode::exact);
        EXPECT_EQ(exact.score, base.score);
        EXPECT_EQ(exact.best, base.best);
        // Every other symmetry with one thread; every symmetry, the
        // identity too, with two.
        for (int run = 1; run < 16; ++run) {
            const int t = run % 8;
            fc::Solver& by = run < 8 ? solver : parallel;
            const auto r = by.solve(transform(own, t), transform(opp, t), fc::SolveMode::every_move);
            EXPECT_EQ(r.score, base.score);
            std::vector<int> best;
            for (int sq : base.best) best.push_back(transform(sq, t));
            std::sort(best.begin(), best.end());
            EXPECT_EQ(r.best, best);
            std::vector<std::pair<int, int>> scores;
            for (auto [sq, v] : base.move_scores) scores.emplace_back(transform(sq, t), v);
            std::sort(scores.begin(), scores.end());
            EXPECT_EQ(r.move_scores, scores);
        }
        ++checked;
    }
    EXPECT_GT(checked, cases(100));
}

// ------------------------------------------------------------ standard positions

// The evaluation weights the package ships.
const fc::EvalWeights& shipped_weights() {
    static const fc::EvalWeights w = fc::EvalWeights::load(FLIPCORE_REPO_ROOT "/src/flipcore/data/eval.bin");
    return w;
}

std::vector<endgame::Position> standard_positions() {
    std::ifstream in(FLIPCORE_REPO_ROOT "/tests/data/endgame.txt");
    return endgame::read_positions(in);
}

TEST(Solve, StandardPositions) {
    const auto positions = standard_positions();
    ASSERT_EQ(positions.size(), 10u);
    // The quickest of them; the benchmark runs all ten.
    const std::set<int> quick = CASE_DIVISOR == 1 ? std::set<int>{40, 42} : std::set<int>{};
    for (const auto& p : positions) {
        if (!quick.count(p.number)) continue;
        // With the rough ordering and a first guess of 0, and with the
        // evaluation's ordering and a guess off by some discs.
        for (int threads : {1, 2})
            for (const fc::EvalWeights* w : {static_cast<const fc::EvalWeights*>(nullptr), &shipped_weights()}) {
                fc::Solver solver;
                solver.threads = threads;
                solver.weights = w;
                const auto r = solver.solve(p.own, p.opp, fc::SolveMode::exact, w ? p.score + 6 : 0);
                const std::string where = "position " + std::to_string(p.number) + ", threads " +
                                          std::to_string(threads) + (w ? ", evaluation" : "");
                EXPECT_EQ(r.score, p.score) << where;
                EXPECT_EQ(r.best, p.best) << where;
            }
    }
}

// Selective searches before the exact one leave bounds in the table that
// are often wrong, at the loosest level most of all: the exact search may
// take their moves but never their bounds. Positions of 14 to 16 empties,
// all four levels from 12 empties, against the solver without the
// evaluation; in a tiny table too, where entries of every level replace
// each other, and on two threads, which carry the level to their helpers.
TEST(Solve, SelectiveSearchesLeaveTheAnswersExact) {
    // A root search fed odd bounds may never settle: a deadline turns that
    // into a failure (SearchAborted) instead of a hang.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
    const auto selective = [deadline](fc::Solver s) {
        s.stop = [deadline] { return std::chrono::steady_clock::now() > deadline; };
        s.weights = &shipped_weights();
        s.selective_min_empties = 12;
        s.selective_loosest = fc::SOLVE_SELECTIVE_LEVELS;
        s.selective_surest = 1;
        return s;
    };
    fc::Solver plain(1 << 20);
    fc::Solver one = selective(fc::Solver(1 << 20)), tiny = selective(fc::Solver(64 * sizeof(fc::SolveEntry)));
    fc::Solver two = selective(two_threads(1 << 20));
    std::mt19937 rng(5);
    int checked = 0;
    for (int g = 0; g < cases(16); ++g) {
        const auto game = testutil::random_game(rng);
        for (const auto& p : game) {
            if (empties_of(p.board) != 14 + g % 3) continue;
            const Bitboard own = discs_of(p.board, p.player), opp = discs_of(p.board, plain::opponent(p.player));
            const auto want = plain.solve(own, opp, fc::SolveMode::every_move);
            for (fc::Solver* s : {&one, &tiny, &two}) {
                const auto got = s->solve(own, opp, fc::SolveMode::every_move, want.score + 10);
                EXPECT_EQ(std::make_tuple(got.score, got.best, got.move_scores),
                          std::make_tuple(want.score, want.best, want.move_scores))
                    << testutil::board_to_string(p.board);
                expect_line_reaches(p.board, p.player, got.line, got.score);
            }
            ++checked;
            break;
        }
        if (HasFailure()) break;
    }
    EXPECT_GE(checked, cases(12));
}

// ------------------------------------------------------------ hooks and table

TEST(Solve, StopHookAbortsAndTheSolverStaysRight) {
    const auto positions = endgame_positions(4242, 30, 16);
    std::vector<testutil::Position> deep;
    for (const auto& p : positions)
        if (empties_of(p.board) == 16 && !plain::legal_squares(p.board, p.player).empty()) deep.push_back(p);
    ASSERT_GE(deep.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        const auto& p = deep[i];
        const Bitboard own = discs_of(p.board, p.player), opp = discs_of(p.board, plain::opponent(p.player));
        fc::Solver fresh(1 << 20);
        const auto expected = fresh.solve(own, opp, fc::SolveMode::exact);
        ASSERT_GT(expected.nodes, 3 * fc::solve_detail::STOP_INTERVAL);

        fc::Solver solver(1 << 20);
        int asked = 0;
        solver.stop = [&] { return ++asked >= 2; };
        EXPECT_THROW(solver.solve(own, opp, fc::SolveMode::exact), fc::SearchAborted);
        EXPECT_EQ(asked, 2);
        solver.stop = nullptr;
        for (auto mode : {fc::SolveMode::exact, fc::SolveMode::every_move}) {
            const auto again = solver.solve(own, opp, mode);
            EXPECT_EQ(again.score, expected.score);
            EXPECT_EQ(again.best, expected.best);
        }
    }
}

// Negamax on the sorting searches' static value with no pruning: what their
// alpha-beta search must return whatever order it tries the moves in.
int rough_minimax(Bitboard own, Bitboard opp, int depth) {
    if (depth == 0) return fc::solve_detail::rough_value<fc::Baseline>(own, opp);
    Bitboard moves = fc::legal_moves(own, opp);
    if (!moves) {
        if (!fc::legal_moves(opp, own)) return fc::solve_detail::final_score<fc::Baseline>(own, opp) * 64;
        return -rough_minimax(opp, own, depth - 1);
    }
    int best = -fc::solve_detail::ROUGH_INF;
    while (moves) {
        const int x = fc::pop_lowest(moves);
        const Bitboard f = fc::flips(own, opp, x);
        best = std::max(best, -rough_minimax(opp ^ f, own | f | fc::square_bit(x), depth - 1));
    }
    return best;
}

// The same on the evaluation, computed from the board at each leaf.
int eval_minimax(const fc::EvalWeights& w, Bitboard own, Bitboard opp, int depth) {
    const Bitboard moves = fc::legal_moves(own, opp), replies = fc::legal_moves(opp, own);
    if (!moves && !replies) return fc::solve_detail::final_score<fc::Baseline>(own, opp) * w.scale();
    if (depth == 0)
        return w.evaluate(fc::PatternIndices::from_board(own, opp), 1, 64 - fc::popcount(own | opp),
                          fc::popcount(moves) - fc::popcount(replies));
    if (!moves) return -eval_minimax(w, opp, own, depth - 1);
    int best = -fc::solve_detail::ROUGH_INF;
    for (Bitboard b = moves; b;) {
        const int x = fc::pop_lowest(b);
        const Bitboard f = fc::flips(own, opp, x);
        best = std::max(best, -eval_minimax(w, opp ^ f, own | f | fc::square_bit(x), depth - 1));
    }
    return best;
}

TEST(Solve, SortingSearchesGiveTheMinimaxValue) {
    const auto positions = endgame_positions(777, 16, 40);
    ASSERT_GE(positions.size(), 100u);
    const bool avx2 = fc::solve_detail::processor_has_avx2();
    constexpr int inf = fc::solve_detail::ROUGH_INF;
    for (size_t i = 0; i < positions.size(); i += 3) {
        const auto& p = positions[i];
        const Bitboard own = discs_of(p.board, p.player), opp = discs_of(p.board, plain::opponent(p.player));
        for (int depth = 0; depth <= 4; ++depth) {
            const int expected = rough_minimax(own, opp, depth);
            const std::string where = testutil::board_to_string(p.board) + "depth " + std::to_string(depth);
            EXPECT_EQ(fc::solve_detail::rough_baseline(own, opp, depth, -inf, inf), expected) << where;
            if (avx2) {
                EXPECT_EQ(fc::solve_detail::rough_avx2(own, opp, depth, -inf, inf), expected) << where;
            }
            // On the evaluation, with the side to move's discs read as
            // either side's: the indices follow the moves and the passes.
            if (depth > 3) continue;
            const fc::EvalWeights& w = shipped_weights();
            const int value = eval_minimax(w, own, opp, depth);
            const auto as_side_1 = fc::PatternIndices::from_board(own, opp);
            const auto as_side_2 = fc::PatternIndices::from_board(opp, own);
            EXPECT_EQ(fc::solve_detail::eval_baseline(w, own, opp, as_side_1, 1, depth, -inf, inf), value) << where;
            EXPECT_EQ(fc::solve_detail::eval_baseline(w, own, opp, as_side_2, 2, depth, -inf, inf), value) << where;
            if (avx2) {
                EXPECT_EQ(fc::solve_detail::eval_avx2(w, own, opp, as_side_2, 2, depth, -inf, inf), value) << where;
            }
        }
    }
}

// Positions set up by hand can give a node far more moves than games do: here
// the side to move has 35. Every node keeps all its moves (the sanitizer
// build catches a move list that overflows); the stop hook ends the search.
TEST(Solve, NodesWithManyMovesKeepThemAll) {
    const Board b = testutil::board_from_rows(
        {"........", ".OOOXOO.", "..XX.XO.", ".OXOO.X.", ".XX...O.", ".OOOXXO.", "....OXO.", "XO......"});
    const Bitboard own = discs_of(b, 1), opp = discs_of(b, 2);
    ASSERT_EQ(fc::popcount(fc::legal_moves(own, opp)), 35);
    fc::SolveTable table(1 << 20);
    const std::function<bool()> stop = [] { return true; };
    for (bool avx2 : {false, true}) {
        if (avx2 && !fc::solve_detail::processor_has_avx2()) continue;
        fc::solve_detail::Context c{&table, &stop};
        EXPECT_THROW(avx2 ? fc::solve_detail::any_avx2(c, own, opp, 0) : fc::solve_detail::any_baseline(c, own, opp, 0),
                     fc::SearchAborted);
        EXPECT_GT(c.nodes, 0u);
    }
}

// Two solvers in two threads at once share nothing: both answer as alone.
TEST(Solve, TwoSolversInTwoThreads) {
    const auto positions = endgame_positions(2024, 12, 15);
    std::vector<std::pair<Bitboard, Bitboard>> work;
    for (const auto& p : positions)
        if (empties_of(p.board) >= 13)
            work.emplace_back(discs_of(p.board, p.player), discs_of(p.board, plain::opponent(p.player)));
    ASSERT_GE(work.size(), 8u);
    std::vector<fc::SolveOutcome> alone;
    fc::Solver reference_solver(1 << 20);
    for (auto [own, opp] : work) alone.push_back(reference_solver.solve(own, opp, fc::SolveMode::every_move));
    std::vector<fc::SolveOutcome> together[2];
    auto run = [&](int k) {
        fc::Solver solver(1 << 20);
        for (int round = 0; round < 2; ++round)
            for (size_t i = k; i < work.size(); i += 2)
                together[k].push_back(solver.solve(work[i].first, work[i].second, fc::SolveMode::every_move));
    };
    std::thread a(run, 0), b(run, 1);
    a.join();
    b.join();
    for (int k = 0; k < 2; ++k) {
        size_t n = 0;
        for (int round = 0; round < 2; ++round)
            for (size_t i = k; i < work.size(); i += 2, ++n) {
                EXPECT_EQ(together[k][n].score, alone[i].score);
                EXPECT_EQ(together[k][n].move_scores, alone[i].move_scores);
            }
    }
}

TEST(Solve, ProgressNarrowsToTheScore) {
    const auto positions = endgame_positions(31337, 20, 14);
    fc::Solver solver(1 << 20);
    int checked = 0;
    for (size_t i = 0; i < positions.size(); i += 5) {
        const auto& p = positions[i];
        const Bitboard own = discs_of(p.board, p.player), opp = discs_of(p.board, plain::opponent(p.player));
        for (auto mode : {fc::SolveMode::exact, fc::SolveMode::wld}) {
            std::vector<std::pair<int, int>> seen;
            solver.progress = [&](int lower, int upper) { seen.emplace_back(lower, upper); };
            const auto r = solver.solve(own, opp, mode);
            ASSERT_FALSE(seen.empty());
            for (size_t k = 0; k < seen.size(); ++k) {
                EXPECT_LE(seen[k].first, r.score);
                EXPECT_GE(seen[k].second, r.score);
                if (k) {
                    EXPECT_TRUE(seen[k].first >= seen[k - 1].first && seen[k].second <= seen[k - 1].second);
                }
            }
            EXPECT_EQ(seen.back(), std::make_pair(r.score, r.score));
        }
        ++checked;
    }
    EXPECT_GT(checked, 10);
}

TEST(Solve, TableResizeAndClearKeepAnswers) {
    fc::Solver solver(1 << 20);
    EXPECT_EQ(solver.table_bytes(), size_t{1} << 20);
    const auto positions = endgame_positions(5, 10, 14);
    std::vector<fc::SolveOutcome> first;
    for (const auto& p : positions)
        first.push_back(solver.solve(discs_of(p.board, p.player), discs_of(p.board, plain::opponent(p.player)),
                                     fc::SolveMode::exact));
    // The sanitizers' allocator stops the process on absurd sizes instead of failing.
    if (CASE_DIVISOR == 1) {
        EXPECT_THROW(solver.resize_table(~size_t{0} / 2), std::bad_alloc);
    }
    EXPECT_EQ(solver.table_bytes(), size_t{1} << 20);
    for (int round = 0; round < 2; ++round) {
        if (round == 0) solver.resize_table(100 * sizeof(fc::SolveEntry));
        else solver.clear_table();
        for (size_t i = 0; i < positions.size(); ++i) {
            const auto& p = positions[i];
            const auto r = solver.solve(discs_of(p.board, p.player), discs_of(p.board, plain::opponent(p.player)),
                                        fc::SolveMode::exact);
            EXPECT_EQ(r.score, first[i].score);
            EXPECT_EQ(r.best, first[i].best);
            expect_line_reaches(p.board, p.player, r.line, r.score);
        }
    }
}

TEST(SolveTable, ClearForgetsEveryEntryAlsoPastTheCountersWrap) {
    fc::SolveTable table(64 * sizeof(fc::SolveEntry));
    const Bitboard own = 0x0000001818000000ULL, opp = 0x0000240000240000ULL;
    table.store(own, opp, 10, -4, 6, 19);
    ASSERT_NE(table.probe(own, opp), nullptr);
    table.clear();
    EXPECT_EQ(table.probe(own, opp), nullptr);
    // A store after the clear starts from no bounds, not the forgotten ones.
    table.store(own, opp, 10, 2, fc::SOLVE_SCORE_MAX, fc::NO_SOLVE_MOVE);
    const fc::SolveEntry* e = table.probe(own, opp);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(std::make_pair(int{e->lower}, int{e->upper}), std::make_pair(2, fc::SOLVE_SCORE_MAX));
    EXPECT_EQ(e->move, fc::NO_SOLVE_MOVE);
    // As many clears as there are generations come back to the one that wrote it.
    for (int i = 0; i < fc::SolveTable::LAST_GENERATION; ++i) table.clear();
    EXPECT_EQ(table.probe(own, opp), nullptr);
}

// Bounds are kept by how sure they are: a surer store replaces less sure
// bounds, a less sure one leaves surer bounds alone, and its move is kept.
TEST(SolveTable, SelectiveBoundsGiveWayToSurerOnes) {
    fc::SolveTable table(64 * sizeof(fc::SolveEntry));
    const Bitboard own = 0x0000001818000000ULL, opp = 0x0000240000240000ULL;
    const auto bounds = [&] {
        const fc::SolveEntry* e = table.probe(own, opp);
        return std::make_tuple(int{e->lower}, int{e->upper}, int{e->level}, int{e->move});
    };
    table.store(own, opp, 10, 8, fc::SOLVE_SCORE_MAX, 19, 3);
    table.store(own, opp, 10, -fc::SOLVE_SCORE_MAX, 12, fc::NO_SOLVE_MOVE, 3);
    EXPECT_EQ(bounds(), std::make_tuple(8, 12, 3, 19));
    table.store(own, opp, 10, -fc::SOLVE_SCORE_MAX, 4, 20, fc::EXACT_LEVEL);
    EXPECT_EQ(bounds(), std::make_tuple(-fc::SOLVE_SCORE_MAX, 4, fc::EXACT_LEVEL, 20));
    table.store(own, opp, 10, 30, fc::SOLVE_SCORE_MAX, 21, 1);
    EXPECT_EQ(bounds(), std::make_tuple(-fc::SOLVE_SCORE_MAX, 4, fc::EXACT_LEVEL, 21));
}

// Positions near the end keep to a small region of their own: however many
// of them a later solve stores, they cannot push out a larger position's
// entry, which they would as soon as it is from an earlier solve.
TEST(SolveTable, PositionsNearTheEndCannotPushOutLargerOnes) {
    fc::SolveTable table(64 * sizeof(fc::SolveBucket));
    const Bitboard own = 0x0000001818000000ULL, opp = 0x0000240000240000ULL;
    table.store(own, opp, 56, -4, 6, 19);
    table.next_age();
    std::mt19937_64 rng(3);
    Bitboard last_own = 0, last_opp = 0;
    for (int i = 0; i < 5000; ++i) {
        Bitboard empty = 0;
        while (fc::popcount(empty) < fc::NEAR_MAX_EMPTIES) empty |= fc::square_bit(static_cast<int>(rng() % 64));
        last_own = rng() & ~empty;
        last_opp = ~(last_own | empty);
        table.store(last_own, last_opp, fc::NEAR_MAX_EMPTIES, 0, 0, fc::NO_SOLVE_MOVE);
    }
    ASSERT_NE(table.probe(own, opp), nullptr);
    EXPECT_EQ(table.probe(own, opp)->move, 19);
    ASSERT_NE(table.probe(last_own, last_opp), nullptr);
}

// A node whose child's entry already proves it above alpha answers with
// that bound, also when storing its own entry takes the child's slot: here
// the table is one bucket, whose other slot holds a position of more
// empties, so the node's store replaces the child's entry.
TEST(SolveTable, TranspositionCutoffAnswersTheChildsBoundAfterItsOwnStore) {
    const std::function<bool()> no_stop;
    int checked = 0;
    for (const auto& p : endgame_positions(77, 6, 12)) {
        if (empties_of(p.board) < fc::solve_detail::ETC_MIN_EMPTIES) continue;
        const Bitboard own = discs_of(p.board, p.player), opp = discs_of(p.board, plain::opponent(p.player));
        if (!fc::legal_moves(own, opp)) continue;
        const int x = fc::lowest_square(fc::legal_moves(own, opp));
        const Bitboard f = fc::flips(own, opp, x);
        const Bitboard child_own = opp ^ f, child_opp = own | f | fc::square_bit(x);
        for (bool avx2 : {false, true}) {
            if (avx2 && !fc::solve_detail::processor_has_avx2()) continue;
            fc::SolveTable table(sizeof(fc::SolveBucket));
            table.store(0x0000001818000000ULL, 0x0000240000240000ULL, 50, -2, 2, 19);
            table.store(child_own, child_opp, empties_of(p.board) - 1, -fc::SOLVE_SCORE_MAX, -10, x);
            fc::solve_detail::Context c{&table, &no_stop};
            const int v =
                avx2 ? fc::solve_detail::any_avx2(c, own, opp, 0) : fc::solve_detail::any_baseline(c, own, opp, 0);
            EXPECT_EQ(v, 10) << testutil::board_to_string(p.board);
            ASSERT_EQ(table.probe(child_own, child_opp), nullptr) << "the node's store was to take the child's slot";
        }
        ++checked;
    }
    EXPECT_GE(checked, 5);
}

// After clear_table() a solve must visit exactly the nodes a new solver's
// does, whatever the table held: in a small table, where replacement
// decides what stays, and also once the generation counter has wrapped
// back to the generation that wrote the position's own entries.
TEST(Solve, ClearedTableSolvesAsANewOne) {
    constexpr size_t bytes = 1024 * sizeof(fc::SolveEntry);
    fc::Solver used(bytes);
    for (const auto& p : endgame_positions(21, 3, 16))
        used.solve(discs_of(p.board, p.player), discs_of(p.board, plain::opponent(p.player)), fc::SolveMode::exact);
    for (const auto& p : endgame_positions(22, cases(4), 14)) {
        const Bitboard own = discs_of(p.board, p.player), opp = discs_of(p.board, plain::opponent(p.player));
        const fc::SolveOutcome want = fc::Solver(bytes).solve(own, opp, fc::SolveMode::exact);
        for (int round = 0; round < 2; ++round) {
            if (round == 1)
                for (int i = 1; i < fc::SolveTable::LAST_GENERATION; ++i) used.clear_table();
            used.clear_table();
            const fc::SolveOutcome got = used.solve(own, opp, fc::SolveMode::exact);
            EXPECT_EQ(got.nodes, want.nodes) << "round " << round << "\n" << testutil::board_to_string(p.board);
            EXPECT_EQ(std::make_tuple(got.score, got.best, got.line), std::make_tuple(want.score, want.best, want.line));
        }
    }
}

}  // namespace
