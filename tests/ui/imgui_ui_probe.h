#pragma once
// Test access to the controller's private state and steps. Add a line when a test needs one
// more; never define ImGuiUIProbe anywhere else.

#include <utility>

#include "ui/imgui_ui.h"

namespace morvelin {

#define HUD_PROBE_MEMBER(name)       \
    static auto& name(ImGuiUI& ui) { \
        return ui.name;              \
    }
#define HUD_PROBE_CALL(name)                                  \
    template <typename... Args>                               \
    static decltype(auto) name(ImGuiUI& ui, Args&&... args) { \
        return ui.name(std::forward<Args>(args)...);          \
    }

struct ImGuiUIProbe {
    HUD_PROBE_MEMBER(services)
    HUD_PROBE_MEMBER(stateMutex)
    HUD_PROBE_MEMBER(transcript)
    HUD_PROBE_MEMBER(livePartial)
    HUD_PROBE_MEMBER(sttStatus)
    HUD_PROBE_MEMBER(answeredUpTo)
    HUD_PROBE_MEMBER(committedText)
    HUD_PROBE_MEMBER(answerGeneration)
    HUD_PROBE_MEMBER(answerQuestion)
    HUD_PROBE_MEMBER(answerKind)
    HUD_PROBE_MEMBER(answerText)
    HUD_PROBE_MEMBER(answerError)
    HUD_PROBE_MEMBER(answerState)
    HUD_PROBE_MEMBER(answerStartNs)
    HUD_PROBE_MEMBER(firstTokenMs)
    HUD_PROBE_MEMBER(answerModelLabel)
    HUD_PROBE_MEMBER(memory)
    HUD_PROBE_MEMBER(notice)
    HUD_PROBE_MEMBER(noticeUntilNs)
    HUD_PROBE_MEMBER(detectors)
    HUD_PROBE_MEMBER(handsFree)
    HUD_PROBE_MEMBER(micAnswerMode)
    HUD_PROBE_MEMBER(lastInterviewerSpeechMs)
    HUD_PROBE_MEMBER(lastSystemQuestionMs)
    HUD_PROBE_MEMBER(perUtteranceActive)
    HUD_PROBE_MEMBER(boldFont)
    HUD_PROBE_MEMBER(monoFont)
    HUD_PROBE_MEMBER(openRouterKey)
    HUD_PROBE_MEMBER(deepgramKey)
    HUD_PROBE_MEMBER(sttEngine)
    HUD_PROBE_MEMBER(sttModel)
    HUD_PROBE_MEMBER(sttLanguage)
    HUD_PROBE_MEMBER(sttUrl)
    HUD_PROBE_MEMBER(listenProblem)
    HUD_PROBE_MEMBER(scrolledGeneration)
    HUD_PROBE_MEMBER(typedQuestion)
    HUD_PROBE_MEMBER(answerModelIndex)
    HUD_PROBE_MEMBER(customAnswerModel)
    HUD_PROBE_MEMBER(screenshotModelIndex)
    HUD_PROBE_MEMBER(customScreenshotModel)
    HUD_PROBE_MEMBER(resume)
    HUD_PROBE_MEMBER(jobDescription)
    HUD_PROBE_MEMBER(projectReadme)
    HUD_PROBE_MEMBER(llmSettingsDirty)
    HUD_PROBE_MEMBER(tray)
    HUD_PROBE_MEMBER(settingsPath)
    HUD_PROBE_MEMBER(savePending)
    HUD_PROBE_MEMBER(saveRequestedNs)
    HUD_PROBE_MEMBER(savedFingerprint)
    HUD_PROBE_MEMBER(showTranscript)
    HUD_PROBE_MEMBER(autoHeight)
    HUD_PROBE_MEMBER(selectComposeTab)
    HUD_PROBE_MEMBER(selectLiveTab)
    HUD_PROBE_MEMBER(answerContentHeight)
    HUD_PROBE_MEMBER(dragging)
    HUD_PROBE_MEMBER(listening)
    HUD_PROBE_MEMBER(silenceMs)
    HUD_PROBE_MEMBER(hideWhileCapturing)
    HUD_PROBE_MEMBER(screenshotMaxWidth)
    HUD_PROBE_MEMBER(interactiveOpacity)
    HUD_PROBE_MEMBER(clickThroughOpacity)
    HUD_PROBE_MEMBER(hotkeyRegistered)
    HUD_PROBE_MEMBER(statusText)
    HUD_PROBE_MEMBER(knowledgeDialog)
    HUD_PROBE_MEMBER(transcribers)

    HUD_PROBE_CALL(startListening)
    HUD_PROBE_CALL(stopListening)
    HUD_PROBE_CALL(applySilenceSetting)
    HUD_PROBE_CALL(onAudio)
    HUD_PROBE_CALL(onVoice)
    HUD_PROBE_CALL(onSttStatus)
    HUD_PROBE_CALL(onTranscript)
    HUD_PROBE_CALL(onQuestion)
    HUD_PROBE_CALL(clearTranscript)
    HUD_PROBE_CALL(onLlmToken)
    HUD_PROBE_CALL(onLlmDone)
    HUD_PROBE_CALL(onLlmError)
    HUD_PROBE_CALL(stopAnswer)
    HUD_PROBE_CALL(resetMemory)
    HUD_PROBE_CALL(answerModelId)
    HUD_PROBE_CALL(screenshotModelId)
    HUD_PROBE_CALL(applyLlmSettings)
    HUD_PROBE_CALL(setHandsFree)
    HUD_PROBE_CALL(answerFromTranscript)
    HUD_PROBE_CALL(answerOnClick)
    HUD_PROBE_CALL(recentTranscriptText)
    HUD_PROBE_CALL(removeScreenshot)
    HUD_PROBE_CALL(clearScreenshots)
    HUD_PROBE_CALL(sendScreenshots)
    HUD_PROBE_CALL(loadKnowledgeFile)
    HUD_PROBE_CALL(pollKnowledgeDialog)
    HUD_PROBE_CALL(finishKnowledgeLoad)
    HUD_PROBE_CALL(collectSettings)
    HUD_PROBE_CALL(settingsFingerprint)
    HUD_PROBE_CALL(saveSettings)
};

#undef HUD_PROBE_MEMBER
#undef HUD_PROBE_CALL

}  // namespace morvelin
