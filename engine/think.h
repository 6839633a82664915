// The strong player's search: iterative deepening of a principal-variation
// search on the learned evaluation (engine/eval_weights.h), under the game's
// full rules (a side without a move passes; the game ends when neither side
// can move and is scored as the solver scores it). Values are the side to
// move's final disc difference in the weights' units (scale() per disc).
//
// Each depth starts from a window around the previous depth's value
// (aspiration) and widens it when the value falls outside. The table is the
// search's own, apart from the depth-limited search's and the solver's. Near
// the end the exact solver (engine/solve.h) takes over when its estimated
// time fits in what is left, and its answer is marked exact.
//
// A search to a depth of at least the number of empty squares reaches the end
// of every line (each move fills a square; passes cost no depth), so its value
// is exact too.
//
// Helper threads can share the work: each runs the same iterative deepening
// as the calling thread into the same table, and each thread puts off the
// children another is searching at the moment, so the threads spread over
// the tree and find each other's results in the table. The calling thread's
// own search gives the answer.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/eval_weights.h"
#include "engine/pattern.h"
#include "engine/probcut.h"
#include "engine/solve.h"
#include "engine/solve_table.h"
#include "engine/stop.h"

namespace flipcore {
namespace {

struct ThinkOutcome {
    int value = 0;            // side to move's view, weight units
    int move = PASS_SQUARE;   // best move; PASS_SQUARE when it must pass or the game is over
    std::vector<int> line;    // principal variation, PASS_SQUARE for a pass
    int depth = 0;            // the last depth searched to the end, or the empties when solved
    bool exact = false;       // the value is the final score under perfect play
    bool solved = false;      // the exact solver gave it
    uint64_t nodes = 0;
};

namespace think_detail {

// One stored result: bounds on the value of a search of `depth` plies.
struct Entry {
    Bitboard own, opp;
    int16_t lower, upper;
    int8_t depth;
    uint8_t move;  // NO_MOVE when none is known
    uint8_t age;
    uint8_t used;
};
constexpr uint8_t NO_MOVE = 64;

// A table slot as stored: the result's eight bytes in one word, and each
// bitboard xor-ed with that word. Threads that share a table read and write
// slots without a lock, so a slot can be torn between two writes; a torn
// slot decodes to bitboards that match no position searched (unless its
// words agree), so it reads as another position's and is never trusted.
// An all-zero slot is empty (`used` is 0).
struct Slot {
    std::atomic<uint64_t> own_x, opp_x, data;
};
static_assert(sizeof(Slot) == 24, "a slot is three words: two bitboards and a result");

constexpr uint64_t pack_result(const Entry& e) {
    return static_cast<uint64_t>(static_cast<uint16_t>(e.lower)) | static_cast<uint64_t>(static_cast<uint16_t>(e.upper)) << 16 |
           static_cast<uint64_t>(static_cast<uint8_t>(e.depth)) << 32 | static_cast<uint64_t>(e.move) << 40 |
           static_cast<uint64_t>(e.age) << 48 | static_cast<uint64_t>(e.used) << 56;
}
constexpr Entry unpack_result(Bitboard own, Bitboard opp, uint64_t d) {
    return Entry{own,
                 opp,
                 static_cast<int16_t>(static_cast<uint16_t>(d)),
                 static_cast<int16_t>(static_cast<uint16_t>(d >> 16)),
                 static_cast<int8_t>(static_cast<uint8_t>(d >> 32)),
                 static_cast<uint8_t>(d >> 40),
                 static_cast<uint8_t>(d >> 48),
                 static_cast<uint8_t>(d >> 56)};
}
constexpr Entry PACKED_BACK = unpack_result(0, 0, pack_result(Entry{0, 0, -3, 1200, -1, 63, 255, 1}));
static_assert(PACKED_BACK.lower == -3 && PACKED_BACK.upper == 1200 && PACKED_BACK.depth == -1 && PACKED_BACK.move == 63 &&
                  PACKED_BACK.age == 255 && PACKED_BACK.used == 1,
              "a result survives packing");

inline Entry load_slot(const Slot& s) {
    const uint64_t d = s.data.load(std::memory_order_relaxed);
    return unpack_result(s.own_x.load(std::memory_order_relaxed) ^ d, s.opp_x.load(std::memory_order_relaxed) ^ d, d);
}
inline void store_slot(Slot& s, const Entry& e) {
    const uint64_t d = pack_result(e);
    s.own_x.store(e.own ^ d, std::memory_order_relaxed);
    s.opp_x.store(e.opp ^ d, std::memory_order_relaxed);
    s.data.store(d, std::memory_order_relaxed);
}

constexpr size_t DEFAULT_TABLE_ENTRIES = size_t{1} << 19;  // 12 MiB
constexpr size_t SOLVER_TABLE_BYTES = size_t{16} << 20;
// The fewest entries a table gets, however low the memory ceiling.
constexpr size_t MIN_TABLE_ENTRIES = size_t{1} << 10;

// The sizes of the search's table (entries) and of its exact solver's table
// (bytes) under a memory ceiling of `ceiling` bytes for both together (0: no
// ceiling): the defaults while they fit, else half the ceiling each, so that
// a low ceiling gives smaller tables rather than a search that cannot start.
struct TableSizes {
    size_t entries;
    size_t solver_bytes;
};
inline TableSizes table_sizes(size_t ceiling) {
    const size_t full = DEFAULT_TABLE_ENTRIES * sizeof(Entry) + SOLVER_TABLE_BYTES;
    if (ceiling == 0 || ceiling >= full) return {DEFAULT_TABLE_ENTRIES, SOLVER_TABLE_BYTES};
    const size_t half = ceiling / 2;
    return {std::max(half / sizeof(Entry), MIN_TABLE_ENTRIES), SolveTable::bytes_for(half)};
}
constexpr uint64_t POLL_INTERVAL = 2048;

// The positions the threads of one search are in the middle of, by hash (a
// slot per hash's low bits, a later mark replacing an earlier). A thread
// puts off a child that another thread is searching and comes back to it
// after its other children, when the other's result is in the table.
// Nodes nearer the leaves than BUSY_MIN_DEPTH are too cheap to mark.
constexpr size_t BUSY_SLOTS = size_t{1} << 12;
constexpr int BUSY_MIN_DEPTH = 2;
struct BusyMarks {
    std::atomic<uint64_t> key[BUSY_SLOTS];

