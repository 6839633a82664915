// The _flipcore extension module: init() and minimax_moves(), the engine's
// only face to Python. The whole engine is compiled into this one translation
// unit with internal linkage; only the module's init function is exported.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "engine/search.h"

namespace py = pybind11;

namespace {

// The board as pybind11 converts it: any sequence of sequences of integers.
// Deques rather than vectors, because the conversion reserves a vector's room
// up front from the sequence's claimed length, and a lazy sequence such as
// range(10**14) would then fail for memory before its first row was read.
using BoardRows = std::deque<std::deque<int>>;

// Copies the first 8 values of the first 8 rows, refusing what the engine
// cannot search: short boards would be read past their end, other cell codes
// would be corrupted by make and unmake.
flipcore::Board board_from(const BoardRows& rows) {
    if (rows.size() < 8)
        throw py::value_error("board must have at least 8 rows, got " + std::to_string(rows.size()));
    flipcore::Board board{};
    for (size_t r = 0; r < 8; ++r) {
        if (rows[r].size() < 8)
            throw py::value_error("board row " + std::to_string(r) + " must have at least 8 values, got " +
                                  std::to_string(rows[r].size()));
        for (size_t c = 0; c < 8; ++c) {
            const int cell = rows[r][c];
            if (cell != 0 && cell != 1 && cell != 2)
                throw py::value_error("board[" + std::to_string(r) + "][" + std::to_string(c) +
                                      "] must be 0, 1 or 2, got " + std::to_string(cell));
            board[r][c] = cell;
        }
    }
    return board;
}

// Lets Ctrl-C stop a long search without releasing the interpreter lock: the
// engine asks this every few thousand nodes, and a signal handler that raised
// (KeyboardInterrupt, or whatever the program installed) stops the search with
// the Python error left set for the caller to raise.
bool python_signal_raised() { return PyErr_CheckSignals() != 0; }

// Installs the hook for the duration of one search, also when it throws. A
// signal handler may itself search; when that inner search ends, the outer
// one gets its hook back rather than none.
class StopHookScope {
   public:
    StopHookScope() : previous_(flipcore::g_stop_check) { flipcore::g_stop_check = &python_signal_raised; }
    ~StopHookScope() { flipcore::g_stop_check = previous_; }
    StopHookScope(const StopHookScope&) = delete;
    StopHookScope& operator=(const StopHookScope&) = delete;

   private:
    flipcore::StopCheck previous_;
};

py::dict minimax_moves(const BoardRows& rows, int player, int depth, double alpha, double beta) {
    flipcore::Board board = board_from(rows);
    if (player != 1 && player != 2)
        throw py::value_error("player must be 1 or 2, got " + std::to_string(player));
    if (depth < 0) throw py::value_error("depth must be 0 or more, got " + std::to_string(depth));

    const uint64_t key = flipcore::zobrist_key(board, player);
    flipcore::SearchResult result{};
    try {
        StopHookScope stop_hook;
        result = flipcore::minimax(board, player, depth, alpha, beta, key);
    } catch (const flipcore::SearchAborted&) {
        // Table entries are written only by completed nodes, so nothing
        // stored so far needs undoing; raise the error the handler set.
        throw py::error_already_set();
    }

    py::dict out;
    py::list moves(result.moves.size());
    for (size_t i = 0; i < result.moves.size(); ++i)
        moves[i] = py::make_tuple(result.moves[i].first, result.moves[i].second);
    out["moves"] = moves;
    out["val"] = py::float_(result.val);
    return out;
}

// The table's memory: sets the ceiling first when `limit` is given (bytes;
// 0 restores the default), then reports the ceiling, the bytes and entries
// the table holds, and the most entries it can hold under the ceiling.
py::dict table_memory(std::optional<int64_t> limit) {
    auto& table = flipcore::tt;
    if (limit) {
        if (*limit < 0) throw py::value_error("limit must be 0 (the default) or more bytes, got " + std::to_string(*limit));
        table.set_limit(static_cast<size_t>(*limit));
    }
    const size_t ceiling = table.limit();
    py::dict out;
    out["limit"] = ceiling;
    out["bytes"] = table.bytes();
    out["entries"] = table.size();
    out["max_entries"] = flipcore::TranspositionTable::max_entries(ceiling);
    return out;
}

}  // namespace

PYBIND11_MODULE(_flipcore, m) {
    flipcore::init_zobrist_random();
    m.def("init", &flipcore::init, "Initialize Zobrist hash keys and clear the transposition table");
    m.def("minimax_moves", &minimax_moves, "Run minimax. Returns {\"moves\": [(col, row), ...], \"val\": score}");
    m.def("_table_memory", &table_memory, py::arg("limit") = py::none(), py::pos_only(),
          "The transposition table's memory ceiling and use, in bytes; sets the ceiling first when limit is "
          "given (0: the default)");
    m.def("_nodes", [] { return flipcore::g_nodes; },
          "Positions the search has visited since the module was loaded (the difference over a call is its node count)");
}
