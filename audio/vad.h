#pragma once
// Level meter and energy-based voice-activity detector. Each 100 ms chunk is metered for
// the HUD's bar and split into five 20 ms frames; a frame votes for speech when it stands
// clearly above a self-learning noise floor, and speech ends after the hangover time of
// frames that fell back towards the floor or far below the decaying speech peak.
//
// Pure: values in, values out, no I/O and no threads. AudioCapture's processChunk wires
// the detector to the readouts, callbacks and log on each source's capture thread.

#include <cstdint>
#include <deque>
#include <optional>
#include <span>

namespace morvelin {

enum class VadEvent : int { SpeechStart = 0, SpeechEnd = 1 };

struct VadConfig {
    float onsetAboveFloorDb = 8.0f;    // a frame votes for speech this far above the floor
    float releaseAboveFloorDb = 6.0f;  // speech continues this far above the floor
    float dropFromPeakDb = 22.0f;      // ... or within this distance below the speech peak
    float absoluteMinDb = -60.0f;      // lower bound of both thresholds
    float floorTrackMinDb = -85.0f;    // quieter frames (digital silence) leave the floor alone
    float floorMaxDb = -35.0f;         // tracking never raises the floor above this
    std::int32_t onsetMs = 120;        // voting time among the last 15 frames that starts speech
};

// The level of digital silence: what energyToDb gives for no signal, and what a meter shows
// before its first frame. Far below anything a real input reaches (16-bit noise is about -100).
inline constexpr float kSilenceFloorDb = -140.0f;

// One per source, touched only by its capture thread; reset at every device open.
struct VadState {
    bool speaking = false;
    bool floorInitialised = false;
    std::int32_t silenceMs = 0;
    std::int32_t warmupFrames = 25;  // 500 ms after an open: learn the floor, raise nothing
    float levelDb = kSilenceFloorDb;
    float shortDb = kSilenceFloorDb;  // mean energy of the last 5 frames
    float peakDb = kSilenceFloorDb;   // decaying peak of shortDb inside speech
    float floorDb = -70.0f;
    std::deque<double> energies;
    std::deque<bool> votes;
};

inline constexpr int kVadFrameSamples = 320;  // 20 ms at 16 kHz

// Energy as mean square over full scale squared, in dB; kSilenceFloorDb at or below 1e-14.
float energyToDb(double energy);

// Analyses one 20 ms frame and returns the event it raises, if any.
std::optional<VadEvent> vadStep(VadState& state, std::span<const std::int16_t> frame,
                                const VadConfig& config, int hangoverMs);

}  // namespace morvelin
