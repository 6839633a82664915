// The exact solver with several threads: the same answers (and line) as one
// thread in every mode, whatever the table's size (a tiny shared table is overwritten
// all the time); the helpers really search; the stop hook and progress stay
// in the calling thread, and a stopped parallel solve leaves the solver
// usable; two parallel solvers at once; the shared table's locking under
// contention. Small enough to run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "engine/solve.h"
#include "engine/think.h"
#include "tests/cpp/test_util.h"

namespace fc = flipcore;
using fc::Bitboard;

namespace {

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__) || defined(FLIPCORE_SANITIZE)
constexpr int CASE_DIVISOR = 6;
#else
constexpr int CASE_DIVISOR = 1;
#endif

struct Case {
    Bitboard own, opp;
};

Bitboard discs_of(const plain::Board& b, int side) {
    Bitboard out = 0;
    for (int sq = 0; sq < 64; ++sq)
        if (b[sq / 8][sq % 8] == side) out |= Bitboard{1} << sq;
    return out;
}

// One position with `empties` empty squares from each of `games` random games.
std::vector<Case> positions(uint32_t seed, int games, int empties) {
    std::mt19937 rng(seed);
    std::vector<Case> out;
    for (int g = 0; g < games; ++g)
        for (const auto& p : testutil::random_game(rng)) {
            const Bitboard own = discs_of(p.board, p.player), opp = discs_of(p.board, plain::opponent(p.player));
            if (64 - fc::popcount(own | opp) == empties) {
                out.push_back({own, opp});
                break;
            }
        }
    return out;
}

// Plays `line` from (own, opp): each move legal, a pass only without one,
// ending the game at `score` from the first mover's view.
void expect_line_reaches(Bitboard own, Bitboard opp, const std::vector<int>& line, int score) {
    int sign = 1;
    for (int sq : line) {
        const Bitboard moves = fc::legal_moves(own, opp);
        if (sq == fc::PASS_SQUARE) {
            ASSERT_EQ(moves, 0u) << "a pass with a move to play";
        } else {
            ASSERT_TRUE(moves & fc::square_bit(sq)) << "illegal move " << sq;
            const Bitboard f = fc::flips(own, opp, sq);
            own |= f | fc::square_bit(sq);
            opp ^= f;
        }
        std::swap(own, opp);
        sign = -sign;
    }
    ASSERT_EQ(fc::legal_moves(own, opp) | fc::legal_moves(opp, own), 0u) << "the line stops before the end";
    EXPECT_EQ(sign * fc::solve_detail::final_score<fc::Baseline>(own, opp), score);
}

fc::Solver make_solver(int threads, size_t table_bytes, int split_min_empties) {
    fc::Solver s(table_bytes);
    s.threads = threads;
    s.split_min_empties = split_min_empties;
    return s;
}

// Every mode with 2 and 3 threads, sharing from 7 empties and from the
// default, in a roomy table and a tiny one, against one thread's answers.
TEST(SolveThreads, EveryModeMatchesOneThread) {
    const int shallow = fc::solve_detail::SHALLOW_EMPTIES + 1, standard = fc::solve_detail::SPLIT_MIN_EMPTIES;
    struct Setup {
        int threads;
        size_t table_bytes;
        int split;
    };
    const std::vector<Setup> setups = {{2, 1 << 20, shallow}, {2, 1 << 20, standard}, {3, 1 << 20, shallow},
                                       {2, 64 * sizeof(fc::SolveBucket), shallow}};
    uint64_t helper_nodes = 0;
    fc::Solver one(1 << 20);
    for (int empties : {12, 15}) {
        for (const Case& p : positions(empties, 24 / CASE_DIVISOR, empties)) {
            const auto exact = one.solve(p.own, p.opp, fc::SolveMode::exact);
            const auto wld = one.solve(p.own, p.opp, fc::SolveMode::wld);
            const auto every = one.solve(p.own, p.opp, fc::SolveMode::every_move);
            for (const Setup& setup : setups) {
                fc::Solver s = make_solver(setup.threads, setup.table_bytes, setup.split);
                const auto e = s.solve(p.own, p.opp, fc::SolveMode::exact);
                EXPECT_EQ(std::make_pair(e.score, e.best), std::make_pair(exact.score, exact.best));
                // The line too: its choice depends on the position alone.
                EXPECT_EQ(e.line, exact.line);
                expect_line_reaches(p.own, p.opp, e.line, e.score);
                const auto w = s.solve(p.own, p.opp, fc::SolveMode::wld);
                EXPECT_EQ(std::make_pair(w.score, w.best), std::make_pair(wld.score, wld.best));
                const auto m = s.solve(p.own, p.opp, fc::SolveMode::every_move);
                EXPECT_EQ(std::make_pair(m.score, m.best), std::make_pair(every.score, every.best));
                EXPECT_EQ(m.move_scores, every.move_scores);
                helper_nodes += e.helper_nodes + w.helper_nodes + m.helper_nodes;
                EXPECT_LE(e.helper_nodes, e.nodes);
            }
            if (HasFailure()) return;
        }
    }
    // The helpers took part: a solver that never shared its work would
    // still give the right answers.
    EXPECT_GT(helper_nodes, 0u);
}

