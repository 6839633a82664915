// The _solver extension module: the exact endgame solver (engine/solve.h) for
// the Python package. A position is two 64-bit masks (bit row * 8 + col),
// side 1's discs and side 2's discs, and the side to move (1 or 2); scores
// are from the side to move's view.
//
// Threads: each OS thread solves with a Solver of its own (thread_local),
// made on its first solve with the configured table size, so solves in two
// threads share no mutable state and run at once; the interpreter lock is
// released while solving. A thread's table keeps what its solves stored
// until clear_table() empties it. A solve may search with several threads
// (`threads`): the extra ones are the engine's own, started and ended by
// that solve, sharing the calling thread's table; they never touch Python. Ctrl-C: the stop hook takes the lock back every
// STOP_POLL of wall time in the main thread to run the signal handlers; a
// handler that raises stops the solve, and so does a progress callback that
// raises. The Python error is then raised with the lock held.
//
// The learned evaluation's weights, once load_weights() has read them, order
// the moves of nodes with many empties (engine/solve.h); without them the
// solver orders on a rough value, with the same answers. Like _think's, they
// are shared read-only by every solve; a solve keeps the set it started with.
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine/solve.h"
#include "module/weight_file.h"

namespace py = pybind11;

namespace {

using flipcore::Bitboard;

constexpr size_t MIN_TABLE_BYTES = size_t{1} << 20;
constexpr int MAX_THREADS = flipcore::MAX_SOLVE_THREADS;
constexpr auto STOP_POLL = std::chrono::milliseconds(15);

// The table size new and existing per-thread solvers take at their next solve.
std::atomic<size_t> g_table_bytes{flipcore::DEFAULT_SOLVE_TABLE_BYTES};
// The interpreter's main thread, the only one where signal handlers run.
unsigned long g_main_thread = 0;

// Read and replaced only with the interpreter lock held.
std::shared_ptr<const flipcore::EvalWeights> g_weights;

// This thread's solver, and whether a solve is running on it (a progress
// callback or signal handler that solves again gets a solver of its own).
thread_local std::unique_ptr<flipcore::Solver> t_solver;
thread_local bool t_busy = false;

// This thread's solver at the configured size; std::bad_alloc (MemoryError)
// if it cannot be had, leaving the old table in place.
flipcore::Solver& thread_solver() {
    const size_t bytes = g_table_bytes.load();
    if (!t_solver) t_solver = std::make_unique<flipcore::Solver>(bytes);
    else if (t_solver->table_bytes() != flipcore::SolveTable::bytes_for(bytes))
        t_solver->resize_table(bytes);
    return *t_solver;
}

void set_table_bytes(long long n) {
    if (n < static_cast<long long>(MIN_TABLE_BYTES))
        throw py::value_error("table size must be at least 1 MiB (1048576 bytes), got " + std::to_string(n));
    // Allocate this thread's table now, so that a size that cannot be had
    // fails here (MemoryError) and the configured size stays as it was.
    const size_t bytes = static_cast<size_t>(n);
    if (!t_busy) {
        bool allocated = true;
        {
            py::gil_scoped_release unlocked;
            try {
                if (!t_solver) t_solver = std::make_unique<flipcore::Solver>(bytes);
                else t_solver->resize_table(bytes);
            } catch (const std::bad_alloc&) {
                allocated = false;
            }
        }
        if (!allocated) {
            PyErr_Format(PyExc_MemoryError, "cannot allocate a solver table of %lld bytes; the table is unchanged", n);
            throw py::error_already_set();
        }
    }
    g_table_bytes.store(bytes);
}

size_t table_bytes() { return g_table_bytes.load(); }

// Loads the evaluation weight file at `path` for the solves that start after
// it; returns its checksum. A file that cannot be read or fails a check
// raises ValueError naming it, and the weights before stay in use.
uint64_t load_weights(const std::string& path) {
    g_weights = flipcore_module::read_weight_file(path);
    return g_weights->checksum();
}

bool weights_loaded() { return static_cast<bool>(g_weights); }

// Empties this thread's table in constant time (the table keeps its memory),
// so that its next solve runs as a new thread's would, node for node. Refused
// from inside a solve on this thread, whose table it would empty under it.
void clear_table() {
    if (t_busy) throw std::runtime_error("cannot clear the solver table from inside a solve on the same thread");
    if (!t_solver) return;  // this thread's first solve makes a new table
    py::gil_scoped_release unlocked;  // once in many clears, the whole block is zeroed
    t_solver->clear_table();
}

// Clears the solver's hooks and busy flag when a solve ends, also by an exception.
struct SolveScope {
    flipcore::Solver& solver;
    bool nested;
    ~SolveScope() {
        solver.stop = nullptr;
        solver.progress = nullptr;
        solver.weights = nullptr;
        if (!nested) t_busy = false;
    }
};

py::dict solve(Bitboard black, Bitboard white, int player, const std::string& mode_name,
               const std::function<void(int, int)>& progress, long long threads, int guess) {
    if (black & white) throw py::value_error("black and white overlap: a square holds discs of both sides");
    if (threads < 1 || threads > MAX_THREADS)
        throw py::value_error("threads must be between 1 and " + std::to_string(MAX_THREADS) + ", got " +
                              std::to_string(threads));
    if (player != 1 && player != 2) throw py::value_error("player must be 1 or 2, got " + std::to_string(player));
    flipcore::SolveMode mode;
    if (mode_name == "exact") mode = flipcore::SolveMode::exact;
    else if (mode_name == "wld") mode = flipcore::SolveMode::wld;
    else if (mode_name == "every_move") mode = flipcore::SolveMode::every_move;
    else throw py::value_error("mode must be \"exact\", \"wld\" or \"every_move\", got \"" + mode_name + "\"");

    const bool nested = t_busy;
    std::unique_ptr<flipcore::Solver> own_solver;
    flipcore::Solver* solver;
    {
        py::gil_scoped_release unlocked;
        if (nested) {
            own_solver = std::make_unique<flipcore::Solver>(g_table_bytes.load());
            solver = own_solver.get();
        } else {
            solver = &thread_solver();
        }
    }
    t_busy = true;
    SolveScope scope{*solver, nested};
    solver->threads = static_cast<int>(threads);
    const std::shared_ptr<const flipcore::EvalWeights> weights = g_weights;  // kept until the solve ends
    solver->weights = weights.get();

    // Each hook takes the interpreter lock for the Python work it does; a
    // Python error is left set on this thread and the solve stopped.
    if (PyThread_get_thread_ident() == g_main_thread) {
        auto next_poll = std::chrono::steady_clock::now() + STOP_POLL;
        solver->stop = [next_poll]() mutable {
            const auto now = std::chrono::steady_clock::now();
            if (now < next_poll) return false;
            next_poll = now + STOP_POLL;
            py::gil_scoped_acquire locked;
            return PyErr_CheckSignals() != 0;
        };
    }
    if (progress) {
        solver->progress = [&progress](int lower, int upper) {
            py::gil_scoped_acquire locked;
            try {
                progress(lower, upper);
            } catch (py::error_already_set& e) {
                e.restore();
                throw flipcore::SearchAborted();
            }
        };
    }

    const Bitboard own = player == 1 ? black : white, opp = player == 1 ? white : black;
    flipcore::SolveOutcome r;
    try {
        py::gil_scoped_release unlocked;
        r = solver->solve(own, opp, mode, guess);
    } catch (const flipcore::SearchAborted&) {
        throw py::error_already_set();
    }

    py::dict out;
    out["score"] = r.score;
    out["moves"] = py::cast(r.best);
    out["line"] = py::cast(r.line);
    py::list scores;
    for (const auto& [sq, v] : r.move_scores) scores.append(py::make_tuple(sq, v));
    out["move_scores"] = scores;
    out["nodes"] = r.nodes;
    return out;
}

}  // namespace

