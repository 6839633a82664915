// The learned evaluation's weights and the evaluation itself: the side to
// move's final disc difference, estimated as a sum of one weight per pattern
// instance (engine/pattern.h) and a few global features, with one weight set
// per stage of the game.
//
// The weight file (little-endian):
//   8 bytes   magic "FCEVAL\0\1"
//   u32       version (1), scale (weight units per disc), group count,
//             stage count, global feature count
//   u8[61]    the stage of a position with 0..60 empty squares, 3 zero bytes
//   u32[]     each group's size, which must be the engine's
//   i16[]     per stage: each group's table, 3 ** size weights indexed from
//             the side to move's view (digit 1 its disc, 2 the opponent's)
//   i16[]     per stage: the global features' weights
//   u64       FNV-1a hash of every byte before it
// Loading checks every part, so a damaged or foreign file is refused with a
// message naming it instead of giving silently wrong values.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/pattern.h"

namespace flipcore {
namespace {

// Global features, in file order: a constant, the mobility difference (the
// side to move's legal moves less the opponent's), and parity (1 when the
// number of empty squares is odd).
constexpr int EVAL_GLOBAL_COUNT = 3;
constexpr uint32_t EVAL_FILE_VERSION = 1;
constexpr char EVAL_MAGIC[8] = {'F', 'C', 'E', 'V', 'A', 'L', '\0', '\1'};
constexpr size_t EVAL_HEADER_BYTES = 8 + 5 * 4 + 64;

// Where each group's table starts within a stage's weights, and their total.
constexpr auto PATTERN_TABLE_OFFSETS = [] {
    std::array<int, PATTERN_GROUP_COUNT + 1> off{};
    for (int g = 0; g < PATTERN_GROUP_COUNT; ++g) off[g + 1] = off[g] + pow3(PATTERN_GROUPS[g].size);
    return off;
}();
constexpr int PATTERN_WEIGHTS_PER_STAGE = PATTERN_TABLE_OFFSETS[PATTERN_GROUP_COUNT];
static_assert(PATTERN_WEIGHTS_PER_STAGE == 167265, "the groups' tables add up as the file format expects");

constexpr uint64_t fnv1a64(const uint8_t* data, size_t n) {
    uint64_t h = 0xcbf29ce484222325ULL;
    for (size_t i = 0; i < n; ++i) h = (h ^ data[i]) * 0x100000001b3ULL;
    return h;
}

class EvalWeights {
  public:
    // Parses a weight file's bytes; `name` names it in errors.
    static EvalWeights parse(const std::vector<uint8_t>& bytes, const std::string& name) {
        auto fail = [&name](const std::string& why) { return std::runtime_error(name + ": " + why); };
        size_t at = 0;
        auto need = [&](size_t n, const char* what) {
            if (bytes.size() < at + n) throw fail(std::string("file ends inside the ") + what);
        };
        auto u32 = [&](const char* what) {
            need(4, what);
            uint32_t v = 0;
            for (int k = 3; k >= 0; --k) v = (v << 8) | bytes[at + static_cast<size_t>(k)];
            at += 4;
            return v;
        };
        need(8, "header");
        if (std::memcmp(bytes.data(), EVAL_MAGIC, 8) != 0) throw fail("not an evaluation weight file (bad magic)");
        at = 8;
        if (u32("header") != EVAL_FILE_VERSION) throw fail("unsupported version");
        EvalWeights w;
        w.scale_ = static_cast<int>(u32("header"));
        const uint32_t groups = u32("header");
        const uint32_t stages = u32("header");
        const uint32_t globals = u32("header");
        // Values are stored in 16 bits, up to a whole-board win (64 discs).
        if (w.scale_ <= 0 || w.scale_ > 256) throw fail("scale out of range");
        if (groups != PATTERN_GROUP_COUNT) throw fail("pattern groups differ from the engine's");
        if (stages == 0 || stages > 61) throw fail("stage count out of range");
        if (globals != EVAL_GLOBAL_COUNT) throw fail("global features differ from the engine's");
        need(64, "stage map");
        for (size_t e = 0; e <= 60; ++e) {
            w.stage_of_empties_[e] = bytes[at + e];
            if (w.stage_of_empties_[e] >= stages) throw fail("stage map names a stage that is not there");
        }
        at += 64;
        for (int g = 0; g < PATTERN_GROUP_COUNT; ++g)
            if (u32("group sizes") != static_cast<uint32_t>(PATTERN_GROUPS[g].size))
                throw fail("pattern groups differ from the engine's");
        const size_t pattern_count = size_t{stages} * PATTERN_WEIGHTS_PER_STAGE;
        const size_t global_count = size_t{stages} * EVAL_GLOBAL_COUNT;
        need(2 * (pattern_count + global_count) + 8, "weights");
        if (bytes.size() != at + 2 * (pattern_count + global_count) + 8) throw fail("file is longer than its weights");
        const size_t body = bytes.size() - 8;
        uint64_t stored = 0;
        for (int k = 7; k >= 0; --k) stored = (stored << 8) | bytes[body + static_cast<size_t>(k)];
        if (stored != fnv1a64(bytes.data(), body)) throw fail("checksum mismatch (the file is damaged)");

        auto i16 = [&bytes](size_t pos) {
            return static_cast<int16_t>(static_cast<uint16_t>(bytes[pos] | (bytes[pos + 1] << 8)));
        };
        w.stages_ = static_cast<int>(stages);
        w.patterns_.resize(pattern_count);
        for (size_t k = 0; k < pattern_count; ++k) w.patterns_[k] = i16(at + 2 * k);
        at += 2 * pattern_count;
        w.globals_.resize(global_count);
        for (size_t k = 0; k < global_count; ++k) w.globals_[k] = i16(at + 2 * k);
        w.checksum_ = stored;
        return w;
    }

