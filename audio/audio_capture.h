#pragma once
// Captures both sides of a call at once: what the computer plays (the loopback of the
// default output device, i.e. the interviewer) and the default microphone (the user).
// Each source runs on its own capture thread, which cuts the stream into 100 ms chunks of
// 16 kHz mono 16-bit samples, meters them, runs the voice-activity detector and hands
// samples and voice events to the callbacks. The thread follows the default device through
// unplugging, switching and sound-server restarts on its own.
//
// The readouts are atomics because the HUD reads them while drawing, without a lock.

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

#include "audio/vad.h"

namespace morvelin {

enum class AudioSource : int { SystemAudio = 0, Microphone = 1 };

// Called with every 100 ms chunk (1600 samples) on that source's capture thread; the
// span is valid only during the call.
using AudioCallback = std::function<void(AudioSource, std::span<const std::int16_t>)>;
// Called on that source's capture thread, after the chunk's AudioCallback.
using VadCallback = std::function<void(AudioSource, VadEvent)>;

// Index of a source into the per-source readouts.
constexpr std::size_t sourceIndex(AudioSource source) {
    return static_cast<std::size_t>(source);
}
// "System audio" or "Microphone", as log lines and joined errors name the source.
std::string_view sourceName(AudioSource source);

// Sleeps ms in steps of 50 ms, returning early once a stop is requested.
void sleepUnlessStopped(std::stop_token stop, int ms);

class AudioCapture;
// Meters a chunk, forwards it to the audio callback, runs the detector over its whole
// frames and publishes readouts, log lines and voice events. On the source's capture thread.
void processChunk(AudioCapture& capture, AudioSource source, std::span<const std::int16_t> samples,
                  VadState& state);

class AudioCapture {
public:
    AudioCapture();
    ~AudioCapture();
    AudioCapture(const AudioCapture&) = delete;
    AudioCapture& operator=(const AudioCapture&) = delete;

    // Starts one capture thread per source and waits for each one's first open. Returns an
    // empty text when at least one source opened; otherwise both errors, joined by "; ".
    // A source that failed while the other opened keeps retrying; its error is kept for
    // startError. Called on the UI thread.
    std::string start(AudioCallback onAudio, VadCallback onVad);
    // Stops and joins both capture threads.
    void stop();

    std::string status(AudioSource source) const;
    std::string startError() const;
    std::string deviceName(AudioSource source) const;
    void setStatus(AudioSource source, std::string text);

    const VadConfig vadConfig{};
    // Quiet time that ends speech; the HUD writes max(200, its silence setting).
    std::atomic<std::int32_t> hangoverMs{800};
    // Bumped by "Reconnect audio": every capture thread reopens its device when it changes.
    std::atomic<std::uint32_t> reconnectGeneration{0};

    // Per-source readouts, indexed by sourceIndex.
    std::array<std::atomic<float>, 2> level{};  // displayed level 0..1 of the last chunk
    std::array<std::atomic<bool>, 2> capturing{};
    std::array<std::atomic<bool>, 2> speaking{};
    std::array<std::atomic<float>, 2> levelDb{};  // last analysed 20 ms frame
    std::array<std::atomic<float>, 2> floorDb{};
    std::array<std::atomic<std::uint32_t>, 2> utteranceCount{};  // speech starts since start
    std::array<std::atomic<float>, 2> peakDb{};  // highest frame level since the last level log

private:
    friend void processChunk(AudioCapture& capture, AudioSource source,
                             std::span<const std::int16_t> samples, VadState& state);
    // The body of one capture thread: opens the source's default device through the
    // platform's recorder, keeps it open across losses and default changes, and cuts what it
    // records into chunks. Gives `firstOpen` the result of the first open attempt, an empty
    // text on success.
    static void captureLoop(AudioCapture& capture, std::stop_token stop, AudioSource source,
                            std::promise<std::string> firstOpen);
    void setDeviceName(AudioSource source, std::string name);
    // Ends that source's utterance for listeners when the detector was inside one.
    void endSpeechOnClose(AudioSource source, const VadState& state);

    // Assigned only in start while no capture thread runs, so the threads read them freely.
    AudioCallback onAudio_;
    VadCallback onVad_;

    mutable std::mutex mutex_;  // guards the three texts below; never held across a callback
    std::array<std::string, 2> deviceName_;
    std::array<std::string, 2> statusText_;
    std::string startErrorText_;

    std::array<std::jthread, 2> threads_;
};

}  // namespace morvelin
