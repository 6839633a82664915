// The _think extension module: the learned evaluation (engine/eval_weights.h)
// and the strong player's search on it (engine/think.h), for the package. A
// position is two 64-bit masks (bit row * 8 + col), side 1's discs and side
// 2's discs, and the side to move (1 or 2); values are in discs from the side
// to move's view.
//
// The weights are loaded once by load_weights() and shared, read-only, by
// every thread; a later load replaces them for the searches that start after
// it. Each OS thread searches with a Thinker of its own (thread_local), so
// searches in two threads share no mutable state and run at once with the
// interpreter lock released. Ctrl-C works as in the solver's binding: the
// stop hook takes the lock every STOP_POLL in the main thread to run the
// signal handlers, and a handler that raises stops the search.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/think.h"
#include "module/weight_file.h"

namespace py = pybind11;

namespace {

using flipcore::Bitboard;

constexpr auto STOP_POLL = std::chrono::milliseconds(15);

// Read and replaced only with the interpreter lock held.
std::shared_ptr<const flipcore::EvalWeights> g_weights;
unsigned long g_main_thread = 0;

// The memory ceiling of a thread's tables together (0: the default sizes);
// a thread's tables take a new ceiling at its next search.
std::atomic<size_t> g_table_ceiling{0};

thread_local std::unique_ptr<flipcore::Thinker> t_thinker;
thread_local bool t_busy = false;

void check_position(Bitboard black, Bitboard white, int player) {
    if (black & white) throw py::value_error("black and white overlap: a square holds discs of both sides");
    if (player != 1 && player != 2) throw py::value_error("player must be 1 or 2, got " + std::to_string(player));
}

std::shared_ptr<const flipcore::EvalWeights> weights() {
    if (!g_weights) throw std::runtime_error("no evaluation weights are loaded: call load_weights(path) first");
    return g_weights;
}

// Loads the weight file at `path` for every later evaluation; returns its
// checksum. A file that cannot be read or fails a check raises ValueError
// naming it, and the weights loaded before stay in use.
uint64_t load_weights(const std::string& path) {
    g_weights = flipcore_module::read_weight_file(path);
    return g_weights->checksum();
}

bool weights_loaded() { return static_cast<bool>(g_weights); }

py::list pattern_groups() {
    py::list out;
    for (int g = 0; g < flipcore::PATTERN_GROUP_COUNT; ++g) {
        py::list instances;
        for (const auto& inst : flipcore::PATTERN_INSTANCES) {
            if (inst.group != g) continue;
            py::list squares;
            for (int j = 0; j < inst.size; ++j) squares.append(inst.squares[j]);
            instances.append(squares);
        }
        out.append(py::make_tuple(flipcore::PATTERN_GROUPS[g].name, flipcore::PATTERN_GROUPS[g].size, instances));
    }
    return out;
}

// Every instance's index from the side to move's view (digit 1 its disc, 2
// the opponent's), as the weight file indexes them.
std::vector<int> features(Bitboard black, Bitboard white, int player) {
    check_position(black, white, player);
    const auto p = flipcore::PatternIndices::from_board(black, white);
    const auto& view = p.view[static_cast<size_t>(player - 1)];
    return std::vector<int>(view.begin(), view.end());
}

// Indices after playing a sequence of squares (-1 a pass) from a position,
// updated move by move as the search does; for checking the updates.
std::vector<int> features_after(Bitboard black, Bitboard white, int player, const std::vector<int>& moves) {
    check_position(black, white, player);
    auto p = flipcore::PatternIndices::from_board(black, white);
    for (const int sq : moves) {
        Bitboard& own = player == 1 ? black : white;
        Bitboard& opp = player == 1 ? white : black;
        if (sq != flipcore::PASS_SQUARE) {
            if (sq < 0 || sq > 63 || !(flipcore::legal_moves(own, opp) & flipcore::square_bit(sq)))
                throw py::value_error("illegal move " + std::to_string(sq));
            const Bitboard f = flipcore::flips(own, opp, sq);
            p.play(player, sq, f);
            own |= f | flipcore::square_bit(sq);
            opp ^= f;
        }
        player = 3 - player;
    }
    const auto& view = p.view[static_cast<size_t>(player - 1)];
    return std::vector<int>(view.begin(), view.end());
}

double evaluate(Bitboard black, Bitboard white, int player) {
    check_position(black, white, player);
    const auto w = weights();
    const Bitboard own = player == 1 ? black : white, opp = player == 1 ? white : black;
    return static_cast<double>(flipcore::Thinker::static_value(*w, own, opp, player)) / w->scale();
}

// In the main thread, a stop hook that lets Ctrl-C stop a search: it takes
// the interpreter lock every STOP_POLL to run the signal handlers. None in
// other threads.
std::function<bool()> signal_hook() {
    if (PyThread_get_thread_ident() != g_main_thread) return nullptr;
    auto next_poll = std::chrono::steady_clock::now() + STOP_POLL;
    return [next_poll]() mutable {
        const auto now = std::chrono::steady_clock::now();
        if (now < next_poll) return false;
        next_poll = now + STOP_POLL;
        py::gil_scoped_acquire locked;
        return PyErr_CheckSignals() != 0;
    };
}

// The exact solver's first guess for a position (engine/think.h,
// solve_first_guess), in discs, side to move's view.
int solve_guess(Bitboard black, Bitboard white, int player) {
    check_position(black, white, player);
    if (flipcore::think_detail::solve_guess_depth(64 - flipcore::popcount(black | white)) == 0) return 0;
    const auto w = weights();
    std::function<bool()> stop = signal_hook();
    const Bitboard own = player == 1 ? black : white, opp = player == 1 ? white : black;
    try {
        py::gil_scoped_release unlocked;
        return flipcore::solve_first_guess(*w, own, opp, player, std::move(stop));
    } catch (const flipcore::SearchAborted&) {
        throw py::error_already_set();
    }
}

struct ThinkScope {
    flipcore::Thinker& thinker;
    bool nested;
    ~ThinkScope() {
        thinker.stop = nullptr;
        if (!nested) t_busy = false;
    }
};

py::dict think(Bitboard black, Bitboard white, int player, int depth, double seconds, bool selective,
               bool reuse_table, int threads, int search_threads) {
    check_position(black, white, player);
    if (depth < 0) throw py::value_error("depth must be at least 0, got " + std::to_string(depth));
    if (!(seconds >= 0) || !std::isfinite(seconds))
        throw py::value_error("seconds must be a finite number of at least 0 (0: no limit)");
    if (depth == 0 && seconds == 0) throw py::value_error("give a depth or a time limit");
    if (threads < 1 || threads > flipcore::MAX_SOLVE_THREADS)
        throw py::value_error("threads must be between 1 and " + std::to_string(flipcore::MAX_SOLVE_THREADS) + ", got " +
                              std::to_string(threads));
    if (search_threads != -1 && (search_threads < 1 || search_threads > flipcore::MAX_SOLVE_THREADS))
        throw py::value_error("search_threads must be between 1 and " + std::to_string(flipcore::MAX_SOLVE_THREADS) +
                              " (or -1), got " + std::to_string(search_threads));
    const auto w = weights();

    const bool nested = t_busy;
    std::unique_ptr<flipcore::Thinker> own_thinker;
    flipcore::Thinker* thinker;
    {
        py::gil_scoped_release unlocked;
        const auto sizes = flipcore::think_detail::table_sizes(g_table_ceiling.load());
        if (nested) {
            own_thinker = std::make_unique<flipcore::Thinker>(sizes);
            thinker = own_thinker.get();
        } else {
            // A changed ceiling: the old tables go before the new are made.
            if (t_thinker && !t_thinker->has_sizes(sizes)) t_thinker.reset();
            if (!t_thinker) t_thinker = std::make_unique<flipcore::Thinker>(sizes);
            thinker = t_thinker.get();
        }
    }
    t_busy = true;
    ThinkScope scope{*thinker, nested};
    thinker->selective = selective;
    thinker->reuse_table = reuse_table;
    thinker->solve_threads = threads;
    // By default helpers join only a search by time: a depth alone is a
    // repeatable question, answered the same way each time.
    thinker->search_threads = search_threads != -1 ? search_threads : depth == 0 && seconds > 0 ? threads : 1;
    thinker->stop = signal_hook();

    const Bitboard own = player == 1 ? black : white, opp = player == 1 ? white : black;
    flipcore::ThinkOutcome r;
    try {
        py::gil_scoped_release unlocked;
        r = thinker->think(*w, own, opp, player, depth, seconds);
    } catch (const flipcore::SearchAborted&) {
        throw py::error_already_set();
    }
    py::dict out;
    out["value"] = static_cast<double>(r.value) / w->scale();
    out["move"] = r.move;
    out["line"] = py::cast(r.line);
    out["depth"] = r.depth;
    out["exact"] = r.exact;
    out["solved"] = r.solved;
    out["nodes"] = r.nodes;
    return out;
}

void clear_table() {
    if (t_busy) throw std::runtime_error("cannot clear the search table from inside a search on the same thread");
    if (t_thinker) t_thinker->clear_table();
}

void set_table_ceiling(long long n) {
    if (n < 0) throw py::value_error("the table ceiling must be 0 (the default sizes) or more bytes, got " + std::to_string(n));
    g_table_ceiling.store(static_cast<size_t>(n));
}

size_t table_ceiling() { return g_table_ceiling.load(); }

// The bytes the calling thread's tables may take (0 when it has none).
size_t table_bytes() { return t_thinker ? t_thinker->table_bytes() : 0; }

// Gives the calling thread's tables back to the system; its next search
// makes new ones.
void release_table() {
    if (t_busy) throw std::runtime_error("cannot release the search table from inside a search on the same thread");
    t_thinker.reset();
}

}  // namespace

