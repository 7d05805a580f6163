#pragma once
// Steady-clock readings of the HUD controller in the units its state keeps.

#include <chrono>
#include <cstdint>

namespace morvelin {

inline std::int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline std::int64_t steadyNowMs() {
    return steadyNowNs() / 1'000'000;
}

}  // namespace morvelin
