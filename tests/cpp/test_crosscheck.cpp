// Cross-checks the engine (engine/) against the plain reference
// (tests/plain/plain.h) on many positions and call sequences: move rules,
// evaluation and keys must agree exactly, and searches must return the same
// value bit for bit, the same moves, visit the same number of nodes and leave
// tables of the same size, also when the tables carry entries from earlier
// calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/search.h"
#include "tests/cpp/test_util.h"
#include "tests/plain/plain.h"

namespace fc = flipcore;
using plain::Board;
using plain::Move;
using testutil::Position;

static_assert(std::is_same_v<fc::Board, plain::Board>, "engine board type");
static_assert(std::is_same_v<fc::Move, plain::Move>, "engine move type");

namespace {

const double INF = std::numeric_limits<double>::infinity();

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof(double)) == 0; }

std::string show(double v) {
    std::ostringstream s;
    s.precision(17);
    s << v;
    return s.str();
}

std::string show(const std::vector<Move>& moves) {
    std::string s = "[";
    for (const auto& [c, r] : moves) s += "(" + std::to_string(c) + "," + std::to_string(r) + ")";
    return s + "]";
}

// ------------------------------------------------------------ positions

// Boards the same under all eight rotations and mirrorings: their moves come
// in groups of four or eight of equal value, which gives long tie lists.
Board symmetric_board(std::mt19937& rng, int fill_percent) {
    std::uniform_int_distribution<int> pct(0, 99), colour(1, 2);
    Board b{};
    for (int r = 0; r < 4; ++r)
        for (int c = r; c < 4; ++c) {
            int v = pct(rng) < fill_percent ? colour(rng) : 0;
            for (auto [x, y] : {std::pair{c, r}, std::pair{r, c}}) {
                b[y][x] = b[y][7 - x] = b[7 - y][x] = b[7 - y][7 - x] = v;
            }
        }
    return b;
}

// Positions from random games plus symmetric and arbitrary boards.
std::vector<Position> corpus(uint32_t seed, int games) {
    std::mt19937 rng(seed);
    std::vector<Position> out;
    for (int g = 0; g < games; ++g) {
        auto game = testutil::random_game(rng);
        out.insert(out.end(), game.begin(), game.end());
    }
    for (int i = 0; i < 60; ++i) {
        Board s = symmetric_board(rng, 20 + i);
        out.push_back({s, 1});
        out.push_back({s, 2});
        out.push_back({testutil::random_board(rng, 5 + i % 95, i * 7 % 101), 1 + i % 2});
    }
    Board empty{}, full_black{}, full_mixed{};
    for (auto& row : full_black) row.fill(1);
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) full_mixed[r][c] = 1 + (r * 3 + c) % 2;
    for (int p = 1; p <= 2; ++p) {
        out.push_back({testutil::wide_board(), p});
        out.push_back({empty, p});
        out.push_back({full_black, p});
        out.push_back({full_mixed, p});
    }
    return out;
}

std::string describe(const Board& b, int player) {
    return "board {\n" + testutil::board_to_string(b) + "} player " + std::to_string(player);
}

// ------------------------------------------------------------ search calls

void init_both(uint32_t seed) {
    plain::init(seed);
    fc::init_zobrist_seeded(seed);
    fc::tt.clear();
}

// The engine's stored entry for a key, when its table offers a way to read one.
template <class T, class = void>
struct readable_table : std::false_type {};
template <class T>
struct readable_table<T, std::void_t<decltype(std::declval<const T&>().find(uint64_t{})->flag)>>
    : std::true_type {};

std::string compare_root_entries(uint64_t key) {
    using Table = std::remove_cv_t<std::remove_reference_t<decltype(fc::tt)>>;
    if constexpr (readable_table<Table>::value) {
        auto mine = plain::tt.find(key);
        auto theirs = fc::tt.find(key);
        if ((mine == plain::tt.end()) != !theirs) return "root entry present in only one table";
        if (!theirs) return "";
        const auto& m = mine->second;
        if (!same_bits(m.val, theirs->val) || m.flag != theirs->flag || m.depth != theirs->depth ||
            m.moves != theirs->moves)
            return std::string("root entry differs: reference ") + show(m.val) + " " + m.flag + " " +
                   std::to_string(m.depth) + " " + show(m.moves) + ", engine " + show(theirs->val) + " " +
                   theirs->flag + " " + std::to_string(theirs->depth) + " " + show(theirs->moves);
        return "";
    } else {
        (void)key;
        return "";
    }
}

