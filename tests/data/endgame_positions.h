// Reads tests/data/endgame.txt (and files of its form): one position a line,
// "number;position text;exact score for the side to move;best moves", lines
// starting with '#' skipped. Shared by the solver's test and its benchmark.
#pragma once

#include <algorithm>
#include <istream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/bitboard.h"

namespace endgame {

struct Position {
    int number;
    flipcore::Bitboard own, opp;  // the side to move's discs, the other side's
    int score;
    std::vector<int> best;        // squares (row * 8 + col), ascending
    std::string text;
};

inline int square_of_name(const std::string& name) { return (name[1] - '1') * 8 + (name[0] - 'a'); }

// Every position of `in`; std::runtime_error names a line that is not one.
inline std::vector<Position> read_positions(std::istream& in) {
    std::vector<Position> out;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::stringstream fields(line);
        std::string number, text, score, moves;
        std::getline(fields, number, ';');
        std::getline(fields, text, ';');
        std::getline(fields, score, ';');
        std::getline(fields, moves);
        if (text.size() != 66) throw std::runtime_error("bad position line: " + line);
        flipcore::Bitboard x = 0, o = 0;
        for (int sq = 0; sq < 64; ++sq) {
            if (text[sq] == 'X') x |= flipcore::square_bit(sq);
            if (text[sq] == 'O') o |= flipcore::square_bit(sq);
        }
        const bool x_to_move = text[65] == 'X';
        Position p{std::stoi(number), x_to_move ? x : o, x_to_move ? o : x, std::stoi(score), {}, text};
        std::stringstream names(moves);
        std::string name;
        while (names >> name) p.best.push_back(square_of_name(name));
        std::sort(p.best.begin(), p.best.end());
        out.push_back(p);
    }
    return out;
}

}  // namespace endgame
