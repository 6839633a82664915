// Reading the learned evaluation's weight file for an extension module.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "engine/eval_weights.h"

namespace flipcore_module {

// The weights in the file at `path`, read with the interpreter lock
// released (the file is megabytes). A file that cannot be read or fails a
// check raises ValueError naming it.
inline std::shared_ptr<const flipcore::EvalWeights> read_weight_file(const std::string& path) {
    std::shared_ptr<const flipcore::EvalWeights> w;
    std::string error;
    {
        pybind11::gil_scoped_release unlocked;
        try {
            w = std::make_shared<const flipcore::EvalWeights>(flipcore::EvalWeights::load(path));
        } catch (const std::runtime_error& e) {
            error = e.what();
        }
    }
    if (!w) throw pybind11::value_error(error);
    return w;
}

}  // namespace flipcore_module