    static uint64_t of(Bitboard own, Bitboard opp) { return solve_hash(own, opp) | 1; }
    std::atomic<uint64_t>& at(uint64_t k) { return key[k & (BUSY_SLOTS - 1)]; }
    bool has(uint64_t k) { return at(k).load(std::memory_order_relaxed) == k; }
    void mark(uint64_t k) { at(k).store(k, std::memory_order_relaxed); }
    void unmark(uint64_t k) {
        uint64_t mine = k;
        at(k).compare_exchange_strong(mine, 0, std::memory_order_relaxed);
    }
    void clear() {
        for (auto& k : key) k.store(0, std::memory_order_relaxed);
    }
};

// Aspiration: the first window spans this many discs on each side.
constexpr int ASPIRATION_DISCS = 2;
// A new depth starts only if the time used so far is under this share of the
// budget: each depth costs a few times the one before it.
constexpr double NEXT_DEPTH_SHARE = 0.4;
// The exact solver's time at 20 empty squares (median, this machine) and its
// growth per empty square; it is tried when the estimate fits the time left.
constexpr double SOLVE_SECONDS_AT_20 = 0.4;
constexpr double SOLVE_GROWTH = 3.0;
// Without a time limit, the midgame search comes first for this share of the
// budget, and the solver gets the rest.
constexpr double MIDGAME_SHARE_BEFORE_SOLVE = 0.3;

// The score of a finished game from the side to move's view, in discs: the
// solver's own rule (empty squares to the winner).
inline int final_discs(Bitboard own, Bitboard opp) { return solve_detail::final_score<Baseline>(own, opp); }

// The depth of the midgame search whose value is the exact solver's first
// guess, by the empties: a few milliseconds, against a solve that takes
// seconds at 20 empties and more; none below SOLVE_GUESS_MIN_EMPTIES,
// where the solve itself costs less than the search would.
constexpr int SOLVE_GUESS_MIN_EMPTIES = 16;
constexpr int solve_guess_depth(int empties) {
    return empties < SOLVE_GUESS_MIN_EMPTIES ? 0 : std::min(10, empties - 10);
}

// A midgame value in weight units as the solver's guess: the nearest even
// number of discs (exact scores are even).
inline int solve_guess(int value, int scale) {
    return 2 * static_cast<int>(std::lround(static_cast<double>(value) / (2.0 * scale)));
}

inline double estimated_solve_seconds(int empties) {
    return SOLVE_SECONDS_AT_20 * std::pow(SOLVE_GROWTH, empties - 20);
}

struct Node {
    Bitboard own, opp;
    PatternIndices idx;
    int mover;  // 1 or 2: which tables the indices read
    int empties;