struct Calls {
    int count = 0;
    uint64_t reference_nodes = 0;
};

// Runs one search on both with identical arguments; returns the reference's
// value, and records a description of the first difference in `error`.
double search_both(const Board& board, int player, int depth, double alpha, double beta, Calls& calls,
                   std::string& error) {
    Board mine = board, theirs = board;
    uint64_t key = plain::zobrist_key(board, player);
    uint64_t before = plain::nodes;
    auto r = plain::minimax(mine, player, depth, alpha, beta, key);
    const uint64_t reference_nodes = plain::nodes - before;
    calls.reference_nodes += reference_nodes;
    ++calls.count;
    const uint64_t engine_before = fc::g_nodes;
    auto e = fc::minimax(theirs, player, depth, alpha, beta, fc::zobrist_key(board, player));
    const uint64_t engine_nodes = fc::g_nodes - engine_before;

    std::string what;
    if (!same_bits(r.val, e.val)) what += "val: reference " + show(r.val) + ", engine " + show(e.val) + "\n";
    if (r.moves != e.moves) what += "moves: reference " + show(r.moves) + ", engine " + show(e.moves) + "\n";
    if (plain::tt.size() != fc::tt.size())
        what += "tt.size: reference " + std::to_string(plain::tt.size()) + ", engine " +
                std::to_string(fc::tt.size()) + "\n";
    // Equal node counts mean the same nodes were visited and the same
    // siblings cut off, even where that changes no returned value.
    if (reference_nodes != engine_nodes)
        what += "nodes: reference " + std::to_string(reference_nodes) + ", engine " + std::to_string(engine_nodes) +
                "\n";
    if (theirs != board) what += "engine did not restore the board\n";
    if (mine != board) what += "reference did not restore the board\n";
    std::string entry = compare_root_entries(key);
    if (!entry.empty()) what += entry + "\n";
    if (!what.empty() && error.empty())
        error = what + describe(board, player) + " depth " + std::to_string(depth) + " window (" + show(alpha) +
                ", " + show(beta) + ") in call " + std::to_string(calls.count) + " of this test";
    return r.val;
}

// Windows placed around a known value v: narrow, null, touching, inverted
// and half-open, plus the signed zeros.
std::vector<std::pair<double, double>> windows_around(double v, std::mt19937& rng) {
    std::uniform_real_distribution<double> width(0.001, 50.0);
    double w = width(rng);
    double below = std::nextafter(v, -INF), above = std::nextafter(v, INF);
    return {
        {v - w, v + w}, {v, v},         {below, v},    {v, above}, {below, above}, {v - w, v},
        {v, v + w},     {-INF, v},      {v, INF},      {v + w, v - w}, {above, below}, {-INF, below},
        {above, INF},   {-0.0, 0.0},    {0.0, -0.0},   {INF, -INF},
    };
}

}  // namespace

// ------------------------------------------------------------ move rules

TEST(CrossCheckRules, FlipsLegalityAndEvaluation) {
    int compared = 0;
    for (const auto& p : corpus(101, 30)) {
        const Board& b = p.board;
        for (int player = 0; player <= 2; ++player) {
            double mine = plain::evaluate(b, player), theirs = fc::evaluate(b, player);
            ASSERT_TRUE(same_bits(mine, theirs))
                << "evaluate: reference " << show(mine) << ", engine " << show(theirs) << "\n"
                << describe(b, player);
        }
        for (int side = 1; side <= 2; ++side)
            for (int row = 0; row < 8; ++row)
                for (int col = 0; col < 8; ++col) {
                    ASSERT_EQ(plain::is_legal_move(b, col, row, side), fc::is_legal_move(b, col, row, side))
                        << "is_legal_move (" << col << "," << row << ")\n" << describe(b, side);
                    if (b[row][col] != 0) continue;
                    ASSERT_EQ(plain::collect_flips(b, col, row, side), fc::collect_flips(b, col, row, side))
                        << "collect_flips (" << col << "," << row << ")\n" << describe(b, side);
                    ++compared;
                }
    }
    EXPECT_GT(compared, 100000);
}

