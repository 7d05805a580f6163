// Transcripts of both engines: live captions, the committed transcript, the detectors; and the
// questions the detectors decide, with the microphone rule and the hands-free dispatch.

#include <fmt/format.h>

#include "audio/audio_capture.h"
#include "base/session_log.h"
#include "ui/hud_clock.h"
#include "ui/imgui_ui.h"

namespace morvelin {

void ImGuiUI::onTranscript(AudioSource source, const std::string& text, bool isFinal,
                           bool speechFinal) {
    const std::size_t index = sourceIndex(source);
    {
        std::lock_guard lock(stateMutex);
        if (!isFinal) {
            livePartial[index] = text;
        } else {
            livePartial[index].clear();
            // The Answer button may have committed the start of this utterance from an interim.
            std::string line = dropCommittedWords(text, committedText[index]);
            committedText[index].clear();
            if (!line.empty())
                transcript.push_back(TranscriptLine{source, std::move(line)});
        }
    }
    if (source == AudioSource::SystemAudio && !text.empty())
        lastInterviewerSpeechMs.store(steadyNowMs());
    if (isFinal)
        log("transcript {} (final, speechFinal={}): \"{}\"", sourceName(source), speechFinal, text);
    // The detector may decide here and dispatch the question on this same thread.
    if (QuestionDetector* detector = detectors[index].get())
        detector->onTranscript(text, isFinal, speechFinal);
}

void ImGuiUI::onQuestion(AudioSource source, const std::string& question) {
    const std::int64_t nowMs = steadyNowMs();
    if (source == AudioSource::Microphone) {
        const bool systemSpeaking =
            services.capture &&
            services.capture->speaking[sourceIndex(AudioSource::SystemAudio)].load();
        switch (micQuestionVerdict(micAnswerMode.load(), systemSpeaking, nowMs,
                                   lastInterviewerSpeechMs.load(), lastSystemQuestionMs.load())) {
            case MicVerdict::NeverAnswer: {
                log("question from microphone NOT answered (mic answering is Never): \"{}\"",
                    question);
                std::lock_guard lock(stateMutex);
                notice =
                    "Heard a question from YOUR mic, but mic answering is set to Never (Settings > "
                    "Hands-free answering).";
                noticeUntilNs = steadyNowNs() + 10'000'000'000;
                return;
            }
            case MicVerdict::InterviewerActive:
                log("mic question skipped, interviewer audio is active (same words picked up by "
                    "the mic): \"{}\"",
                    question);
                return;
            case MicVerdict::Answer:
                break;
        }
    } else {
        lastSystemQuestionMs.store(nowMs);
    }

    if (!handsFree.load()) {
        log("question kept for the Answer button (answer on click is on): \"{}\"", question);
        return;
    }
    log("question DISPATCHED from {}: \"{}\"", sourceName(source), question);
    // The context is the last 8 committed lines; live partials are still being said and are
    // left out.
    std::string context;
    std::size_t end = 0;
    {
        std::lock_guard lock(stateMutex);
        end = transcript.size();
        const std::size_t first = end > 8 ? end - 8 : 0;
        for (std::size_t i = first; i < end; ++i)
            appendPromptLine(context, transcript[i].source, transcript[i].text);
    }
    // A refused request (no key) leaves the lines unanswered for the Answer button.
    if (askQuestion(AskRequest{detectedQuestionPrompt(question, context), question,
                               AskKind::DetectedQuestion}))
        markAnsweredUpTo(end);
}

void ImGuiUI::clearTranscript() {
    std::lock_guard lock(stateMutex);
    transcript.clear();
    livePartial = {};
    answeredUpTo = 0;
    committedText = {};
}

}  // namespace morvelin
