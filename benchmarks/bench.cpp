// Speed and memory of the engine against the plain reference, side by side in
// one run, on the same positions with the same keys. Every result of both is
// compared: a benchmark whose answers differ reports the difference and fails.
//
//   bench                 the three workloads and the memory measurement
//   bench --quick         smaller depths, for a fast check that everything agrees
//   bench --repeat N      rounds per workload (default 3), each a plain run
//                         beside engine runs of about as long (see compare())
//   bench --baseline      run the engine's baseline kernels even where the
//                         processor has AVX2
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "engine/search.h"
#include "tests/plain/plain.h"

namespace {

using flipcore::Board;
using flipcore::Move;

constexpr uint32_t KEY_SEED = 20261208;
constexpr double INF = std::numeric_limits<double>::infinity();

struct Outcome {
    double val;
    std::vector<Move> moves;
    bool operator==(const Outcome& o) const {
        return std::memcmp(&val, &o.val, sizeof val) == 0 && moves == o.moves;
    }
};

// One side of the comparison: how to reset its state and run one search.
struct Searcher {
    const char* name;
    std::function<void()> init;
    std::function<Outcome(Board&, int, int)> search;
    std::function<uint64_t()> nodes;
};

Searcher engine_searcher() {
    return {"engine",
            [] {
                flipcore::init_zobrist_seeded(KEY_SEED);
                flipcore::tt.clear();
                flipcore::g_nodes = 0;
            },
            [](Board& b, int player, int depth) {
                auto r = flipcore::minimax(b, player, depth, -INF, INF, flipcore::zobrist_key(b, player));
                return Outcome{r.val, r.moves};
            },
            [] { return flipcore::g_nodes; }};
}

Searcher plain_searcher() {
    return {"plain",
            [] {
                plain::init(KEY_SEED);
                plain::nodes = 0;
            },
            [](Board& b, int player, int depth) {
                auto r = plain::minimax(b, player, depth, -INF, INF, plain::zobrist_key(b, player));
                return Outcome{r.val, r.moves};
            },
            [] { return plain::nodes; }};
}

// --- positions -----------------------------------------------------------

struct Position {
    Board board;
    int player;
};

Position start_position() {
    Board b{};
    b[3][3] = b[4][4] = 2;
    b[3][4] = b[4][3] = 1;
    return {b, 1};
}

std::vector<int> legal_squares(const Position& p) {
    std::vector<int> out;
    for (int sq = 0; sq < 64; ++sq)
        if (flipcore::is_legal_move(p.board, sq & 7, sq >> 3, p.player)) out.push_back(sq);
    return out;
}

void play(Position& p, int col, int row) {
    flipcore::make_move(p.board, col, row, flipcore::collect_flips(p.board, col, row, p.player), p.player);
    p.player = flipcore::opponent(p.player);
}

// A position after `plies` random moves from the start (a side without a
// move passes). Returns false if the game ended first.
bool random_position(std::mt19937& rng, int plies, Position& out) {
    Position p = start_position();
    for (int i = 0; i < plies; ++i) {
        std::vector<int> moves = legal_squares(p);
        if (moves.empty()) {
            p.player = flipcore::opponent(p.player);
            moves = legal_squares(p);
            if (moves.empty()) return false;
        }
        const int sq = moves[std::uniform_int_distribution<size_t>(0, moves.size() - 1)(rng)];
        play(p, sq & 7, sq >> 3);
    }
    if (legal_squares(p).empty()) return false;  // searching a pass is not a workload
    out = p;
    return true;
}

std::vector<Position> random_positions(uint32_t seed, int count, int min_plies, int max_plies) {
    std::mt19937 rng(seed);
    std::vector<Position> out;
    while (static_cast<int>(out.size()) < count) {
        const int plies = std::uniform_int_distribution<int>(min_plies, max_plies)(rng);
        Position p;
        if (random_position(rng, plies, p)) out.push_back(p);
    }
    return out;
}

// --- workloads -----------------------------------------------------------

struct Run {
    double seconds;
    uint64_t nodes;
    std::vector<Outcome> outcomes;
};

using Workload = std::function<std::vector<Outcome>(const Searcher&)>;

Run timed(const Searcher& s, const Workload& w) {
    s.init();
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<Outcome> outcomes = w(s);
    const auto t1 = std::chrono::steady_clock::now();
    return {std::chrono::duration<double>(t1 - t0).count(), s.nodes(), std::move(outcomes)};
}

// Both searchers timed side by side. This machine's speed drifts by up to a
// third over seconds, so each round times one run of the plain reference and,
// right after it, the engine over and over for about as long, taking the
// engine's mean; the two figures of a round thus share the same conditions.
// The ratio is the median of the rounds' ratios. Every run must give the
// results of the first (empty outcomes mark a comparison that failed).
struct Comparison {
    Run engine, plain;  // the results of the first runs, with the fastest round's time
    double ratio;
};

Comparison compare(const Searcher& eng, const Searcher& ref, const Workload& w, int rounds) {
    Comparison c{timed(eng, w), timed(ref, w), 0};  // first runs: they also grow the tables
    std::vector<double> ratios;
    for (int r = 0; r < rounds; ++r) {
        const Run p = timed(ref, w);
        if (p.outcomes != c.plain.outcomes) return {};
        double spent = 0;
        int runs = 0;
        do {
            const Run e = timed(eng, w);
            if (e.outcomes != c.engine.outcomes) return {};
            spent += e.seconds;
            ++runs;
        } while (spent < p.seconds);
        const double e_mean = spent / runs;
        if (r == 0 || p.seconds < c.plain.seconds) c.plain.seconds = p.seconds;
        if (r == 0 || e_mean < c.engine.seconds) c.engine.seconds = e_mean;
        ratios.push_back(p.seconds / e_mean);
    }
    std::sort(ratios.begin(), ratios.end());
    const size_t n = ratios.size();
    c.ratio = n % 2 ? ratios[n / 2] : (ratios[n / 2 - 1] + ratios[n / 2]) / 2;
    return c;
}

Workload fixed_positions(std::vector<Position> positions, int depth) {
    return [positions, depth](const Searcher& s) {
        std::vector<Outcome> out;
        for (Position p : positions) out.push_back(s.search(p.board, p.player, depth));
        return out;
    };
}

// One game of the searcher against itself, playing the first tied move, with
// the table carried from move to move as a host program would.
Workload self_play(int depth) {
    return [depth](const Searcher& s) {
        std::vector<Outcome> out;
        Position p = start_position();
        for (;;) {
            Outcome r = s.search(p.board, p.player, depth);
            out.push_back(r);
            if (r.moves.empty()) {
                p.player = flipcore::opponent(p.player);
                if (legal_squares(p).empty()) break;
                continue;
            }
            play(p, r.moves[0].first, r.moves[0].second);
        }
        return out;
    };
}

bool report(const char* name, const Comparison& c) {
    const Run &e = c.engine, &p = c.plain;
    const bool same = e.outcomes == p.outcomes && e.nodes == p.nodes;
    std::printf("%-5s  %9.4f s %12.0f n/s   %9.3f s %12.0f n/s   %7.1fx  %12llu  %s\n", name, e.seconds,
                e.nodes / e.seconds, p.seconds, p.nodes / p.seconds, c.ratio,
                static_cast<unsigned long long>(e.nodes), same ? "identical" : "DIFFERENT");
    return same;
}

// --- memory --------------------------------------------------------------

long resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

// Resident-set growth per stored position over one search from an empty
// table, measured in a child process so earlier work does not blur it.
double bytes_per_position(const Searcher& s, const Position& pos, int depth, size_t (*entries)()) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        s.init();
        Board b = pos.board;
        const long before = resident_bytes();
        s.search(b, pos.player, depth);
        const double per = static_cast<double>(resident_bytes() - before) / static_cast<double>(entries());
        if (write(fds[1], &per, sizeof per) != sizeof per) _exit(1);
        _exit(0);
    }
    double per = -1;
    if (read(fds[0], &per, sizeof per) != sizeof per) per = -1;
    close(fds[0]);
    close(fds[1]);
    waitpid(pid, nullptr, 0);
    return per;
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    int repeat = 3;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) quick = true;
        else if (std::strcmp(argv[i], "--baseline") == 0) flipcore::g_use_avx2 = false;
        else if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) repeat = std::max(1, std::atoi(argv[++i]));
        else {
            std::fprintf(stderr, "usage: bench [--quick] [--repeat N] [--baseline]\n");
            return 2;
        }
    }
    const Searcher engine = engine_searcher(), reference = plain_searcher();
    std::printf("engine kernels: %s\n", flipcore::g_use_avx2 ? "AVX2" : "baseline (SSE2)");

    // Memory first, in fresh child processes, before any table exists here.
    const Position mid = random_positions(3, 1, 20, 20)[0];
    const int mem_depth = quick ? 7 : 10;
    const double e_mem = bytes_per_position(engine, mid, mem_depth, [] { return flipcore::tt.size(); });
    const double p_mem = bytes_per_position(reference, mid, mem_depth, [] { return plain::tt.size(); });

    struct Case {
        const char* name;
        Workload work;
    };
    const Case cases[] = {
        {"mid", fixed_positions(random_positions(1, 8, 10, 36), quick ? 5 : 8)},
        {"end", fixed_positions(random_positions(2, 4, 46, 50), quick ? 9 : 14)},
        {"game", self_play(quick ? 4 : 6)},
    };

    std::printf("%-5s  %26s   %26s   %8s  %12s\n", "", "engine", "plain", "ratio", "nodes");
    bool ok = true;
    double log_sum = 0;
    for (const Case& c : cases) {
        const Comparison result = compare(engine, reference, c.work, repeat);
        if (result.engine.outcomes.empty() || result.plain.outcomes.empty()) {
            std::printf("FAILED: a repeated %s run gave other results\n", c.name);
            return 1;
        }
        ok &= report(c.name, result);
        log_sum += std::log(result.ratio);
    }
    std::printf("geometric mean of the ratios: %.1fx\n", std::exp(log_sum / 3));

    std::printf("bytes per stored position (depth %d from the same midgame position): engine %.1f, plain %.1f\n",
                mem_depth, e_mem, p_mem);

    if (!ok) std::printf("FAILED: the engine's results differ from the plain reference\n");
    return ok ? 0 : 1;
}
