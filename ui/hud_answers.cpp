// Asking: every answer starts in askQuestion, which resets the card and hands the conversation
// memory plus the new user message to the answer client. The callbacks fill the card from the
// request's worker; a generation number makes callbacks of a superseded or cleared answer
// harmless. Also the Answer button's three roads: a typed question, the latest question from
// the transcript, or everything heard since the last answer.

#include <fmt/format.h>

#include "base/session_log.h"
#include "llm/llm_client.h"
#include "ui/hud_clock.h"
#include "ui/imgui_ui.h"

namespace morvelin {

bool ImGuiUI::askQuestion(AskRequest request) {
    std::lock_guard askLock(askMutex);
    const bool withImages = !request.images.empty();
    const std::string model =
        withImages ? screenshotModelId() : (services.llm ? services.llm->model() : std::string());

    std::uint64_t generation = 0;
    std::vector<ChatMessage> messages;
    {
        std::lock_guard lock(stateMutex);
        generation = ++answerGeneration;
        messages = memory;
        answerQuestion = request.display;
        answerKind = static_cast<std::int32_t>(request.kind);
        answerText.clear();
        answerError.clear();
        answerState = kAnswerStreaming;
        answerStartNs = steadyNowNs();
        firstTokenMs = -1;
        answerModelLabel = model;
    }
    const std::size_t imageCount = request.images.size();
    messages.push_back(ChatMessage{"user", request.prompt, std::move(request.images)});
    log("llm request: model={} images={}", model, imageCount);

    LlmClient::Callbacks callbacks;
    callbacks.onToken = [this, generation](std::string_view chunk) {
        onLlmToken(generation, chunk);
    };
    callbacks.onDone = [this, generation, prompt = std::move(request.prompt)] {
        onLlmDone(generation, prompt);
    };
    callbacks.onError = [this, generation](const std::string& message) {
        onLlmError(generation, message);
    };
    const bool started =
        services.llm && services.llm->streamChat(std::move(messages), std::move(callbacks),
                                                 withImages ? model : "");
    if (!started) {
        std::lock_guard lock(stateMutex);
        if (answerGeneration == generation) {
            answerState = kAnswerFailed;
            answerError = "No OpenRouter API key - add one in Settings.";
        }
    }
    return started;
}

void ImGuiUI::onLlmToken(std::uint64_t generation, std::string_view chunk) {
    std::lock_guard lock(stateMutex);
    if (generation != answerGeneration)
        return;
    if (firstTokenMs < 0) {
        firstTokenMs = static_cast<std::int32_t>((steadyNowNs() - answerStartNs) / 1'000'000);
        log("llm first token after {} ms", firstTokenMs);
    }
    answerText.append(chunk);
}

void ImGuiUI::onLlmDone(std::uint64_t generation, const std::string& prompt) {
    std::lock_guard lock(stateMutex);
    if (generation != answerGeneration)
        return;
    answerState = kAnswerDone;
    memory.push_back(ChatMessage{"user", prompt, {}});
    memory.push_back(ChatMessage{"assistant", answerText, {}});
    trimMemory(memory, kMemoryMessages);
}

void ImGuiUI::onLlmError(std::uint64_t generation, const std::string& message) {
    std::lock_guard lock(stateMutex);
    log("llm ERROR: {}", message);
    if (generation != answerGeneration)
        return;
    answerState = kAnswerFailed;
    answerError = message;
}

void ImGuiUI::clearAnswer() {
    // Waits for an askQuestion being set up on another thread (a hands-free dispatch), so the
    // request it is about to start is the one cancelled, not left streaming behind an empty card.
    std::lock_guard askLock(askMutex);
    if (services.llm)
        services.llm->cancel();
    std::lock_guard lock(stateMutex);
    ++answerGeneration;
    answerState = kAnswerIdle;
    answerQuestion.clear();
    answerText.clear();
    answerError.clear();
    firstTokenMs = -1;
}

void ImGuiUI::stopAnswer() {
    std::lock_guard askLock(askMutex);
    if (services.llm)
        services.llm->cancel();
    std::lock_guard lock(stateMutex);
    ++answerGeneration;
    if (answerState == kAnswerStreaming)
        answerState = kAnswerStopped;
    statusText = "Stopped.";
}

void ImGuiUI::resetMemory() {
    std::lock_guard lock(stateMutex);
    memory.clear();
}

std::string ImGuiUI::answerModelId() const {
    return modelIdAt(answerModelIndex, customAnswerModel);
}

std::string ImGuiUI::screenshotModelId() const {
    return modelIdAt(screenshotModelIndex, customScreenshotModel);
}

void ImGuiUI::applyLlmSettings() {
    if (!llmSettingsDirty)
        return;
    llmSettingsDirty = false;
    // Key and knowledge are not in the settings fingerprint; this is how their edits are saved.
    savePending = true;
    saveRequestedNs = steadyNowNs();
    if (!services.llm)
        return;
    services.llm->setApiKey(openRouterKey);
    services.llm->setModel(answerModelId());
    services.llm->setKnowledge(knowledgeBlock(resume, jobDescription, projectReadme));
}

void ImGuiUI::setHandsFree(bool on) {
    handsFree.store(on);
    statusText = on ? "Automatic answers: detected questions are answered as soon as they end."
                    : "Answer on click: I keep listening and answer only when you press Answer "
                      "(Ctrl+Shift+A).";
}

void ImGuiUI::answerNow() {
    if (!typedQuestion.empty()) {
        // The field empties only once the question is on its way; a refused request (no key)
        // leaves it to be sent again.
        if (askQuestion(AskRequest{typedQuestion, typedQuestion, AskKind::Typed}))
            typedQuestion.clear();
        return;
    }
    answerFromTranscript();
}

std::string ImGuiUI::recentTranscriptText(std::size_t maxLines, bool markAnswered) {
    std::size_t end = 0;
    std::string text = transcriptWindow(maxLines, markAnswered, end);
    if (markAnswered)
        markAnsweredUpTo(end);
    return text;
}

std::string ImGuiUI::transcriptWindow(std::size_t maxLines, bool fromMark, std::size_t& end) {
    std::lock_guard lock(stateMutex);
    const std::size_t n = transcript.size();
    std::size_t first = n > maxLines ? n - maxLines : 0;
    if (fromMark && answeredUpTo < n)
        first = std::max(first, answeredUpTo);
    end = n;
    std::string out;
    for (std::size_t i = first; i < n; ++i)
        appendPromptLine(out, transcript[i].source, transcript[i].text);
    for (AudioSource source : {AudioSource::SystemAudio, AudioSource::Microphone}) {
        if (!livePartial[sourceIndex(source)].empty())
            appendPromptLine(out, source, livePartial[sourceIndex(source)]);
    }
    return out;
}

void ImGuiUI::markAnsweredUpTo(std::size_t end) {
    std::lock_guard lock(stateMutex);
    // Never back over lines another road answered meanwhile (a hands-free dispatch); a mark
    // beyond the end (left from a longer transcript) comes back to it.
    answeredUpTo = answeredUpTo > transcript.size() ? end : std::max(answeredUpTo, end);
}

void ImGuiUI::answerFromTranscript() {
    if (!handsFree.load()) {
        answerOnClick();
        return;
    }
    std::string display = "Latest question from the transcript";
    {
        std::lock_guard lock(stateMutex);
        const std::size_t n = transcript.size();
        for (std::size_t looked = 0; looked < 24 && looked < n; ++looked) {
            const TranscriptLine& line = transcript[n - 1 - looked];
            if (line.source == AudioSource::SystemAudio && !line.text.empty()) {
                display = line.text;
                break;
            }
        }
    }
    // The lines count as answered only once the request is on its way: a refused one (no key)
    // leaves them to be answered again.
    std::size_t end = 0;
    const std::string context = transcriptWindow(24, true, end);
    if (context.empty()) {
        markAnsweredUpTo(end);
        statusText = "Nothing in the transcript yet - type a question instead.";
        return;
    }
    if (askQuestion(AskRequest{transcriptPrompt(context), display, AskKind::Transcript}))
        markAnsweredUpTo(end);
}

void ImGuiUI::answerOnClick() {
    std::string newLines;
    std::string spoken;
    std::string earlier;
    std::size_t end = 0;
    const auto addSpoken = [&spoken](const std::string& text) {
        if (!spoken.empty())
            spoken += ' ';
        spoken += text;
    };
    {
        std::lock_guard lock(stateMutex);
        const std::size_t start = std::min(transcript.size(), answeredUpTo);
        for (std::size_t i = start; i < transcript.size(); ++i) {
            appendPromptLine(newLines, transcript[i].source, transcript[i].text);
            addSpoken(transcript[i].text);
        }
        for (AudioSource source : {AudioSource::SystemAudio, AudioSource::Microphone}) {
            std::string& partial = livePartial[sourceIndex(source)];
            if (partial.empty())
                continue;
            // A second press within one utterance: the interim still starts with the words the
            // first press committed, and only the words after them are new.
            std::string& committed = committedText[sourceIndex(source)];
            std::string fresh = dropCommittedWords(partial, committed);
            if (!fresh.empty()) {
                appendPromptLine(newLines, source, fresh);
                addSpoken(fresh);
                transcript.push_back(TranscriptLine{source, std::move(fresh)});
                // The engine's latest reading of the utterance, which its final will repeat.
                committed = std::move(partial);
            }
            partial.clear();
        }
        for (std::size_t i = start > 8 ? start - 8 : 0; i < start; ++i)
            appendPromptLine(earlier, transcript[i].source, transcript[i].text);
        end = transcript.size();
    }
    if (newLines.empty()) {
        markAnsweredUpTo(end);
        statusText = "Nothing new heard since your last answer.";
        return;
    }
    log("answer on click: sending everything heard since the last answer: \"{}\"", spoken);
    // A refused request (no key) leaves the lines, the committed interim among them, to be
    // sent again as new by the next press.
    if (askQuestion(
            AskRequest{answerOnClickPrompt(newLines, earlier), spoken, AskKind::Transcript}))
        markAnsweredUpTo(end);
}

}  // namespace morvelin
