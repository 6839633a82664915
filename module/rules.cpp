// The flipcore._rules extension module: the move rules of engine/bitboard.h
// for the Python package, so that its positions follow exactly the rules the
// search uses instead of a second implementation in Python. A position here
// is two 64-bit masks (bit row * 8 + col), side 1's discs and side 2's discs,
// and the side to move (1 or 2).
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <utility>

#include "engine/bitboard.h"

namespace py = pybind11;

namespace {

using flipcore::Bitboard;

// Refuses what the rules cannot mean: a side other than 1 or 2, or a square
// that holds discs of both sides.
void check_position(Bitboard black, Bitboard white, int player) {
    if (player != flipcore::BLACK && player != flipcore::WHITE)
        throw py::value_error("player must be 1 or 2, got " + std::to_string(player));
    if (black & white) throw py::value_error("a square holds discs of both sides");
}

// The mover's discs first, then the opponent's.
std::pair<Bitboard, Bitboard> own_and_opp(Bitboard black, Bitboard white, int player) {
    return player == flipcore::BLACK ? std::make_pair(black, white) : std::make_pair(white, black);
}

Bitboard legal_moves(Bitboard black, Bitboard white, int player) {
    check_position(black, white, player);
    const auto [own, opp] = own_and_opp(black, white, player);
    return flipcore::legal_moves(own, opp);
}

// The masks after `player` places on `sq`; the side to move changes outside.
py::tuple play(Bitboard black, Bitboard white, int player, int sq) {
    check_position(black, white, player);
    if (sq < 0 || sq > 63) throw py::value_error("square must be 0 to 63, got " + std::to_string(sq));
    auto [own, opp] = own_and_opp(black, white, player);
    if (!(flipcore::legal_moves(own, opp) & flipcore::square_bit(sq)))
        throw py::value_error("square " + std::to_string(sq) + " is not a legal move");
    const Bitboard turned = flipcore::flips(own, opp, sq);
    own |= turned | flipcore::square_bit(sq);
    opp &= ~turned;
    return player == flipcore::BLACK ? py::make_tuple(own, opp) : py::make_tuple(opp, own);
}

py::tuple discs(Bitboard black, Bitboard white) {
    if (black & white) throw py::value_error("a square holds discs of both sides");
    return py::make_tuple(flipcore::popcount(black), flipcore::popcount(white));
}

}  // namespace

PYBIND11_MODULE(_rules, m) {
    m.def("legal_moves", &legal_moves, "Mask of the squares where `player` may place a disc");
    m.def("play", &play, "(black, white) after `player` places on square `sq`; ValueError if illegal");
    m.def("discs", &discs, "(side-1 discs, side-2 discs) counted");
}
