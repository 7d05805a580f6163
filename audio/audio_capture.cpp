// The platform-free half of AudioCapture: starting, stopping and the guarded texts.
// The capture threads themselves live in the platform file (audio_capture_pulse.cpp).

#include "audio/audio_capture.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include <fmt/format.h>

namespace morvelin {

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

}  // namespace morvelin