// The two kernel sets' move generation, flips and flipped weights agree on
// every square of every corpus position, both sides to move (the wide set
// is compiled here without AVX2, from the same source).
TEST(CrossCheckRules, KernelSetsAgree) {
    for (const auto& p : corpus(103, 30)) {
        const fc::Bitboard black = fc::bits_of(p.board, 1), white = fc::bits_of(p.board, 2);
        const auto both = fc::legal_moves_both<fc::Avx2>(black, white);
        ASSERT_EQ(both.black, fc::legal_moves(black, white)) << describe(p.board, 1);
        ASSERT_EQ(both.white, fc::legal_moves(white, black)) << describe(p.board, 2);
        ASSERT_EQ(fc::legal_moves_in<fc::Avx2>(white, black), both.white) << describe(p.board, 2);
        for (const auto& [own, opp] : {std::pair{black, white}, std::pair{white, black}})
            for (int sq = 0; sq < 64; ++sq) {
                if ((own | opp) >> sq & 1) continue;
                const fc::Bitboard f = fc::flips_in<fc::Baseline>(own, opp, sq);
                ASSERT_EQ(fc::flips_in<fc::Avx2>(own, opp, sq), f) << "square " << sq << "\n" << describe(p.board, 1);
                ASSERT_EQ(fc::flipped_weight_in<fc::Avx2>(f, fc::popcount(f)), fc::positional_sum(f));
            }
    }
}

TEST(CrossCheckKeys, TablesAndKeysAgree) {
    const auto positions = corpus(202, 5);
    for (uint32_t seed : {0u, 1u, 12345u, 0xFFFFFFFFu}) {
        init_both(seed);
        for (int i = 0; i < 64; ++i) {
            ASSERT_EQ(plain::g_zob_b[i], fc::g_zob_b[i]) << "seed " << seed << " square " << i;
            ASSERT_EQ(plain::g_zob_w[i], fc::g_zob_w[i]) << "seed " << seed << " square " << i;
        }
        ASSERT_EQ(plain::g_zob_player_b, fc::g_zob_player_b);
        ASSERT_EQ(plain::g_zob_player_w, fc::g_zob_player_w);
        for (const auto& p : positions)
            for (int player = 1; player <= 2; ++player)
                ASSERT_EQ(plain::zobrist_key(p.board, player), fc::zobrist_key(p.board, player))
                    << describe(p.board, player);
    }
}

// ------------------------------------------------------------ searches

// Positions of random games searched one after another without clearing the
// tables, at varying depths and windows, so later calls meet entries of
// every flag and depth left by earlier ones.
// Every search check runs on both kernel sets of the engine: the baseline one
// that any x86-64 processor runs, and the AVX2 one where the processor has it.
const bool kAvx2Available = fc::g_use_avx2;

class CrossCheckSearch : public ::testing::TestWithParam<bool> {
   protected:
    void SetUp() override {
        if (GetParam() && !kAvx2Available) GTEST_SKIP() << "this processor lacks AVX2";
        fc::g_use_avx2 = GetParam();
    }
    void TearDown() override { fc::g_use_avx2 = kAvx2Available; }
};

