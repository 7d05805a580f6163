// AudioCapture without a platform in sight: starting and stopping, the per-chunk metering
// and detection, and the loop that keeps each capture thread on its source's default
// device. The sound system is reached only through AudioRecorder (audio_recorder.h), whose
// PulseAudio implementation is audio_capture_pulse.cpp.

#include "audio/audio_capture.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "audio/audio_recorder.h"
#include "base/session_log.h"

namespace morvelin {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kChunkSamples = 1600;             // 100 ms at 16 kHz
constexpr std::size_t kBufferReserve = 6400;            // 400 ms: appending never reallocates
constexpr double kInverseFullScale = 3.0517578125e-05;  // 1 / 32768

}  // namespace

std::string_view sourceName(AudioSource source) {
    return source == AudioSource::SystemAudio ? "System audio" : "Microphone";
}

void sleepUnlessStopped(std::stop_token stop, int ms) {
    for (int slept = 0; slept < ms && !stop.stop_requested(); slept += 50)
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(50, ms - slept)));
}

AudioCapture::AudioCapture() = default;

AudioCapture::~AudioCapture() {
    stop();
}

std::string AudioCapture::start(AudioCallback onAudio, VadCallback onVad) {
    stop();
    onAudio_ = std::move(onAudio);
    onVad_ = std::move(onVad);
    {
        std::lock_guard lock(mutex_);
        startErrorText_.clear();
    }

    constexpr std::array sources{AudioSource::SystemAudio, AudioSource::Microphone};
    std::array<std::future<std::string>, 2> firstOpen;
    for (const AudioSource source : sources) {
        std::promise<std::string> promise;
        firstOpen[sourceIndex(source)] = promise.get_future();
        threads_[sourceIndex(source)] = std::jthread(
            [this, source, promise = std::move(promise)](std::stop_token stop) mutable {
                captureLoop(*this, std::move(stop), source, std::move(promise));
            });
    }

    std::string joined;
    int failures = 0;
    for (const AudioSource source : sources) {
        const std::string error = firstOpen[sourceIndex(source)].get();
        if (error.empty())
            continue;
        if (!joined.empty())
            joined += "; ";
        joined += fmt::format("{}: {}", sourceName(source), error);
        ++failures;
    }
    if (failures == 2) {
        stop();
        return joined;
    }
    if (failures == 1) {
        std::lock_guard lock(mutex_);
        startErrorText_ = joined;
    }
    return {};
}

void AudioCapture::stop() {
    for (auto& thread : threads_)
        thread.request_stop();
    for (auto& thread : threads_)
        if (thread.joinable())
            thread.join();
}

std::string AudioCapture::status(AudioSource source) const {
    std::lock_guard lock(mutex_);
    return statusText_[sourceIndex(source)];
}

std::string AudioCapture::startError() const {
    std::lock_guard lock(mutex_);
    return startErrorText_;
}

std::string AudioCapture::deviceName(AudioSource source) const {
    std::lock_guard lock(mutex_);
    return deviceName_[sourceIndex(source)];
}

void AudioCapture::setStatus(AudioSource source, std::string text) {
    std::lock_guard lock(mutex_);
    statusText_[sourceIndex(source)] = std::move(text);
}

void AudioCapture::setDeviceName(AudioSource source, std::string name) {
    std::lock_guard lock(mutex_);
    deviceName_[sourceIndex(source)] = std::move(name);
}

void AudioCapture::endSpeechOnClose(AudioSource source, const VadState& state) {
    const std::size_t index = sourceIndex(source);
    if (state.speaking) {
        speaking[index].exchange(false);
        if (onVad_)
            onVad_(source, VadEvent::SpeechEnd);
    }
    speaking[index].exchange(false);
}