PYBIND11_MODULE(_solver, m) {
    g_main_thread = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    m.def("set_table_bytes", &set_table_bytes, py::arg("n"), py::pos_only(),
          "Sets the solver table's size in bytes (at least 1 MiB)");
    m.def("table_bytes", &table_bytes, "The solver table's size in bytes");
    m.def("clear_table", &clear_table,
          "Empties the calling thread's solver table, so that its next solve visits the same nodes as a new "
          "thread's would");
    m.def("solve", &solve, py::arg("black"), py::arg("white"), py::arg("player"), py::arg("mode"),
          py::arg("progress") = py::none(), py::arg("threads") = 1, py::pos_only(), py::arg("guess") = 0,
          "Solves the position exactly in mode \"exact\", \"wld\" or \"every_move\" with `threads` threads (1 to "
          "256), starting from `guess`, an estimate of the score in the side to move's view (any value gives the "
          "same answer); squares are row * 8 + col, -1 a pass");
    m.def("load_weights", &load_weights, py::arg("path"), py::pos_only(),
          "Loads the evaluation weight file at path, which orders the moves of the solves that start after it; "
          "returns its checksum");
    m.def("weights_loaded", &weights_loaded, "Whether evaluation weights are loaded");
    m.attr("MAX_THREADS") = MAX_THREADS;
}
