// Speed of the exact endgame solver on the standard endgame positions: each
// solved for its exact score and every best move, one thread unless told, a
// fresh table per position. Every answer is checked against the file; a
// mismatch fails the run (exit status 1).
//
//   solve_bench [FILE] [--only N[,N...]] [--baseline] [--table-mib M] [--threads N [--split E]] [--every-move | --wld]
//               [--trace] [--no-guess] [--rough-order] [--weights W] [--selective L,S,E]
//
// FILE defaults to ../shared/endgame/positions.txt from the repository root,
// then to the copy in tests/data. --only runs the listed position numbers;
// --baseline runs the baseline kernels even where the processor has AVX2;
// --every-move solves in mode every_move (each move's exact score) instead,
// --wld in mode wld (only win, draw or loss: the result's sign must match,
// and every exact best move must be among the moves keeping the result);
// --threads searches with N threads, sharing nodes with at least E empties
// (--split, default the solver's); --trace prints each bound the root
// search proves and the processor time it took. Solves run as the package
// runs them, with the learned evaluation (weights W, default
// src/flipcore/data/eval.bin): each starts from the first guess of a short
// search on it, that search's time counted in the solve's, and nodes with
// many empties order their moves by shallow searches on it. --no-guess
// starts from 0 instead; --rough-order orders on the rough static value
// alone; both together run the solver without the evaluation. --selective
// runs the selective searches from level L down to S in solves of at least
// E empties (0,1,E: none; default the solver's). "cpu s" is the processor
// time of every thread of the process. benchmarks/solve_threads.py runs
// one and two threads beside an earlier version of the solver.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/think.h"
#include "tests/data/endgame_positions.h"

