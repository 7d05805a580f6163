#include "speech/batch_transcriber.h"

#include <chrono>
#include <memory>
#include <utility>

#include <curl/curl.h>
#include <fmt/format.h>

#include "audio/audio_capture.h"
#include "base/curl_handles.h"
#include "base/session_log.h"
#include "speech/transcription_request.h"

namespace morvelin {
namespace {

constexpr double kSampleRate = 16000.0;
// Two empty interims in a row for the open utterance: the detector is hearing noise, not
// words, so the buffer starts over rather than grow towards the cap with nothing in it.
constexpr std::int32_t kEmptyInterimsBeforeRestart = 2;

}  // namespace

BatchTranscriber::BatchTranscriber() = default;

BatchTranscriber::~BatchTranscriber() {
    stop();
}

void BatchTranscriber::configure(BatchTranscriberConfig config, TranscriptCallback onTranscript,
                                 StatusCallback onStatus) {
    stop();
    {
        std::lock_guard lock(mutex_);
        config_ = std::move(config);
        onTranscript_ = std::move(onTranscript);
        onStatus_ = std::move(onStatus);
        finalJobs_.clear();
        interimJob_.reset();
        preRoll_.clear();
        utterance_.clear();
        inUtterance_ = false;
        interimPending_ = false;
        samplesSinceInterim_ = 0;
        running_ = true;
    }
    finalsWorker_ =
        std::jthread([this](std::stop_token stop) { workerLoop(std::move(stop), true); });
    interimWorker_ =
        std::jthread([this](std::stop_token stop) { workerLoop(std::move(stop), false); });
    if (onStatus_)
        onStatus_(fmt::format("ready ({})", config_.model));
}

void BatchTranscriber::stop() {
    {
        std::lock_guard lock(mutex_);
        running_ = false;
        finalJobs_.clear();
        interimJob_.reset();
    }
    for (std::jthread* worker : {&finalsWorker_, &interimWorker_}) {
        if (worker->joinable()) {
            worker->request_stop();
            worker->join();
        }
    }
}

void BatchTranscriber::onVadEvent(VadEvent event) {
    std::lock_guard lock(mutex_);
    if (!running_)
        return;
    if (event == VadEvent::SpeechEnd && inUtterance_) {
        finishUtterance();
    } else if (event == VadEvent::SpeechStart && !inUtterance_) {
        inUtterance_ = true;
        ++utteranceCounter_;
        // The detector reports speech a few frames late; the pre-roll keeps the first syllable.
        utterance_.assign(preRoll_.begin(), preRoll_.end());
        preRoll_.clear();
        samplesSinceInterim_ = 0;
        emptyInterims_ = 0;
    }
}

void BatchTranscriber::feed(std::span<const std::int16_t> samples) {
    std::lock_guard lock(mutex_);
    if (!running_)
        return;
    if (!inUtterance_) {
        preRoll_.insert(preRoll_.end(), samples.begin(), samples.end());
        while (preRoll_.size() > kPreRollSamples)
            preRoll_.pop_front();
        return;
    }
    utterance_.insert(utterance_.end(), samples.begin(), samples.end());
    samplesSinceInterim_ += samples.size();
    if (utterance_.size() >= kMaxUtteranceSamples) {
        // Keep requests bounded during a monologue: cut here and go on in a new utterance.
        finishUtterance();
        inUtterance_ = true;
        ++utteranceCounter_;
        return;
    }
    if (config_.interimPartials && !interimPending_ &&
        samplesSinceInterim_ >= kInterimStepSamples) {
        interimJob_ = TranscriptionJob{utteranceCounter_, utterance_, false};
        interimPending_ = true;
        samplesSinceInterim_ = 0;
        jobReady_.notify_all();
    }
}

void BatchTranscriber::finishUtterance() {
    inUtterance_ = false;
    lastFinishedUtterance_ = utteranceCounter_;
    if (interimJob_ && interimJob_->utterance <= utteranceCounter_) {
        interimJob_.reset();
        interimPending_ = false;
    }
    if (utterance_.size() < kMinFinalSamples) {
        log("stt utt#{} dropped: only {:.2f}s of audio", utteranceCounter_,
            static_cast<double>(utterance_.size()) / kSampleRate);
    } else {
        finalJobs_.push_back(TranscriptionJob{utteranceCounter_, std::move(utterance_), true});
    }
    utterance_.clear();
    samplesSinceInterim_ = 0;
    jobReady_.notify_all();
}

void BatchTranscriber::workerLoop(std::stop_token stop, bool finals) {
    const CurlEasy handle(curl_easy_init());
    if (!handle) {
        if (onStatus_)
            onStatus_("error: curl_easy_init failed");
        return;
    }
    std::string lastError;
    while (!stop.stop_requested()) {
        std::unique_lock lock(mutex_);
        const bool hasJob = jobReady_.wait(
            lock, stop, [&] { return finals ? !finalJobs_.empty() : interimJob_.has_value(); });
        if (!hasJob)
            break;
        TranscriptionJob job;
        if (finals) {
            job = std::move(finalJobs_.front());
            finalJobs_.pop_front();
        } else {
            job = std::move(*interimJob_);
            interimJob_.reset();
            if (job.utterance <= lastFinishedUtterance_) {
                // Its utterance ended while it waited; the final carries that audio now.
                interimPending_ = false;
                continue;
            }
        }
        const BatchTranscriberConfig config = config_;
        lock.unlock();

        const auto started = std::chrono::steady_clock::now();
        std::string error;
        const std::string text = transcribe(handle.get(), stop, config, job.samples, error);
        const auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - started)
                                   .count();
        log("stt {} {} utt#{} {:.1f}s audio -> {} ms: {}", config.label,
            job.isFinal ? "FINAL  " : "interim", job.utterance,
            static_cast<double>(job.samples.size()) / kSampleRate, elapsedMs,
            error.empty() ? fmt::format("\"{}\"", text) : "ERROR " + error);
        if (stop.stop_requested())
            break;

        bool deliver = true;
        lock.lock();
        if (!job.isFinal) {
            interimPending_ = false;
            deliver = job.utterance > lastFinishedUtterance_;
            if (deliver && error.empty() && job.utterance == utteranceCounter_ && inUtterance_) {
                if (!text.empty()) {
                    emptyInterims_ = 0;
                } else if (++emptyInterims_ >= kEmptyInterimsBeforeRestart) {
                    log("stt {} utt#{} looks like noise (empty twice) - restarting buffer",
                        config.label, job.utterance);
                    utterance_.clear();
                    samplesSinceInterim_ = 0;
                    emptyInterims_ = 0;
                }
            }
        }
        lock.unlock();

        if (error.empty()) {
            if (!lastError.empty() && onStatus_)
                onStatus_(fmt::format("ready ({})", config.model));
            lastError.clear();
            if (deliver && onTranscript_)
                onTranscript_(text, job.isFinal, job.isFinal);
        } else {
            if (error != lastError && onStatus_)
                onStatus_("error: " + error);
            lastError = error;
            // A failed final still ends the utterance for the listener, so the transcript and
            // the question detector see the end of speech.
            if (job.isFinal && onTranscript_)
                onTranscript_(std::string(), true, true);
        }
    }
}

}  // namespace morvelin