INSTANTIATE_TEST_SUITE_P(Kernels, CrossCheckSearch, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Avx2" : "Baseline"; });

TEST_P(CrossCheckSearch, GameSequencesWithCarriedTables) {
    std::mt19937 rng(303);
    std::uniform_int_distribution<int> pct(0, 99);
    Calls calls;
    std::string error;
    for (int episode = 0; episode < 30 && error.empty(); ++episode) {
        init_both(1000 + episode);
        auto game = testutil::random_game(rng);
        // Walk the game from its end backwards on odd episodes so that deep
        // entries of later positions meet shallow requests and the reverse.
        if (episode % 2) std::reverse(game.begin(), game.end());
        for (size_t i = 0; i < game.size() && error.empty(); i += 1 + pct(rng) % 3) {
            const auto& p = game[i];
            int depth = pct(rng) % 5;
            double v = search_both(p.board, p.player, depth, -INF, INF, calls, error);
            for (const auto& [a, b] : windows_around(v, rng)) {
                if (pct(rng) < 40) search_both(p.board, p.player, depth, a, b, calls, error);
                if (pct(rng) < 15) search_both(p.board, p.player, depth + 1, a, b, calls, error);
                if (pct(rng) < 15 && depth > 0) search_both(p.board, p.player, depth - 1, a, b, calls, error);
            }
            // The same request again, and the other side on the same board.
            search_both(p.board, p.player, depth, -INF, INF, calls, error);
            search_both(p.board, 3 - p.player, depth, v - 5.0, v + 5.0, calls, error);
        }
    }
    ASSERT_TRUE(error.empty()) << error;
    EXPECT_GT(calls.count, 1000);
    RecordProperty("calls", calls.count);
    RecordProperty("reference_nodes", static_cast<int>(calls.reference_nodes));
}

// Deeper searches of a few positions: depth 5 with full and narrow windows,
// then shallower requests answered or narrowed by the deep entries.
TEST_P(CrossCheckSearch, DeepSearchesThenShallowRequests) {
    std::mt19937 rng(404);
    Calls calls;
    std::string error;
    for (int episode = 0; episode < 4 && error.empty(); ++episode) {
        auto game = testutil::random_game(rng);
        init_both(77 + episode);
        for (size_t i : {size_t{0}, size_t{9}, size_t{20}, game.size() / 2, game.size() - 14, game.size() - 6}) {
            if (i >= game.size() || !error.empty()) continue;
            const auto& p = game[i];
            double v = search_both(p.board, p.player, 5, -INF, INF, calls, error);
            search_both(p.board, p.player, 5, v - 1.0, v + 1.0, calls, error);
            for (int depth = 4; depth >= 1; --depth) {
                search_both(p.board, p.player, depth, -INF, INF, calls, error);
                search_both(p.board, p.player, depth, v, v, calls, error);
                search_both(p.board, p.player, depth, v + 3.0, v - 3.0, calls, error);
            }
            search_both(p.board, p.player, 5, v, INF, calls, error);
            search_both(p.board, p.player, 5, -INF, v, calls, error);
        }
    }
    ASSERT_TRUE(error.empty()) << error;
    RecordProperty("reference_nodes", static_cast<int>(calls.reference_nodes));
}

// Symmetric boards give tie lists of four, eight or more moves; arbitrary
// boards give positions no game reaches (one colour only, nearly full,
// sides without moves). Re-initialising with the same seed must leave no
// entry behind in either table.
TEST_P(CrossCheckSearch, SymmetricAndArbitraryBoards) {
    std::mt19937 rng(505);
    std::uniform_int_distribution<int> pct(0, 99);
    Calls calls;
    std::string error;
    size_t longest_tie = 0;
    for (int episode = 0; episode < 12 && error.empty(); ++episode) {
        init_both(episode % 3);  // seeds repeat: stale entries would show
        for (int i = 0; i < 25 && error.empty(); ++i) {
            Board b = i % 3 == 2 ? testutil::random_board(rng, 10 + pct(rng) * 9 / 10, pct(rng))
                                 : symmetric_board(rng, 15 + pct(rng) * 3 / 4);
            int player = 1 + pct(rng) % 2;
            int depth = pct(rng) % 4;
            double v = search_both(b, player, depth, -INF, INF, calls, error);
            Board copy = b;
            auto r = plain::minimax(copy, player, depth, -INF, INF, plain::zobrist_key(b, player));
            longest_tie = std::max(longest_tie, r.moves.size());
            for (const auto& [a, w] : windows_around(v, rng))
                if (pct(rng) < 30) search_both(b, player, depth + pct(rng) % 2, a, w, calls, error);
            search_both(b, 3 - player, depth + 1, -INF, INF, calls, error);
        }
    }
    ASSERT_TRUE(error.empty()) << error;
    EXPECT_GE(longest_tie, 8u) << "the boards should produce long tie lists";
}

// Many searches in one episode so the engine's table grows well past its
// first allocation, then is cleared and refilled.
TEST_P(CrossCheckSearch, LargeTablesClearedAndRefilled) {
    std::mt19937 rng(606);
    Calls calls;
    std::string error;
    for (int round = 0; round < 2 && error.empty(); ++round) {
        init_both(9);
        for (int g = 0; g < 10 && error.empty(); ++g) {
            auto game = testutil::random_game(rng);
            for (size_t i = 0; i < game.size() && error.empty(); i += 4)
                search_both(game[i].board, game[i].player, 3, -INF, INF, calls, error);
        }
        EXPECT_GT(plain::tt.size(), 3000u);
    }
    ASSERT_TRUE(error.empty()) << error;
}