    Node play(int sq, Bitboard flipped) const {
        Node c{opp ^ flipped, own | flipped | square_bit(sq), idx, 3 - mover, empties - 1};
        c.idx.play(mover, sq, flipped);
        return c;
    }
    Node pass() const { return Node{opp, own, idx, 3 - mover, empties}; }
};

}  // namespace think_detail

class Thinker {
  public:
    explicit Thinker(size_t entries = think_detail::DEFAULT_TABLE_ENTRIES,
                     size_t solver_bytes = think_detail::SOLVER_TABLE_BYTES)
        : own_table_(new think_detail::Slot[entries]()), table_(own_table_.get()), table_size_(entries),
          solver_bytes_(solver_bytes) {}
    explicit Thinker(think_detail::TableSizes sizes) : Thinker(sizes.entries, sizes.solver_bytes) {}

    // The memory its tables take at most: the search's table, and the exact
    // solver's, which is made on the first solve and fills as it is used
    // (helpers share the search's table and have no solver).
    size_t table_bytes() const { return table_size_ * sizeof(think_detail::Slot) + solver_bytes_; }
    bool has_sizes(think_detail::TableSizes sizes) const {
        return table_size_ == sizes.entries && solver_bytes_ == sizes.solver_bytes;
    }

    // Asked every few thousand nodes; true stops the search (SearchAborted).
    std::function<bool()> stop;
    // Whether the exact solver may take over near the end; tests switch it
    // off to hold the search's own full-depth values to the solver's.
    bool use_solver = true;
    // Whether probabilistic cut-offs prune the midgame search; off, every
    // depth is searched in full (for fitting their margins).
    bool selective = true;
    // Whether a search may use what earlier searches left in the table. Off,
    // their entries count as empty (and the solver's table is emptied before
    // it takes over), so a search's answer depends on its position and
    // limits alone: a fixed-depth search then always gives the same answer.
    bool reuse_table = true;
    // The exact solver's threads when it takes over near the end.
    int solve_threads = 1;
    // The midgame search's threads, the calling one included. With helpers,
    // how far a search gets and which of equal moves it finds depend on the
    // threads' timing, so a fixed depth no longer always gives the same answer.
    int search_threads = 1;

    // Empties the search's table and the exact solver's, so that the next
    // search depends on its position alone.
    void clear_table() {
        for (size_t i = 0; i < table_size_; ++i) think_detail::store_slot(table_[i], think_detail::Entry{});
        if (solver_) solver_->clear_table();
    }

    // The static value of (own, opp) with side `mover` to move, weight units.
    static int static_value(const EvalWeights& w, Bitboard own, Bitboard opp, int mover) {
        const Bitboard black = mover == 1 ? own : opp, white = mover == 1 ? opp : own;
        const int empties = 64 - popcount(own | opp);
        const int mobility = popcount(legal_moves(own, opp)) - popcount(legal_moves(opp, own));
        return w.evaluate(PatternIndices::from_board(black, white), mover, empties, mobility);
    }

