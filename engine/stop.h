// Stopping a search from outside: the host hands the engine a cheap hook
// that the search asks every few thousand nodes, and the table asks while it
// grows; when the hook says stop, the work unwinds with SearchAborted.
#pragma once

#include <cstdint>
#include <exception>

namespace flipcore {
namespace {

// Raised out of a search when the stop hook asks for it. Every table entry is
// written only when its node completes, so what is stored stays valid.
struct SearchAborted : std::exception {
    const char* what() const noexcept override { return "search stopped"; }
};

// Asked every STOP_CHECK_INTERVAL expanded nodes whether the search should stop.
using StopCheck = bool (*)();
StopCheck g_stop_check = nullptr;
constexpr uint32_t STOP_CHECK_INTERVAL = 1024;
uint32_t g_stop_countdown = STOP_CHECK_INTERVAL;

// Asks the hook directly, for long loops that count their own steps.
inline void poll_stop() {
    if (g_stop_check && g_stop_check()) throw SearchAborted();
}

inline void check_stop() {
    if (--g_stop_countdown == 0) {
        g_stop_countdown = STOP_CHECK_INTERVAL;
        poll_stop();
    }
}

}  // namespace
}  // namespace flipcore