    static EvalWeights load(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        if (!in) throw std::runtime_error(path + ": cannot open the evaluation weight file");
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (in.bad()) throw std::runtime_error(path + ": cannot read the evaluation weight file");
        return parse(bytes, path);
    }

    int scale() const { return scale_; }
    int stages() const { return stages_; }
    uint64_t checksum() const { return checksum_; }
    int stage_of(int empties) const { return stage_of_empties_[static_cast<size_t>(empties)]; }

    // The side to move's value in weight units (scale() per disc). mover is
    // 1 or 2; `mobility` the side to move's legal moves less the opponent's.
    int evaluate(const PatternIndices& p, int mover, int empties, int mobility) const {
        const size_t stage = stage_of_empties_[static_cast<size_t>(empties)];
        const int16_t* table = &patterns_[stage * PATTERN_WEIGHTS_PER_STAGE];
        const PatternIndices::View& idx = p.view[static_cast<size_t>(mover - 1)];
        int sum = 0;
        for (int i = 0; i < PATTERN_INSTANCE_COUNT; ++i)
            sum += table[INSTANCE_OFFSET[static_cast<size_t>(i)] + idx[static_cast<size_t>(i)]];
        const int16_t* g = &globals_[stage * EVAL_GLOBAL_COUNT];
        return sum + g[0] + g[1] * mobility + g[2] * (empties & 1);
    }

  private:
    static constexpr auto INSTANCE_OFFSET = [] {
        std::array<int, PATTERN_INSTANCE_COUNT> off{};
        for (int i = 0; i < PATTERN_INSTANCE_COUNT; ++i) off[i] = PATTERN_TABLE_OFFSETS[PATTERN_INSTANCES[i].group];
        return off;
    }();

    int scale_ = 1;
    int stages_ = 0;
    uint64_t checksum_ = 0;
    std::array<uint8_t, 61> stage_of_empties_{};
    std::vector<int16_t> patterns_;  // per stage: the groups' tables, from the side to move's view
    std::vector<int16_t> globals_;
};

}  // namespace
}  // namespace flipcore