void processChunk(AudioCapture& capture, AudioSource source, std::span<const std::int16_t> samples,
                  VadState& state) {
    const std::size_t index = sourceIndex(source);

    float value = 0.0f;
    if (!samples.empty()) {
        double sum = 0.0;
        for (const std::int16_t s : samples)
            sum += static_cast<double>(s) * static_cast<double>(s);
        const double rms = std::sqrt(sum / static_cast<double>(samples.size()));
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

void AudioCapture::captureLoop(AudioCapture& capture, std::stop_token stop, AudioSource source,
                               std::promise<std::string> firstOpen) {
    const std::size_t index = sourceIndex(source);
    const std::string_view name = sourceName(source);
    const bool loopback = source == AudioSource::SystemAudio;
    bool firstOpenGiven = false;
    const auto giveFirstOpen = [&](std::string result) {
        if (firstOpenGiven)
            return;
        firstOpenGiven = true;
        firstOpen.set_value(std::move(result));
    };

    AudioRecorderResult made = makeAudioRecorder(loopback);
    if (!made.recorder) {
        giveFirstOpen(std::move(made.error));
        return;
    }
    AudioRecorder& recorder = *made.recorder;

    capture.utteranceCount[index].exchange(0);
    VadState vad;
    std::vector<std::int16_t> buffer;
    std::string lastOpenError;
    std::string lossReason;

    while (!stop.stop_requested()) {
        const std::string error = recorder.open();
        if (!error.empty()) {
            giveFirstOpen(error);
            capture.capturing[index].exchange(false);
            // Retried every 1.5 s; only a new error is worth a log line and a status.
            if (error != lastOpenError) {
                lastOpenError = error;
                log("audio {} unavailable: {} - retrying", name, error);
                capture.setStatus(source, "waiting for a device - " + error);
            }
            sleepUnlessStopped(stop, 1500);
            continue;
        }

        lastOpenError.clear();
        const std::string deviceName = recorder.deviceName();
        capture.setDeviceName(source, deviceName);
        // The flag and the log line before the status, as on failure: whoever reads
        // "capturing from" finds the source capturing and the change logged.
        capture.capturing[index].exchange(true);
        log("audio {} capturing from \"{}\"", name, deviceName);
        capture.setStatus(source, "capturing from " + deviceName);
        capture.peakDb[index].exchange(kSilenceFloorDb);
        giveFirstOpen({});
        const std::uint32_t generation = capture.reconnectGeneration.load();
        vad = VadState{};
        buffer.reserve(kBufferReserve);
        Clock::time_point lastData = Clock::now();
        Clock::time_point lastCheck = lastData;
        Clock::time_point lastLog = lastData;
        lossReason.clear();

        while (!stop.stop_requested() && lossReason.empty()) {
            std::this_thread::sleep_for(10ms);
            const std::size_t before = buffer.size();
            lossReason = recorder.drain(buffer);
            if (!lossReason.empty())
                break;
            const auto now = Clock::now();
            if (buffer.size() != before)
                lastData = now;
            if (!loopback) {
                if (now - lastData >= 5s) {
                    lossReason = "microphone stopped delivering audio";
                    break;
                }
            } else if (buffer.size() < kChunkSamples && now - lastData >= 100ms) {
                // A sink with nothing to play may deliver nothing at all; zeros keep the
                // chunks and the detector (and so the end of an utterance) running. They
                // also complete a partial chunk left over when playback stopped: waiting
                // for an empty buffer would wait forever and hold the utterance open.
                buffer.insert(buffer.end(), kChunkSamples, 0);
                lastData = now;
            }
            if (capture.reconnectGeneration.load() != generation) {
                lossReason = "reconnect requested";
                break;
            }
            if (now - lastCheck >= 1s) {
                lossReason = recorder.defaultChanged();
                if (!lossReason.empty())
                    break;
                lastCheck = now;
            }
            if (now - lastLog >= 3s) {
                lastLog = now;
                const auto utterances = capture.utteranceCount[index].load();
                const bool speaking = capture.speaking[index].load();
                const float floor = capture.floorDb[index].load();
                const float peak = capture.peakDb[index].exchange(kSilenceFloorDb);
                log("level {}: peak {:.1f} dB, floor {:.1f} dB, speaking={}, utterances={}", name,
                    peak, floor, speaking, utterances);
            }
            std::size_t consumed = 0;
            for (; buffer.size() - consumed >= kChunkSamples; consumed += kChunkSamples)
                processChunk(capture, source, std::span(buffer).subspan(consumed, kChunkSamples),
                             vad);
            buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(consumed));
        }

        recorder.close();
        capture.capturing[index].exchange(false);
        capture.level[index].exchange(0.0f);
        capture.endSpeechOnClose(source, vad);
        if (!lossReason.empty() && !stop.stop_requested()) {
            log("audio {} lost ({}) - reconnecting to the default device", name, lossReason);
            capture.setStatus(source, "reconnecting - " + lossReason);
            sleepUnlessStopped(stop, 500);
        }
        buffer = {};
        vad = VadState{};
    }

    capture.capturing[index].exchange(false);
    capture.speaking[index].exchange(false);
    capture.level[index].exchange(0.0f);
    // Never leave the promise broken, even when a stop came before the first open.
    giveFirstOpen({});
}

}  // namespace morvelin