    // Thinks about (own, opp), side `mover` to move, to at most max_depth
    // plies (0: no limit) or until `seconds` have passed (0: no time limit).
    // Returns the deepest completed answer; SearchAborted only when `stop`
    // asks for it.
    ThinkOutcome think(const EvalWeights& w, Bitboard own, Bitboard opp, int mover, int max_depth, double seconds) {
        using namespace think_detail;
        weights_ = &w;
        nodes_ = 0;
        next_poll_ = POLL_INTERVAL;
        // Entries are told apart from earlier searches' by their age; when
        // the counter wraps, an entry 256 searches old would pass for new.
        if (++age_ == 0) {
            clear_table();
            age_ = 1;
        }
        start_ = std::chrono::steady_clock::now();
        timed_ = seconds > 0;
        deadline_ = start_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(timed_ ? seconds : 0.0));
        const Bitboard black = mover == 1 ? own : opp, white = mover == 1 ? opp : own;
        Node root{own, opp, PatternIndices::from_board(black, white), mover, 64 - popcount(own | opp)};

        ThinkOutcome out;
        const bool can_move = legal_moves(own, opp) != 0;
        if (!can_move && !legal_moves(opp, own)) {
            out.value = final_discs(own, opp) * w.scale();
            out.exact = true;
            out.nodes = 1;
            return out;
        }
        if (!can_move) {
            // A pass: the answer is the other side's, seen from this side.
            ThinkOutcome o = think(w, opp, own, 3 - mover, max_depth, seconds);
            o.value = -o.value;
            o.line.insert(o.line.begin(), PASS_SQUARE);
            o.move = PASS_SQUARE;
            return o;
        }

        // The exact solver: when a depth reaching the end was asked for, or
        // when its estimated time fits the time limit.
        const bool depth_limited = max_depth > 0;
        if (!depth_limited) max_depth = 64;
        const bool solve_now = use_solver && depth_limited && max_depth >= root.empties;
        const bool solve_later = use_solver && !solve_now && timed_ && estimated_solve_seconds(root.empties) <= seconds;
        has_answer_ = false;
        std::vector<RootMove> moves = root_moves(root);
        if (solve_now) {
            // A short midgame search first, for the solver's first guess.
            const int depth = solve_guess_depth(root.empties);
            int guess = 0;
            for (int d = 1; d <= depth; ++d) guess = aspiration(root, moves, d, guess, d > 1);
            const uint64_t guess_nodes = nodes_;
            if (try_solve(root, out, guess)) {
                out.nodes += guess_nodes;
                return out;
            }
        }

        const int last_depth = std::min(max_depth, solve_later ? root.empties - 1 : root.empties);
        const double midgame_seconds = solve_later ? seconds * MIDGAME_SHARE_BEFORE_SOLVE : seconds;
        Crew crew(*this, search_threads - 1, root, last_depth);
        for (int depth = 1; depth <= last_depth; ++depth) {
            int value;
            try {
                value = aspiration(root, moves, depth, out.depth > 0 ? out.value : 0, out.depth > 0);
            } catch (const SearchAborted&) {
                if (!has_answer_ || !time_up()) throw;  // stopped from outside
                break;
            }
            out.value = value;
            out.move = moves.front().square;
            out.depth = depth;
            out.exact = depth >= root.empties;
            has_answer_ = true;
            if (timed_ && elapsed() > NEXT_DEPTH_SHARE * midgame_seconds) break;
        }
        out.nodes = crew.finish();
        out.line = principal_line(root, out.move, out.depth);
        out.nodes += nodes_;
        if (solve_later) {
            ThinkOutcome exact;
            if (try_solve(root, exact, has_answer_ ? out.value : 0)) {
                exact.nodes += out.nodes;
                return exact;
            }
            out.nodes = nodes_;
        }
        return out;
    }

  private:
    struct RootMove {
        int square;
        think_detail::Node child;
        int value;
    };

    // Borrows `main`'s table: a helper of its midgame search.
    struct HelperTag {};
    Thinker(Thinker& main, HelperTag) : table_(main.table_), table_size_(main.table_size_), solver_bytes_(0) {}

    // Iterative deepening of `root` from depth 1 to `last_depth` into the
    // shared table, on `main`'s settings, until `quit`; its answers are
    // dropped, what it leaves in the table is the help.
    void help(const Thinker& main, const think_detail::Node& root, int last_depth, const std::atomic<bool>& quit) {
        weights_ = main.weights_;
        busy_ = main.busy_;
        age_ = main.age_;
        selective = main.selective;
        reuse_table = main.reuse_table;
        timed_ = has_answer_ = false;
        nodes_ = 0;
        next_poll_ = think_detail::POLL_INTERVAL;
        stop = [&quit]() { return quit.load(std::memory_order_relaxed); };
        try {
            std::vector<RootMove> moves = root_moves(root);
            int value = 0;
            for (int depth = 1; depth <= last_depth; ++depth) value = aspiration(root, moves, depth, value, depth > 1);
        } catch (const SearchAborted&) {
        }
        stop = nullptr;
        busy_ = nullptr;
    }

