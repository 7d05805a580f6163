#include "audio/vad.h"

#include <algorithm>
#include <cmath>

#include "base/session_log.h"
#include "audio/audio_capture.h"

namespace morvelin {
namespace {

// 1 / 2^30: mean square over 32768 squared, so a full-scale square wave is 0 dB.
constexpr double kInverseFullScaleSquared = 9.313225746154785e-10;
constexpr double kInverseFullScale = 3.0517578125e-05;  // 1 / 32768
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
        return -140.0f;
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

void processChunk(AudioCapture& capture, AudioSource source, std::span<const std::int16_t> samples,
                  VadState& state) {
    const std::size_t index = sourceIndex(source);

    float value = 0.0f;
    if (!samples.empty()) {
        const double rms = std::sqrt(sumOfSquares(samples) / static_cast<double>(samples.size()));
        value = std::clamp(static_cast<float>(rms * kInverseFullScale) * 4.0f, 0.0f, 1.0f);
    }
    // Rises at once, falls smoothly: the bar stays readable between syllables.
    const float old = capture.level[index].load();
    capture.level[index].exchange(value > old ? value : old * 0.85f + value * 0.15f);

    if (capture.onAudio_)
        capture.onAudio_(source, samples);

    const int hangover = capture.hangoverMs.load();
    for (std::size_t at = 0; at + kVadFrameSamples <= samples.size(); at += kVadFrameSamples) {
        const auto event =
            vadStep(state, samples.subspan(at, kVadFrameSamples), capture.vadConfig, hangover);
        if (event) {
            const bool start = *event == VadEvent::SpeechStart;
            capture.speaking[index].exchange(start);
            if (start)
                capture.utteranceCount[index].fetch_add(1);
            log("vad {} {} (level {:.1f} dB, floor {:.1f} dB)", sourceName(source),
                start ? "SPEECH START" : "speech end", state.levelDb, state.floorDb);
            if (capture.onVad_)
                capture.onVad_(source, *event);
        }
        if (state.levelDb > capture.peakDb[index].load())
            capture.peakDb[index].exchange(state.levelDb);
    }
    capture.levelDb[index].exchange(state.levelDb);
    capture.floorDb[index].exchange(state.floorDb);
}

}  // namespace morvelin
