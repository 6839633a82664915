// The learned evaluation and the search on it: pattern indices kept move by
// move against a recount, the weight file's checks, the evaluation against a
// direct reading of the file, and full-depth searches against the solver.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "engine/think.h"
#include "tests/cpp/test_util.h"

namespace {

using namespace flipcore;

// Random positions by random legal moves from the start (passing when
// needed), `plies` moves deep or until the game ends.
struct Pos {
    Bitboard own, opp;
    int mover;
};
Pos random_position(std::mt19937& rng, int plies) {
    Pos p{0x0000000810000000ULL, 0x0000001008000000ULL, 1};
    for (int i = 0; i < plies; ++i) {
        Bitboard legal = legal_moves(p.own, p.opp);
        if (!legal) {
            if (!legal_moves(p.opp, p.own)) break;
            p = {p.opp, p.own, 3 - p.mover};
            continue;
        }
        std::vector<int> sq;
        while (legal) sq.push_back(pop_lowest(legal));
        const int x = sq[std::uniform_int_distribution<size_t>(0, sq.size() - 1)(rng)];
        const Bitboard f = flips(p.own, p.opp, x);
        p = {p.opp ^ f, p.own | f | square_bit(x), 3 - p.mover};
    }
    return p;
}

// The camps of testutil::blocked_camps as bitboards.
Pos blocked_position(std::mt19937& rng) {
    const testutil::Position t = testutil::blocked_camps(rng);
    Pos p{0, 0, t.player};
    for (int sq = 0; sq < 64; ++sq) {
        const int cell = t.board[sq / 8][sq % 8];
        if (cell == t.player) p.own |= square_bit(sq);
        else if (cell != 0) p.opp |= square_bit(sq);
    }
    return p;
}

// A weight file with random weights: the raw file-order tables are kept for
// the reference evaluation.
struct File {
    std::vector<uint8_t> bytes;
    std::vector<int16_t> raw;  // per stage: the groups' tables in file order
    std::vector<int16_t> global;
    int stages;
};
File make_file(int stages, uint32_t seed) {
    File f{{}, {}, {}, stages};
    std::mt19937 rng(seed);
    auto u32 = [&f](uint32_t v) {
        for (int k = 0; k < 4; ++k) f.bytes.push_back(static_cast<uint8_t>(v >> (8 * k)));
    };
    auto i16 = [&f](int16_t v) {
        f.bytes.push_back(static_cast<uint8_t>(v & 0xFF));
        f.bytes.push_back(static_cast<uint8_t>((static_cast<uint16_t>(v) >> 8) & 0xFF));
    };
    f.bytes.assign(EVAL_MAGIC, EVAL_MAGIC + 8);
    for (uint32_t v : {1u, 64u, static_cast<uint32_t>(PATTERN_GROUP_COUNT), static_cast<uint32_t>(stages), 3u}) u32(v);
    for (int e = 0; e <= 60; ++e) f.bytes.push_back(static_cast<uint8_t>(e * stages / 61));
    f.bytes.insert(f.bytes.end(), 3, 0);
    for (const auto& g : PATTERN_GROUPS) u32(static_cast<uint32_t>(g.size));
    std::uniform_int_distribution<int> w(-300, 300);
    for (int i = 0; i < stages * PATTERN_WEIGHTS_PER_STAGE; ++i) f.raw.push_back(static_cast<int16_t>(w(rng)));
    for (int i = 0; i < stages * EVAL_GLOBAL_COUNT; ++i) f.global.push_back(static_cast<int16_t>(w(rng)));
    for (int16_t v : f.raw) i16(v);
    for (int16_t v : f.global) i16(v);
    const uint64_t h = fnv1a64(f.bytes.data(), f.bytes.size());
    for (int k = 0; k < 8; ++k) f.bytes.push_back(static_cast<uint8_t>(h >> (8 * k)));
    return f;
}

// The evaluation read straight from the file: each instance's index from the
// mover's view, digit by digit.
int reference_value(const File& f, const Pos& p) {
    const int empties = 64 - popcount(p.own | p.opp);
    const int stage = empties * f.stages / 61;
    int sum = 0;
    for (const auto& inst : PATTERN_INSTANCES) {
        int idx = 0;
        for (int j = 0, w = 1; j < inst.size; ++j, w *= 3) {
            const Bitboard b = square_bit(inst.squares[j]);
            idx += ((p.own & b) ? 1 : (p.opp & b) ? 2 : 0) * w;
        }
        sum += f.raw[static_cast<size_t>(stage * PATTERN_WEIGHTS_PER_STAGE + PATTERN_TABLE_OFFSETS[inst.group] + idx)];
    }
    const int16_t* g = &f.global[static_cast<size_t>(stage * EVAL_GLOBAL_COUNT)];
    const int mobility = popcount(legal_moves(p.own, p.opp)) - popcount(legal_moves(p.opp, p.own));
    return sum + g[0] + g[1] * mobility + g[2] * (empties & 1);
}

TEST(Think, IndicesFollowTheMovesOfWholeGames) {
    std::mt19937 rng(7);
    for (int game = 0; game < 200; ++game) {
        Bitboard black = 0x0000000810000000ULL, white = 0x0000001008000000ULL;
        int mover = 1;
        PatternIndices p = PatternIndices::from_board(black, white);
        for (int passes = 0; passes < 2;) {
            Bitboard& own = mover == 1 ? black : white;
            Bitboard& opp = mover == 1 ? white : black;
            Bitboard legal = legal_moves(own, opp);
            if (legal) {
                passes = 0;
                std::vector<int> sq;
                while (legal) sq.push_back(pop_lowest(legal));
                const int x = sq[std::uniform_int_distribution<size_t>(0, sq.size() - 1)(rng)];
                const Bitboard f = flips(own, opp, x);
                const PatternIndices before = PatternIndices::from_board(own, opp);  // the mover as side 1
                p.play(mover, x, f);
                own |= f | square_bit(x);
                opp ^= f;
                ASSERT_EQ(p.view, PatternIndices::from_board(black, white).view) << "game " << game;
                ASSERT_EQ(before.after_move(x, f).view, PatternIndices::from_board(opp, own).view) << "game " << game;
            } else {
                ++passes;
            }
            mover = 3 - mover;
        }
    }
}

TEST(Think, EvaluationReadsTheFileFromEitherSidesView) {
    const File f = make_file(4, 11);
    const EvalWeights w = EvalWeights::parse(f.bytes, "test.bin");
    EXPECT_EQ(w.stages(), 4);
    std::mt19937 rng(3);
    for (int i = 0; i < 300; ++i) {
        const Pos p = random_position(rng, static_cast<int>(rng() % 60));
        ASSERT_EQ(Thinker::static_value(w, p.own, p.opp, p.mover), reference_value(f, p)) << i;
    }
}

TEST(Think, DamagedFilesAreRefusedByName) {
    const File f = make_file(1, 5);
    auto refused = [](std::vector<uint8_t> bytes, const char* why) {
        try {
            EvalWeights::parse(bytes, "weights.bin");
        } catch (const std::runtime_error& e) {
            const std::string msg = e.what();
            EXPECT_NE(msg.find("weights.bin: "), std::string::npos) << msg;
            EXPECT_NE(msg.find(why), std::string::npos) << msg;
            return;
        }
        ADD_FAILURE() << "accepted a file that should fail with: " << why;
    };
    std::vector<uint8_t> b = f.bytes;
    b[b.size() / 2] ^= 1;
    refused(b, "checksum");
    refused(std::vector<uint8_t>(f.bytes.begin(), f.bytes.begin() + 200), "ends inside");
    b = f.bytes;
    b[0] = 'X';
    refused(b, "magic");
    b = f.bytes;
    b[EVAL_HEADER_BYTES] = 9;  // the first group's size
    refused(b, "groups differ");
    b = f.bytes;
    b[8 + 5 * 4 + 60] = 7;  // the stage of 60 empties: there is one stage
    refused(b, "stage map");
    b = f.bytes;
    b.push_back(0);
    refused(b, "longer");
    EXPECT_THROW(EvalWeights::load("/nonexistent/eval.bin"), std::runtime_error);
}

// Searching as deep as the empty squares reaches the end of every line, so
// the evaluation plays no part: the value is the solver's, passes included.
TEST(Think, FullDepthSearchesGiveTheSolversScore) {
    const File f = make_file(2, 9);
    const EvalWeights w = EvalWeights::parse(f.bytes, "test.bin");
    std::mt19937 rng(21);
    Thinker thinker(1 << 12);
    thinker.use_solver = false;
    Solver solver(size_t{1} << 20);
    int passes = 0, others = 0;
    for (int i = 0; i < 4000 && (passes < 10 || others < 150); ++i) {
        const Pos p = random_position(rng, 48 + static_cast<int>(rng() % 9));
        // Every position whose side to move must pass, and enough others.
        const bool pass = !legal_moves(p.own, p.opp);
        if (!pass && others >= 150) continue;
        const int empties = 64 - popcount(p.own | p.opp);
        const ThinkOutcome t = thinker.think(w, p.own, p.opp, p.mover, empties, 0);
        const SolveOutcome s = solver.solve(p.own, p.opp, SolveMode::exact);
        ASSERT_TRUE(t.exact) << i;
        ASSERT_FALSE(t.solved) << i;
        ASSERT_EQ(t.value, s.score * w.scale()) << i;
        if (!s.best.empty()) {
            EXPECT_NE(std::find(s.best.begin(), s.best.end(), t.move), s.best.end()) << i;
        }
        (pass ? passes : others) += 1;
    }
    EXPECT_GE(passes, 10) << "too few positions whose side to move must pass";

    // Blocked camps: at the root (24 discs each, rows 3 and 4 empty: a draw)
    // and deep in the search.
    const Bitboard top = 0x0000000000FFFFFFULL, bottom = 0xFFFFFF0000000000ULL;
    const ThinkOutcome drawn = thinker.think(w, top, bottom, 1, 16, 0);
    EXPECT_TRUE(drawn.exact);
    EXPECT_EQ(drawn.value, 0);
    int draws = 0;
    for (int i = 0; i < 200; ++i) {
        const Pos p = blocked_position(rng);
        const int empties = 64 - popcount(p.own | p.opp);
        const ThinkOutcome t = thinker.think(w, p.own, p.opp, p.mover, empties, 0);
        const SolveOutcome s = solver.solve(p.own, p.opp, SolveMode::exact);
        ASSERT_EQ(t.value, s.score * w.scale()) << "blocked position " << i;
        draws += s.score == 0;
    }
    EXPECT_GE(draws, 5) << "too few drawn endings among the blocked positions";
}

TEST(Think, StopsWhenAskedAndHonoursTime) {
    const File f = make_file(2, 13);
    const EvalWeights w = EvalWeights::parse(f.bytes, "test.bin");
    Thinker thinker;
    const Pos start{0x0000000810000000ULL, 0x0000001008000000ULL, 1};
    thinker.stop = [] { return true; };
    EXPECT_THROW(thinker.think(w, start.own, start.opp, 1, 0, 0), SearchAborted);
    thinker.stop = nullptr;
    const auto t0 = std::chrono::steady_clock::now();
    const ThinkOutcome t = thinker.think(w, start.own, start.opp, 1, 0, 0.2);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(took, 0.3);
    EXPECT_GE(t.depth, 4);
    EXPECT_TRUE(legal_moves(start.own, start.opp) & square_bit(t.move));
}

}  // namespace