namespace {

using Position = endgame::Position;

std::string square_name(int sq) { return std::string(1, char('a' + sq % 8)) + char('1' + sq / 8); }

// Reads `path` into `out`; false when it cannot be opened.
bool read_positions(const std::string& path, std::vector<Position>& out) {
    std::ifstream in(path);
    if (!in) return false;
    try {
        out = endgame::read_positions(in);
    } catch (const std::runtime_error& err) {
        std::fprintf(stderr, "%s\n", err.what());
        std::exit(2);
    }
    return true;
}

// The process's processor time (all its threads): on a shared machine it
// measures the work better than the wall clock does.
double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::string squares_text(const std::vector<int>& squares) {
    std::string s;
    for (int sq : squares) s += (s.empty() ? "" : " ") + square_name(sq);
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    std::string path;
    std::set<int> only;
    bool baseline = false;
    bool trace = false;
    bool guess = true;
    bool eval_order = true;
    std::string weights_path = "src/flipcore/data/eval.bin";
    flipcore::SolveMode mode = flipcore::SolveMode::exact;
    size_t table_mib = flipcore::DEFAULT_SOLVE_TABLE_BYTES >> 20;
    int threads = 1;
    int split = flipcore::solve_detail::SPLIT_MIN_EMPTIES;
    const flipcore::Solver defaults;
    int loosest = defaults.selective_loosest, surest = defaults.selective_surest,
        selective_min = defaults.selective_min_empties;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--baseline") {
            baseline = true;
        } else if (arg == "--no-guess") {
            guess = false;
        } else if (arg == "--rough-order") {
            eval_order = false;
        } else if (arg == "--weights" && i + 1 < argc) {
            weights_path = argv[++i];
        } else if (arg == "--selective" && i + 1 < argc) {
            if (std::sscanf(argv[++i], "%d,%d,%d", &loosest, &surest, &selective_min) != 3) {
                std::fprintf(stderr, "--selective takes LOOSEST,SUREST,MIN_EMPTIES\n");
                return 2;
            }
        } else if (arg == "--trace") {
            trace = true;
        } else if (arg == "--every-move") {
            mode = flipcore::SolveMode::every_move;
        } else if (arg == "--wld") {
            mode = flipcore::SolveMode::wld;
        } else if (arg == "--only" && i + 1 < argc) {
            std::stringstream list(argv[++i]);
            std::string n;
            while (std::getline(list, n, ',')) only.insert(std::stoi(n));
        } else if (arg == "--threads" && i + 1 < argc) {
            threads = std::stoi(argv[++i]);
            if (threads < 1) {
                std::fprintf(stderr, "--threads must be at least 1\n");
                return 2;
            }
        } else if (arg == "--split" && i + 1 < argc) {
            split = std::stoi(argv[++i]);
            if (split <= flipcore::solve_detail::SHALLOW_EMPTIES) {
                std::fprintf(stderr, "--split must exceed %d\n", flipcore::solve_detail::SHALLOW_EMPTIES);
                return 2;
            }
        } else if (arg == "--table-mib" && i + 1 < argc) {
            table_mib = std::stoul(argv[++i]);
        } else if (!arg.empty() && arg[0] != '-') {
            path = arg;
        } else {
            std::fprintf(stderr,
                         "usage: solve_bench [FILE] [--only N[,N...]] [--baseline] [--table-mib M] [--threads N [--split E]] "
                         "[--every-move | --wld] "
                         "[--trace] [--no-guess] [--rough-order] [--weights W] [--selective L,S,E]\n");
            return 2;
        }
    }

    std::vector<Position> positions;
    const std::vector<std::string> candidates =
        path.empty() ? std::vector<std::string>{"../shared/endgame/positions.txt", "tests/data/endgame.txt"}
                     : std::vector<std::string>{path};
    bool found = false;
    for (const auto& c : candidates)
        if (read_positions(c, positions)) {
            std::printf("positions: %s\n", c.c_str());
            found = true;
            break;
        }
    if (!found) {
        std::fprintf(stderr, "cannot read the positions file (run from the repository root or give its path)\n");
        return 2;
    }

    flipcore::EvalWeights weights;
    if (guess || eval_order) {
        try {
            weights = flipcore::EvalWeights::load(weights_path);
        } catch (const std::runtime_error& err) {
            std::fprintf(stderr, "%s (run from the repository root, or give --weights)\n", err.what());
            return 2;
        }
    }
    std::printf("mode %s, kernels: %s, table %zu MiB, threads %d, first guess %s, order %s\n", mode == flipcore::SolveMode::exact  ? "exact"
                                         : mode == flipcore::SolveMode::wld ? "wld"
                                                                            : "every_move",
                baseline ? "baseline" : "best available", table_mib, threads, guess ? weights_path.c_str() : "0",
                eval_order ? weights_path.c_str() : "rough");
    std::printf("%4s %7s %-8s %10s %10s %14s %12s  %s\n", "#", "score", "moves", "seconds", "cpu s", "nodes",
                "nodes/s", "check");
    double total_seconds = 0, total_cpu = 0;
    uint64_t total_nodes = 0;
    bool all_right = true;
    for (const auto& p : positions) {
        if (!only.empty() && !only.count(p.number)) continue;
        flipcore::Solver solver(table_mib << 20);
        if (baseline) solver.use_avx2 = false;
        solver.threads = threads;
        if (eval_order) solver.weights = &weights;
        solver.split_min_empties = split;
        solver.selective_loosest = loosest;
        solver.selective_surest = surest;
        solver.selective_min_empties = selective_min;
        double last = cpu_seconds();
        if (trace) {
            // Where a solve's time goes: each bound the root's null-window
            // searches prove, with the processor time it took.
            solver.progress = [&last](int lower, int upper) {
                const double now = cpu_seconds();
                std::printf("      [%+d, %+d] after %.3f s\n", lower, upper, now - last);
                last = now;
            };
        }
        const auto t0 = std::chrono::steady_clock::now();
        const double c0 = cpu_seconds();
        // The evaluation reads the side to move's view whichever side that is.
        const int first = guess && mode != flipcore::SolveMode::wld
                              ? flipcore::solve_first_guess(weights, p.own, p.opp, 1)
                              : 0;
        const flipcore::SolveOutcome r = solver.solve(p.own, p.opp, mode, first);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const double cpu = cpu_seconds() - c0;
        const int sign = (p.score > 0) - (p.score < 0);
        const bool right = mode == flipcore::SolveMode::wld
                               ? r.score == sign && std::includes(r.best.begin(), r.best.end(), p.best.begin(), p.best.end())
                               : r.score == p.score && r.best == p.best;
        all_right = all_right && right;
        total_seconds += seconds;
        total_cpu += cpu;
        total_nodes += r.nodes;
        std::printf("%4d %+7d %-8s %10.3f %10.3f %14llu %12.0f  %s", p.number, r.score, squares_text(r.best).c_str(),
                    seconds, cpu, static_cast<unsigned long long>(r.nodes), r.nodes / cpu,
                    right ? "ok" : ("WRONG, expected " + std::to_string(p.score) + " " + squares_text(p.best)).c_str());
        // With helpers: their share of the nodes, and the threads' waiting
        // for work as a share of their time (threads x seconds).
        if (threads > 1)
            std::printf("  (helpers %.0f%% of nodes, idle %.0f%%)", 100.0 * r.helper_nodes / r.nodes,
                        100.0 * r.idle_seconds / (threads * seconds));
        std::printf("\n");
        std::fflush(stdout);
    }
    std::printf("total %23.3f %10.3f %14llu %12.0f  %s\n", total_seconds, total_cpu,
                static_cast<unsigned long long>(total_nodes), total_nodes / total_cpu,
                all_right ? "all right" : "MISMATCH");
    return all_right ? 0 : 1;
}