    // The helpers of one search, each on a thread of its own from the
    // constructor until finish(), which the destructor calls when the search
    // ends by an exception.
    class Crew {
      public:
        Crew(Thinker& main, int helpers, const think_detail::Node& root, int last_depth) : main_(main) {
            if (helpers <= 0) return;
            while (static_cast<int>(main.helpers_.size()) < helpers)
                main.helpers_.push_back(std::unique_ptr<Thinker>(new Thinker(main, HelperTag{})));
            if (!main.own_busy_) main.own_busy_.reset(new think_detail::BusyMarks());
            main.own_busy_->clear();
            main.busy_ = main.own_busy_.get();
            for (int i = 0; i < helpers; ++i) {
                Thinker* h = main.helpers_[static_cast<size_t>(i)].get();
                try {
                    threads_.emplace_back([this, h, root, last_depth]() { h->help(main_, root, last_depth, quit_); });
                } catch (const std::system_error&) {
                    break;  // no thread to be had: the search goes on with the helpers it has
                }
            }
        }
        Crew(const Crew&) = delete;
        Crew& operator=(const Crew&) = delete;
        ~Crew() { finish(); }
        // Stops and joins the helpers; the nodes they searched.
        uint64_t finish() {
            quit_.store(true, std::memory_order_relaxed);
            uint64_t nodes = 0;
            for (size_t i = 0; i < threads_.size(); ++i) {
                threads_[i].join();
                nodes += main_.helpers_[i]->nodes_;
            }
            threads_.clear();
            main_.busy_ = nullptr;
            return nodes;
        }

      private:
        Thinker& main_;
        std::atomic<bool> quit_{false};
        std::vector<std::thread> threads_;
    };

    double elapsed() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }
    bool time_up() const { return timed_ && std::chrono::steady_clock::now() >= deadline_; }

    // The time limit stops the midgame search only once it has an answer:
    // the first depth always completes (it costs one evaluation per move).
    void count_and_poll() {
        if (++nodes_ < next_poll_) return;
        next_poll_ = nodes_ + think_detail::POLL_INTERVAL;
        if ((has_answer_ && time_up()) || (stop && stop())) throw SearchAborted();
    }

    // Solves the position exactly with the time left; false when time ran
    // out. guess: a midgame value of the position, weight units.
    bool try_solve(const think_detail::Node& root, ThinkOutcome& out, int guess) {
        if (!solver_) solver_ = std::make_unique<Solver>(solver_bytes_);
        else if (!reuse_table) solver_->clear_table();
        solver_->threads = solve_threads;
        solver_->weights = weights_;
        solver_->stop = [this]() { return time_up() || (stop && stop()); };
        // Both point into this search: dropped however the solve ends.
        struct Unhook {
            Solver& solver;
            ~Unhook() {
                solver.stop = nullptr;
                solver.weights = nullptr;
            }
        } unhook{*solver_};
        SolveOutcome s;
        try {
            s = solver_->solve(root.own, root.opp, SolveMode::exact,
                               think_detail::solve_guess(guess, weights_->scale()));
        } catch (const SearchAborted&) {
            if (!time_up()) throw;  // stopped from outside
            return false;
        }
        out.value = s.score * weights_->scale();
        out.move = s.best.empty() ? PASS_SQUARE : s.best.front();
        out.line = s.line;
        out.depth = root.empties;
        out.exact = out.solved = true;
        out.nodes = nodes_ + s.nodes;
        return true;
    }

    int leaf_value(const think_detail::Node& n) {
        const MovePair m = legal_moves_pair(n.mover == 1 ? n.own : n.opp, n.mover == 1 ? n.opp : n.own);
        const Bitboard mine = n.mover == 1 ? m.black : m.white, theirs = n.mover == 1 ? m.white : m.black;
        if (!mine && !theirs) return think_detail::final_discs(n.own, n.opp) * weights_->scale();
        const int v = weights_->evaluate(n.idx, n.mover, n.empties, popcount(mine) - popcount(theirs));
        // An estimate never claims more than a whole-board win.
        const int cap = 64 * weights_->scale() - 1;
        return std::clamp(v, -cap, cap);
    }