// Threads sharing the learned evaluation's weights for their sorting
// searches and selective searches (read by every thread at once): the
// answers of one thread without them.
TEST(SolveThreads, SortingOnTheEvaluationMatchesOneThread) {
    const fc::EvalWeights weights = fc::EvalWeights::load(FLIPCORE_REPO_ROOT "/src/flipcore/data/eval.bin");
    fc::Solver one(1 << 20);
    fc::Solver two = make_solver(2, 1 << 20, fc::solve_detail::SHALLOW_EMPTIES + 1);
    two.weights = &weights;
    two.selective_min_empties = 16;
    for (const Case& p : positions(5, std::max(1, 2 / CASE_DIVISOR), 18)) {
        const auto plain_order = one.solve(p.own, p.opp, fc::SolveMode::every_move);
        const auto evaluated = two.solve(p.own, p.opp, fc::SolveMode::every_move, plain_order.score - 3);
        EXPECT_EQ(std::make_pair(evaluated.score, evaluated.best), std::make_pair(plain_order.score, plain_order.best));
        EXPECT_EQ(evaluated.move_scores, plain_order.move_scores);
        expect_line_reaches(p.own, p.opp, evaluated.line, evaluated.score);
    }
}

// The stop hook is asked only in the calling thread; once it says stop,
// every thread unwinds (SearchAborted), and the solver answers right after.
// A progress callback that throws ends a parallel solve the same way.
TEST(SolveThreads, StopAndProgressStayInTheCallingThread) {
    const auto cases = positions(99, 8 / std::min(CASE_DIVISOR, 4), 16);
    ASSERT_GE(cases.size(), 2u);
    const std::thread::id caller = std::this_thread::get_id();
    for (const Case& p : cases) {
        fc::Solver fresh(1 << 20);
        const auto expected = fresh.solve(p.own, p.opp, fc::SolveMode::exact);
        fc::Solver s = make_solver(2, 1 << 20, fc::solve_detail::SHALLOW_EMPTIES + 1);
        std::atomic<int> asked{0}, elsewhere{0};
        s.stop = [&] {
            if (std::this_thread::get_id() != caller) ++elsewhere;
            return ++asked >= 3;
        };
        s.progress = [&](int, int) {
            if (std::this_thread::get_id() != caller) ++elsewhere;
        };
        if (expected.nodes > 20 * fc::solve_detail::STOP_INTERVAL) {
            EXPECT_THROW(s.solve(p.own, p.opp, fc::SolveMode::exact), fc::SearchAborted);
            EXPECT_EQ(asked.load(), 3);
        }
        s.stop = [&] {
            if (std::this_thread::get_id() != caller) ++elsewhere;
            return false;
        };
        const auto again = s.solve(p.own, p.opp, fc::SolveMode::exact);
        EXPECT_EQ(std::make_pair(again.score, again.best), std::make_pair(expected.score, expected.best));
        int reports = 0;
        s.progress = [&](int, int) {
            if (++reports == 2) throw fc::SearchAborted();
        };
        EXPECT_THROW(s.solve(p.own, p.opp, fc::SolveMode::every_move), fc::SearchAborted);
        s.progress = nullptr;
        const auto after = s.solve(p.own, p.opp, fc::SolveMode::exact);
        EXPECT_EQ(after.score, expected.score);
        EXPECT_EQ(elsewhere.load(), 0);
        // A hook that throws: its exception comes out once every thread
        // has left the search (no hang, no crash), and the solver goes on.
        if (expected.nodes > 20 * fc::solve_detail::STOP_INTERVAL) {
            int calls = 0;
            s.stop = [&]() -> bool {
                if (++calls == 3) throw std::runtime_error("hook failed");
                return false;
            };
            s.clear_table();
            EXPECT_THROW(s.solve(p.own, p.opp, fc::SolveMode::exact), std::runtime_error);
            s.stop = nullptr;
            EXPECT_EQ(s.solve(p.own, p.opp, fc::SolveMode::exact).best, expected.best);
        }
    }
}

