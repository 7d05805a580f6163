#pragma once
// Signals and session-log access shared by the audio tests.

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "base/session_log.h"
#include "tests/support/temp_dir.h"
#include "tests/support/text.h"

namespace halvenor::test {

// A sine whose mean square is `energyDb` below full scale squared; 400 Hz fits exactly
// eight periods into a 20 ms frame, so every frame has the same level.
inline std::vector<std::int16_t> sineAt(double energyDb, std::size_t samples, double hz = 400.0) {
    const double amplitude = std::sqrt(2.0 * std::pow(10.0, energyDb / 10.0)) * 32768.0;
    std::vector<std::int16_t> out(samples);
    for (std::size_t i = 0; i < samples; ++i)
        out[i] = static_cast<std::int16_t>(
            std::lround(amplitude * std::sin(2.0 * M_PI * hz * static_cast<double>(i) / 16000.0)));
    return out;
}

// Gaussian noise of the given level (mean square in dB full scale), reproducible.
inline std::vector<std::int16_t> noiseAt(double energyDb, std::size_t samples, unsigned seed = 7) {
    std::mt19937 random(seed);
    std::normal_distribution<double> normal(0.0,
                                            std::sqrt(std::pow(10.0, energyDb / 10.0)) * 32768.0);
    std::vector<std::int16_t> out(samples);
    for (auto& s : out)
        s = static_cast<std::int16_t>(std::clamp(std::lround(normal(random)), -32768L, 32767L));
    return out;
}

// What the session log gained since this object was made. The test process writes its
// log into a folder of its own (see the LOCALAPPDATA set up in each test file).
class LogWatch {
public:
    LogWatch() : start_(readFile(morvelin::Logger::instance().path()).size()) {}
    std::string text() const {
        return readFile(morvelin::Logger::instance().path()).substr(start_);
    }
    std::size_t count(const std::string& needle) const { return countOf(text(), needle); }
    bool contains(const std::string& needle) const {
        return text().find(needle) != std::string::npos;
    }

private:
    std::size_t start_;
};

}  // namespace halvenor::test
