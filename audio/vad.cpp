#include "audio/vad.h"

#include <algorithm>
#include <cmath>

namespace morvelin {
namespace {

// 1 / 2^30: mean square over 32768 squared, so a full-scale square wave is 0 dB.
constexpr double kInverseFullScaleSquared = 9.313225746154785e-10;
constexpr std::size_t kShortTermFrames = 5;
constexpr std::size_t kVoteFrames = 15;

double sumOfSquares(std::span<const std::int16_t> samples) {
    double sum = 0.0;
    for (const std::int16_t s : samples)
        sum += static_cast<double>(s) * static_cast<double>(s);
    return sum;
}

}  // namespace

float energyToDb(double energy) {
    if (energy <= 1e-14)
        return kSilenceFloorDb;
    return static_cast<float>(10.0 * std::log10(energy));
}

std::optional<VadEvent> vadStep(VadState& state, std::span<const std::int16_t> frame,
                                const VadConfig& config, int hangoverMs) {
    const double n = static_cast<double>(std::max<std::size_t>(frame.size(), 1));
    const double energy = sumOfSquares(frame) / n * kInverseFullScaleSquared;
    state.levelDb = energyToDb(energy);

    state.energies.push_back(energy);
    if (state.energies.size() > kShortTermFrames)
        state.energies.pop_front();
    double total = 0.0;
    for (const double e : state.energies)
        total += e;
    state.shortDb = energyToDb(total / static_cast<double>(state.energies.size()));

    // The floor learns only between utterances, and never from digital silence.
    if (!state.speaking && state.levelDb >= config.floorTrackMinDb) {
        if (!state.floorInitialised) {
            state.floorDb = state.levelDb;
            state.floorInitialised = true;
        } else {
            // Fast while warming up; afterwards it falls quickly to a quieter room and
            // rises slowly, so a long loud stretch is not mistaken for the room.
            const float rate = state.warmupFrames > 0          ? 0.3f
                               : state.floorDb > state.levelDb ? 0.15f
                                                               : 0.02f;
            state.floorDb = state.floorDb + (state.levelDb - state.floorDb) * rate;
            state.floorDb = std::min(state.floorDb, config.floorMaxDb);
        }
    }

    if (state.warmupFrames > 0) {
        --state.warmupFrames;
        return std::nullopt;
    }

    if (!state.speaking) {
        const bool vote = state.levelDb >
                          std::max(state.floorDb + config.onsetAboveFloorDb, config.absoluteMinDb);
        state.votes.push_back(vote);
        if (state.votes.size() > kVoteFrames)
            state.votes.pop_front();
        const auto voting = std::count(state.votes.begin(), state.votes.end(), true);
        if (voting * 20 < config.onsetMs)
            return std::nullopt;
        state.speaking = true;
        state.silenceMs = 0;
        state.votes.clear();
        state.peakDb = state.shortDb;
        return VadEvent::SpeechStart;
    }

    // The peak decays by 2 dB a second, so a speaker who gets quieter is still followed.
    state.peakDb = state.shortDb > state.peakDb ? state.shortDb : state.peakDb - 0.04f;
    const float release =
        std::max({config.absoluteMinDb, state.floorDb + config.releaseAboveFloorDb,
                  state.peakDb - config.dropFromPeakDb});
    if (state.shortDb > release) {
        state.silenceMs = 0;
        return std::nullopt;
    }
    state.silenceMs += 20;
    if (state.silenceMs < hangoverMs)
        return std::nullopt;
    state.speaking = false;
    state.silenceMs = 0;
    return VadEvent::SpeechEnd;
}

}  // namespace morvelin