PYBIND11_MODULE(_think, m) {
    g_main_thread = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    m.def("load_weights", &load_weights, py::arg("path"), py::pos_only(),
          "Loads the evaluation weight file at path for every later evaluation; returns its checksum");
    m.def("weights_loaded", &weights_loaded, "Whether evaluation weights are loaded");
    m.def("pattern_groups", &pattern_groups,
          "The evaluation's pattern groups: (name, size, [instance squares, ...]) each, squares row * 8 + col");
    m.def("features", &features, py::arg("black"), py::arg("white"), py::arg("player"), py::pos_only(),
          "Each pattern instance's index from the side to move's view");
    m.def("features_after", &features_after, py::arg("black"), py::arg("white"), py::arg("player"),
          py::arg("moves"), py::pos_only(),
          "The indices after playing the squares (-1 a pass), updated move by move");
    m.def("evaluate", &evaluate, py::arg("black"), py::arg("white"), py::arg("player"), py::pos_only(),
          "The static evaluation in discs, side to move's view");
    m.def("think", &think, py::arg("black"), py::arg("white"), py::arg("player"), py::arg("depth"),
          py::arg("seconds"), py::pos_only(), py::arg("selective") = true, py::arg("reuse_table") = true,
          py::arg("threads") = 1, py::arg("search_threads") = -1,
          "Searches to at most depth plies (0: no limit) for at most seconds (0: no limit), with probabilistic "
          "cut-offs unless selective is false, and with what earlier searches left in the thread's tables unless "
          "reuse_table is false; the exact solver, when it takes over, searches with `threads` threads, and the "
          "midgame search with `search_threads` (-1: `threads` when it has seconds and no depth, else 1); values in "
          "discs, side to move's view, squares row * 8 + col, -1 a pass");
    m.def("solve_guess", &solve_guess, py::arg("black"), py::arg("white"), py::arg("player"), py::pos_only(),
          "The exact solver's first guess in discs, side to move's view: a short search's value (0 near the end)");
    m.def("clear_table", &clear_table, "Empties the calling thread's search table and its exact solver's table");
    m.def("set_table_ceiling", &set_table_ceiling, py::arg("n"), py::pos_only(),
          "Sets the memory ceiling in bytes of a thread's search and solver tables together (0: the default sizes), "
          "taken at each thread's next search");
    m.def("table_ceiling", &table_ceiling, "The memory ceiling of a thread's tables in bytes (0: the default sizes)");
    m.def("table_bytes", &table_bytes, "The bytes the calling thread's tables may take (0: it has none)");
    m.def("release_table", &release_table,
          "Gives the calling thread's tables back to the system; its next search makes new ones");
    m.def("probcut_shallow_depth", &flipcore::probcut_shallow_depth, py::arg("depth"), py::pos_only(),
          "The depth of the shallow search that predicts a search of depth plies in a probabilistic cut-off");
}