    std::vector<RootMove> root_moves(const think_detail::Node& root) {
        std::vector<RootMove> moves;
        for (Bitboard b = legal_moves(root.own, root.opp); b;) {
            const int sq = pop_lowest(b);
            const think_detail::Node child = root.play(sq, flips(root.own, root.opp, sq));
            moves.push_back({sq, child, -leaf_value(child)});
        }
        std::stable_sort(moves.begin(), moves.end(), [](const RootMove& a, const RootMove& b) { return a.value > b.value; });
        return moves;
    }

    int inf() const { return 64 * weights_->scale() + 1; }

    // One depth at the root, from a window around `guess` when it has one.
    int aspiration(const think_detail::Node& root, std::vector<RootMove>& moves, int depth, int guess, bool has_guess) {
        const int full = inf();
        if (!has_guess) return root_search(root, moves, depth, -full, full);
        const int margin = think_detail::ASPIRATION_DISCS * weights_->scale();
        int alpha = std::max(-full, guess - margin), beta = std::min(full, guess + margin);
        for (;;) {
            const int v = root_search(root, moves, depth, alpha, beta);
            if (v <= alpha && alpha > -full) alpha = -full;
            else if (v >= beta && beta < full) beta = full;
            else return v;
        }
    }

    // The root's moves with a principal-variation search; the best move goes
    // first, and the others keep the order of their last values.
    int root_search(const think_detail::Node& root, std::vector<RootMove>& moves, int depth, int alpha, int beta) {
        count_and_poll();
        using think_detail::BusyMarks;
        const int alpha0 = alpha;
        int best = -inf();
        size_t best_at = 0;
        // Searches move i; true when it cuts the search off.
        const auto visit = [&](size_t i) {
            RootMove& m = moves[i];
            int v;
            if (i == 0) {
                v = -search(m.child, -beta, -alpha, depth - 1);
            } else {
                v = -search(m.child, -alpha - 1, -alpha, depth - 1);
                if (v > alpha && v < beta) v = -search(m.child, -beta, -alpha, depth - 1);
            }
            m.value = v;
            if (v > best) {
                best = v;
                best_at = i;
                if (v > alpha) alpha = v;
            }
            return alpha >= beta;
        };
        // A move another thread is searching now comes after the others.
        std::vector<size_t> put_off;
        bool cut = false;
        for (size_t i = 0; i < moves.size() && !cut; ++i) {
            if (i > 0 && busy_ && depth - 1 >= think_detail::BUSY_MIN_DEPTH &&
                busy_->has(BusyMarks::of(moves[i].child.own, moves[i].child.opp))) {
                put_off.push_back(i);
                continue;
            }
            cut = visit(i);
        }
        for (size_t k = 0; k < put_off.size() && !cut; ++k) cut = visit(put_off[k]);
        std::rotate(moves.begin(), moves.begin() + static_cast<std::ptrdiff_t>(best_at),
                    moves.begin() + static_cast<std::ptrdiff_t>(best_at) + 1);
        store(root, depth, best, alpha0, beta, moves.front().square);
        return best;
    }

    think_detail::Slot& slot(Bitboard own, Bitboard opp) {
        return table_[static_cast<size_t>((static_cast<unsigned __int128>(solve_hash(own, opp)) * table_size_) >> 64)];
    }

    // Whether entry e is (own, opp)'s and may be read by this search.
    bool holds(const think_detail::Entry& e, Bitboard own, Bitboard opp) const {
        return e.used && e.own == own && e.opp == opp && (reuse_table || e.age == age_);
    }

