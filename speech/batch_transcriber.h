#pragma once
// The per-utterance speech-to-text engine: cuts one source's audio into utterances at the
// voice detector's speech start and end, and sends each finished utterance (and, while it
// lasts, the utterance so far every 1.2 s) to the transcription endpoint of the chat service.
// Finals and interims run on two workers with a curl handle each, so a slow interim request
// never holds up a final.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "speech/transcript_callbacks.h"

namespace morvelin {

// Defined with the audio capture (audio/audio_capture.h); declared here so users of the
// transcriber do not pull in the capture interface.
enum class VadEvent : int;

// The transcription model until the settings name another.
inline constexpr std::string_view kDefaultTranscriptionModel = "deepgram/nova-3";

struct BatchTranscriberConfig {
    std::string apiKey{};
    std::string model{kDefaultTranscriptionModel};
    std::string language = "en";  // left out of the request when empty
    bool interimPartials = true;
    std::string label = "stt";  // name in log lines
};

struct TranscriptionJob {
    std::uint64_t utterance = 0;
    std::vector<std::int16_t> samples{};  // 16 kHz mono
    bool isFinal = false;
};

class BatchTranscriber {
public:
    // 16 kHz audio: 16 samples are 1 ms.
    static constexpr std::size_t kPreRollSamples = 6400;         // 400 ms before speech start
    static constexpr std::size_t kMaxUtteranceSamples = 448000;  // 28 s
    static constexpr std::size_t kInterimStepSamples = 19200;    // 1.2 s
    static constexpr std::size_t kMinFinalSamples = 6400;        // 0.4 s

    BatchTranscriber();
    ~BatchTranscriber();
    BatchTranscriber(const BatchTranscriber&) = delete;
    BatchTranscriber& operator=(const BatchTranscriber&) = delete;

    // (Re)starts both workers and reports "ready ({model})". Throws std::system_error when a
    // worker thread cannot be started.
    void configure(BatchTranscriberConfig config, TranscriptCallback onTranscript,
                   StatusCallback onStatus);
    // Stops taking audio, aborts requests in flight and joins both workers. Idempotent.
    void stop();

    // One chunk of the source's audio, on its capture thread, before that chunk's voice events.
    void feed(std::span<const std::int16_t> samples);
    void onVadEvent(VadEvent event);

private:
    void finishUtterance();  // mutex held
    void workerLoop(std::stop_token stop, bool finals);

    BatchTranscriberConfig config_;
    TranscriptCallback onTranscript_;
    StatusCallback onStatus_;
    std::mutex mutex_;
    std::condition_variable_any jobReady_;
    std::deque<TranscriptionJob> finalJobs_;
    std::optional<TranscriptionJob> interimJob_;
    bool running_ = false;
    std::deque<std::int16_t> preRoll_;
    std::vector<std::int16_t> utterance_;
    bool inUtterance_ = false;
    std::uint64_t utteranceCounter_ = 0;  // never reset: numbers go on across configure
    std::uint64_t lastFinishedUtterance_ = 0;
    std::uint64_t samplesSinceInterim_ = 0;
    bool interimPending_ = false;  // an interim job is queued or being transcribed
    std::int32_t emptyInterims_ = 0;
    std::jthread finalsWorker_;
    std::jthread interimWorker_;
};

}  // namespace morvelin