// Two parallel solvers in two threads at once (four threads on the
// machine's cores): each answers as alone.
TEST(SolveThreads, TwoParallelSolversAtOnce) {
    const auto work = positions(2024, 16 / CASE_DIVISOR + 2, 14);
    std::vector<fc::SolveOutcome> alone;
    fc::Solver one(1 << 20);
    for (const Case& p : work) alone.push_back(one.solve(p.own, p.opp, fc::SolveMode::every_move));
    std::vector<fc::SolveOutcome> together[2];
    auto run = [&](int k) {
        fc::Solver s = make_solver(2, 1 << 20, fc::solve_detail::SHALLOW_EMPTIES + 1);
        for (size_t i = k; i < work.size(); i += 2) together[k].push_back(s.solve(work[i].own, work[i].opp, fc::SolveMode::every_move));
    };
    std::thread a(run, 0), b(run, 1);
    a.join();
    b.join();
    for (int k = 0; k < 2; ++k)
        for (size_t i = k, n = 0; i < work.size(); i += 2, ++n) {
            EXPECT_EQ(together[k][n].score, alone[i].score);
            EXPECT_EQ(together[k][n].best, alone[i].best);
            EXPECT_EQ(together[k][n].move_scores, alone[i].move_scores);
        }
}

// think's midgame search with a helper thread in the same table, a tiny one
// so that entries are overwritten all the time: a timed search that reaches
// the end of every line gives the solver's score, which a helper's entry
// from a shallower, selective search or a torn one would spoil. A stop
// asked in the calling thread ends the helper too, and the thinker answers
// right after.
TEST(SolveThreads, ThinkWithAHelperKeepsExactValuesExact) {
    const fc::EvalWeights weights = fc::EvalWeights::load(FLIPCORE_REPO_ROOT "/src/flipcore/data/eval.bin");
    fc::Thinker thinker(1 << 10, 0);
    thinker.use_solver = false;
    thinker.search_threads = 2;
    fc::Solver solver(1 << 20);
    for (const Case& p : positions(77, 24 / CASE_DIVISOR, 15)) {
        const fc::ThinkOutcome t = thinker.think(weights, p.own, p.opp, 1, 0, 60.0);
        ASSERT_TRUE(t.exact);
        EXPECT_EQ(t.value, solver.solve(p.own, p.opp, fc::SolveMode::exact).score * weights.scale());
        EXPECT_TRUE(fc::legal_moves(p.own, p.opp) & fc::square_bit(t.move));
    }
    const Bitboard own = 0x0000000810000000ULL, opp = 0x0000001008000000ULL;
    thinker.stop = [] { return true; };
    EXPECT_THROW(thinker.think(weights, own, opp, 1, 0, 60.0), fc::SearchAborted);
    thinker.stop = nullptr;
    EXPECT_GE(thinker.think(weights, own, opp, 1, 0, 0.05).depth, 1);
}

TEST(SolveThreads, RefusesBadSettings) {
    fc::Solver s(1 << 20);
    for (int bad : {0, -1}) {
        s.threads = bad;
        EXPECT_THROW(s.solve(0x0000000810000000ULL, 0x0000001008000000ULL, fc::SolveMode::exact), std::invalid_argument);
    }
    s.threads = 2;
    s.split_min_empties = fc::solve_detail::SHALLOW_EMPTIES;
    EXPECT_THROW(s.solve(0x0000000810000000ULL, 0x0000001008000000ULL, fc::SolveMode::exact), std::invalid_argument);
    // A selective level past the margins' table would read beyond it.
    fc::Solver t(1 << 20);
    t.selective_loosest = fc::SOLVE_SELECTIVE_LEVELS + 1;
    EXPECT_THROW(t.solve(0x0000000810000000ULL, 0x0000001008000000ULL, fc::SolveMode::exact), std::invalid_argument);
}

// Threads storing into and reading a tiny shared table at once: every entry
// read back is whole, one position's bounds and move as some store wrote
// them (each position's bounds are a pure function of it here, so a torn
// entry, mixing two stores, shows).
TEST(SolveThreads, SharedTableEntriesStayWhole) {
    fc::SolveTable table(8 * sizeof(fc::SolveBucket));
    table.set_shared(true);
    constexpr int KEYS = 64;
    auto bounds_of = [](Bitboard own) {
        const int k = static_cast<int>(own % 61);
        return std::make_pair(-k, k + 2);
    };
    std::atomic<long> checked{0}, torn{0};
    auto run = [&](int seed) {
        std::mt19937_64 rng(seed);
        for (int i = 0; i < 200000 / CASE_DIVISOR; ++i) {
            const Bitboard own = (rng() % KEYS) * 0x9E3779B97F4A7C15ULL | 1, opp = ~own & 0xFF00FF00FF00FF00ULL;
            const auto [lower, upper] = bounds_of(own);
            if (rng() & 1) {
                table.store(own, opp, static_cast<int>(rng() % 20) + 7, lower, upper, static_cast<int>(own % 64));
            } else if (fc::SolveEntry e; table.read(own, opp, e)) {
                ++checked;
                if (e.own != own || e.opp != opp || e.lower != lower || e.upper != upper || e.move != own % 64) ++torn;
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back(run, t);
    for (auto& t : threads) t.join();
    EXPECT_GT(checked.load(), 1000);
    EXPECT_EQ(torn.load(), 0);
}

}  // namespace