    // Records bounds on a node's value: exact when alpha < value < beta.
    void store(const think_detail::Node& n, int depth, int value, int alpha, int beta, int move) {
        think_detail::Slot& s = slot(n.own, n.opp);
        const think_detail::Entry e = think_detail::load_slot(s);
        const bool same = e.used && e.own == n.own && e.opp == n.opp;
        if (!same && e.used && e.age == age_ && e.depth > depth) return;  // keep deeper work of this search
        think_detail::store_slot(s, think_detail::Entry{n.own, n.opp, static_cast<int16_t>(value > alpha ? value : -inf()),
                                                        static_cast<int16_t>(value < beta ? value : inf()),
                                                        static_cast<int8_t>(depth), static_cast<uint8_t>(move), age_, 1});
    }

    // One ply to go: every child's static value, best first found, without
    // the table (such nodes are most of the tree and cheap to redo).
    int frontier(const think_detail::Node& n, int alpha, int beta) {
        Bitboard legal = legal_moves(n.own, n.opp);
        if (!legal) {
            if (!legal_moves(n.opp, n.own)) return think_detail::final_discs(n.own, n.opp) * weights_->scale();
            return -search(n.pass(), -beta, -alpha, 1);
        }
        int best = -inf();
        while (legal) {
            const int sq = pop_lowest(legal);
            ++nodes_;
            const int v = -leaf_value(n.play(sq, flips(n.own, n.opp, sq)));
            if (v > best) {
                best = v;
                if (v >= beta) break;
            }
        }
        return best;
    }

    // Fail-soft principal-variation search of `depth` plies.
    int search(const think_detail::Node& n, int alpha, int beta, int depth) {
        using namespace think_detail;
        count_and_poll();
        if (depth <= 0 || n.empties == 0) return leaf_value(n);
        if (depth == 1) return frontier(n, alpha, beta);

        int hint = NO_MOVE;
        if (const Entry e = load_slot(slot(n.own, n.opp)); holds(e, n.own, n.opp)) {
            if (e.depth >= depth) {
                if (e.lower >= beta) return e.lower;
                if (e.upper <= alpha) return e.upper;
                if (e.lower == e.upper) return e.lower;
            }
            hint = e.move;
        }

        Bitboard legal = legal_moves(n.own, n.opp);
        if (!legal) {
            if (!legal_moves(n.opp, n.own)) return final_discs(n.own, n.opp) * weights_->scale();
            return -search(n.pass(), -beta, -alpha, depth);
        }

        // Probabilistic cut-off: a shallow search predicts this one's value
        // to within a spread fitted from data (engine/probcut.h); when its
        // prediction lies beyond the window by a safe margin, the node is cut
        // without the full search. Never where the search could reach the
        // end of the game, so that values reported exact stay exact.
        if (selective && depth >= PROBCUT_MIN_DEPTH && depth < n.empties) {
            // The deep value is predicted as the shallow one plus a bias.
            const int shallow = probcut_shallow_depth(depth);
            const int margin = probcut_margin(n.empties, depth, weights_->scale());
            const int bias = probcut_bias(shallow, weights_->scale());
            const int full = inf();
            if (beta + margin - bias < full) {
                const int bound = beta + margin - bias;
                if (search(n, bound - 1, bound, shallow) >= bound) return beta;
            }
            if (alpha - margin - bias > -full) {
                const int bound = alpha - margin - bias;
                if (search(n, bound, bound + 1, shallow) <= bound) return alpha;
            }
        }

        struct Child {
            Node node;
            int square, key;
        };
        Child children[MAX_MOVES];
        int count = 0;
        while (legal) {
            const int sq = pop_lowest(legal);
            Child& c = children[count++];
            c.node = n.play(sq, flips(n.own, n.opp, sq));
            c.square = sq;
            // The table's move first, then the children the evaluation likes
            // least for the opponent.
            c.key = sq == hint ? 1 << 30 : depth >= 2 ? -leaf_value(c.node) : 0;
        }


        // While other threads search with this one, the node is marked busy
        // for them (until it returns or unwinds).
        struct Mark {
            BusyMarks* busy;
            uint64_t key;
            ~Mark() {
                if (busy) busy->unmark(key);
            }
        } mark{depth >= BUSY_MIN_DEPTH ? busy_ : nullptr, 0};
        if (mark.busy) {
            mark.key = BusyMarks::of(n.own, n.opp);
            mark.busy->mark(mark.key);
        }

        const int alpha0 = alpha;
        int best = -inf(), best_move = NO_MOVE;
        // Searches one child; true when it cuts the node off.
        const auto visit = [&](const Child& c, bool first) {
            int v;
            if (first) {
                v = -search(c.node, -beta, -alpha, depth - 1);
            } else {
                v = -search(c.node, -alpha - 1, -alpha, depth - 1);
                if (v > alpha && v < beta) v = -search(c.node, -beta, -alpha, depth - 1);
            }
            if (v > best) {
                best = v;
                best_move = c.square;
                if (v > alpha) alpha = v;
            }
            return alpha >= beta;
        };
        int put_off[MAX_MOVES];
        int put_off_count = 0;
        bool cut = false;
        for (int i = 0; i < count && !cut; ++i) {
            int pick = i;
            for (int j = i + 1; j < count; ++j)
                if (children[j].key > children[pick].key) pick = j;
            std::swap(children[i], children[pick]);
            const Child& c = children[i];
            if (i > 0 && mark.busy && depth - 1 >= BUSY_MIN_DEPTH && mark.busy->has(BusyMarks::of(c.node.own, c.node.opp))) {
                put_off[put_off_count++] = i;
                continue;
            }
            cut = visit(c, i == 0);
        }
        for (int k = 0; k < put_off_count && !cut; ++k) cut = visit(children[put_off[k]], false);
        store(n, depth, best, alpha0, beta, best_move);
        return best;
    }

