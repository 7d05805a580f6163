// Listening: both sources captured and transcribed by the chosen engine. The capture threads'
// audio goes to the running engine; their voice events go to the engine and the detectors.

#include <algorithm>

#include "base/session_log.h"
#include "llm/llm_client.h"
#include "speech/stt_client.h"
#include "ui/hud_clock.h"
#include "ui/imgui_ui.h"

namespace morvelin {

void ImGuiUI::startListening() {
    {
        std::lock_guard lock(stateMutex);
        sttStatus = {};
    }
    for (auto& detector : detectors) {
        if (detector)
            detector->reset();
    }
    listenProblem.clear();
    if (sttEngine == 0 && openRouterKey.empty())
        listenProblem = "No transcription: add your OpenRouter API key in Settings.";
    else if (sttEngine == 1 && deepgramKey.empty())
        listenProblem =
            "No transcription: add a Deepgram key in Settings, or switch the engine to OpenRouter.";
    perUtteranceActive.store(sttEngine == 0);
    streamsStopping.store(false);
    applySilenceToDetectors();

    if (listenProblem.empty()) {
        for (AudioSource source : {AudioSource::SystemAudio, AudioSource::Microphone}) {
            auto onTranscriptFn = [this, source](const std::string& text, bool isFinal,
                                                 bool speechFinal) {
                onTranscript(source, text, isFinal, speechFinal);
            };
            auto onStatusFn = [this, source](const std::string& text) {
                onSttStatus(source, text);
            };
            if (sttEngine == 1) {
                SttClient* client =
                    source == AudioSource::SystemAudio ? services.sttSystem : services.sttMic;
                if (client)
                    client->start(sttUrl, deepgramKey, std::move(onTranscriptFn),
                                  std::move(onStatusFn));
            } else {
                BatchTranscriberConfig config;
                config.apiKey = openRouterKey;
                config.model = sttModel;
                config.language = sttLanguage;
                config.interimPartials = true;
                config.label = source == AudioSource::SystemAudio ? "interviewer" : "mic";
                transcribers[sourceIndex(source)].configure(
                    std::move(config), std::move(onTranscriptFn), std::move(onStatusFn));
            }
        }
    }

    const std::string error =
        services.capture
            ? services.capture->start(
                  [this](AudioSource source, std::span<const std::int16_t> samples) {
                      onAudio(source, samples);
                  },
                  [this](AudioSource source, VadEvent event) { onVoice(source, event); })
            : std::string("no audio capture");
    if (!error.empty()) {
        stopEngines();
        statusText = "Audio capture failed: " + error;
        return;
    }

    listening = true;
    log("=== listening ON: stt={} model={} openrouterKey={} deepgramKey={} llm={} problem=\"{}\"",
        perUtteranceActive.load() ? "openrouter" : "deepgram", sttModel, !openRouterKey.empty(),
        !deepgramKey.empty(), modelIdAt(answerModelIndex, customAnswerModel), listenProblem);
    const std::string partial = services.capture->startError();
    if (!partial.empty())
        statusText = "Partial audio: " + partial;
    else if (!listenProblem.empty())
        statusText = listenProblem;
    else if (services.llm && services.llm->hasApiKey())
        statusText = handsFree.load()
                         ? "Listening. Questions are answered automatically."
                         : "Listening. Click Answer (or press Ctrl+Shift+A) when you want a "
                           "response.";
    else
        statusText = "Listening - add an OpenRouter key so detected questions get answers.";
}

void ImGuiUI::stopListening() {
    if (services.capture)
        services.capture->stop();
    stopEngines();
    for (auto& detector : detectors) {
        if (detector)
            detector->reset();
    }
    if (listening)
        statusText = "Stopped listening.";
    listening = false;
    std::lock_guard lock(stateMutex);
    livePartial = {};
    // Words the Answer button committed from an interim whose final never came would
    // otherwise be cut from the first final of the next session.
    committedText = {};
}

void ImGuiUI::stopEngines() {
    // Their last status texts are the stop's own, not a lost stream.
    streamsStopping.store(true);
    if (services.sttSystem)
        services.sttSystem->stop();
    if (services.sttMic)
        services.sttMic->stop();
    for (auto& transcriber : transcribers)
        transcriber.stop();
}

void ImGuiUI::applySilenceToDetectors() {
    const std::int64_t timeout = detectorSilenceMs(sttEngine, silenceMs);
    for (auto& detector : detectors) {
        if (detector)
            detector->setSilenceMs(timeout);
    }
}

void ImGuiUI::applySilenceSetting() {
    if (services.capture)
        services.capture->hangoverMs.store(std::max(200, silenceMs));
    applySilenceToDetectors();
}

void ImGuiUI::onAudio(AudioSource source, std::span<const std::int16_t> samples) {
    if (perUtteranceActive.load()) {
        transcribers[sourceIndex(source)].feed(samples);
        return;
    }
    SttClient* client = source == AudioSource::SystemAudio ? services.sttSystem : services.sttMic;
    if (client)
        client->sendAudio(samples);
}

void ImGuiUI::onVoice(AudioSource source, VadEvent event) {
    if (source == AudioSource::SystemAudio)
        lastInterviewerSpeechMs.store(steadyNowMs());
    QuestionDetector* detector = detectors[sourceIndex(source)].get();
    if (perUtteranceActive.load()) {
        transcribers[sourceIndex(source)].onVadEvent(event);
        // This engine's speech-final finals decide; the end of speech only lets the
        // detector's silence timeout run again, which it holds while the source speaks.
        if (detector) {
            if (event == VadEvent::SpeechStart)
                detector->noteSpeechStart();
            else
                detector->noteSpeechEnd();
        }
        return;
    }
    if (!detector)
        return;
    if (event == VadEvent::SpeechEnd)
        detector->flushNow();
    else
        detector->noteSpeechStart();
}

void ImGuiUI::onSttStatus(AudioSource source, const std::string& text) {
    bool streamLost = false;
    {
        std::lock_guard lock(stateMutex);
        std::string& status = sttStatus[sourceIndex(source)];
        streamLost = !perUtteranceActive.load() && !streamsStopping.load() &&
                     status == "connected" && text != "connected";
        status = text;
    }
    // A dropped streaming connection takes the final of its last words with it, and the
    // client reconnects on a new stream that knows nothing of them. Close the utterance with
    // an empty final, as a failed per-utterance upload does: the stale caption goes, and
    // neither the detector nor the Answer button's committed words wait for (or cut words
    // from) a final that belongs to the dead stream.
    if (streamLost)
        onTranscript(source, {}, true, false);
}

}  // namespace morvelin