    // The line the table holds from the root's best move on, passes included.
    std::vector<int> principal_line(const think_detail::Node& root, int first, int depth) {
        std::vector<int> line;
        think_detail::Node n = root;
        int move = first;
        for (int ply = 0; ply < depth + 4 && move != think_detail::NO_MOVE; ++ply) {
            const Bitboard legal = legal_moves(n.own, n.opp);
            if (!legal) {
                if (!legal_moves(n.opp, n.own)) break;
                line.push_back(PASS_SQUARE);
                n = n.pass();
            } else {
                if (move < 0 || move >= 64 || !(legal & square_bit(move))) break;
                line.push_back(move);
                n = n.play(move, flips(n.own, n.opp, move));
            }
            const think_detail::Entry e = think_detail::load_slot(slot(n.own, n.opp));
            move = holds(e, n.own, n.opp) ? e.move : think_detail::NO_MOVE;
            if (!legal_moves(n.own, n.opp) && legal_moves(n.opp, n.own)) move = PASS_SQUARE;
            if (static_cast<int>(line.size()) >= depth) break;
        }
        return line;
    }

    std::unique_ptr<think_detail::Slot[]> own_table_;  // none in a helper
    think_detail::Slot* table_;
    size_t table_size_;
    size_t solver_bytes_;
    std::vector<std::unique_ptr<Thinker>> helpers_;
    std::unique_ptr<think_detail::BusyMarks> own_busy_;
    think_detail::BusyMarks* busy_ = nullptr;  // while helpers search with it
    std::unique_ptr<Solver> solver_;
    const EvalWeights* weights_ = nullptr;
    uint64_t nodes_ = 0, next_poll_ = 0;
    uint8_t age_ = 0;
    bool timed_ = false, has_answer_ = false;
    std::chrono::steady_clock::time_point start_, deadline_;
};

// The table of the short searches behind solve_first_guess: a few ten
// thousand nodes each.
constexpr size_t SOLVE_GUESS_TABLE_ENTRIES = size_t{1} << 15;

// The exact solver's first guess for (own, opp), side `mover` to move, in
// discs from its view: the value of a short midgame search, 0 where the
// position is too near the end to be worth one. Searched with a small table
// of its own; `stop` as Thinker::stop.
inline int solve_first_guess(const EvalWeights& w, Bitboard own, Bitboard opp, int mover,
                             std::function<bool()> stop = nullptr) {
    const int depth = think_detail::solve_guess_depth(64 - popcount(own | opp));
    if (depth == 0) return 0;
    Thinker thinker(SOLVE_GUESS_TABLE_ENTRIES, 0);
    thinker.use_solver = false;
    thinker.stop = std::move(stop);
    return think_detail::solve_guess(thinker.think(w, own, opp, mover, depth, 0).value, w.scale());
}

}  // namespace
}  // namespace flipcore
