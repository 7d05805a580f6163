#include "ui/hud_rules.h"

#include <cctype>
#include <cstring>

#include <fmt/format.h>

namespace morvelin {
namespace {

bool isSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

std::int32_t modelIndexFromId(const std::string& id) {
    for (std::int32_t i = 0; i < kCustomModelIndex; ++i) {
        if (id == kModelTable[static_cast<std::size_t>(i)])
            return i;
    }
    return kCustomModelIndex;
}

std::string modelIdAt(std::int32_t index, const std::string& customId) {
    if (index >= 0 && index < kCustomModelIndex)
        return kModelTable[static_cast<std::size_t>(index)];
    return customId;
}

void appendKnowledgeSection(std::string& out, const char* heading, const std::string& text) {
    if (!text.empty())
        out += fmt::format("## {}\n{}\n\n", heading, text);
}

std::string knowledgeBlock(const std::string& resume, const std::string& jobDescription,
                           const std::string& projectReadme) {
    std::string block;
    appendKnowledgeSection(block, "Resume", resume);
    appendKnowledgeSection(block, "Job description", jobDescription);
    appendKnowledgeSection(block, "Project README / notes", projectReadme);
    return block;
}

std::string_view promptLabel(AudioSource source) {
    return source == AudioSource::SystemAudio ? "Interviewer" : "Me";
}

void appendPromptLine(std::string& out, AudioSource source, std::string_view text) {
    out += '[';
    out += promptLabel(source);
    out += "] ";
    out += text;
    out += '\n';
}

std::size_t countWords(std::string_view text) {
    std::size_t words = 0;
    bool inWord = false;
    for (char c : text) {
        const bool space = isSpace(c);
        if (!space && !inWord)
            ++words;
        inWord = !space;
    }
    return words;
}

std::string skipLeadingWords(std::string_view text, std::size_t wordCount) {
    std::size_t i = 0;
    for (std::size_t n = 0; n < wordCount; ++n) {
        while (i < text.size() && isSpace(text[i]))
            ++i;
        while (i < text.size() && !isSpace(text[i]))
            ++i;
    }
    while (i < text.size() && isSpace(text[i]))
        ++i;
    return std::string(text.substr(i));
}

MicVerdict micQuestionVerdict(std::int32_t mode, bool systemSpeaking, std::int64_t nowMs,
                              std::int64_t lastInterviewerSpeechMs,
                              std::int64_t lastSystemQuestionMs) {
    if (mode == 2)
        return MicVerdict::NeverAnswer;
    if (mode == 1)
        return MicVerdict::Answer;
    const bool quiet = !systemSpeaking && nowMs - lastInterviewerSpeechMs >= kInterviewerQuietMs &&
                       nowMs - lastSystemQuestionMs >= kInterviewerQuietMs;
    return quiet ? MicVerdict::Answer : MicVerdict::InterviewerActive;
}

std::string detectedQuestionPrompt(std::string_view question, std::string_view context) {
    std::string prompt = fmt::format("The interviewer just asked: \"{}\"\n\n", question);
    if (!context.empty())
        prompt += fmt::format("Recent conversation, for context only:\n{}\n", context);
    prompt += "Answer the interviewer's question as me.";
    return prompt;
}

std::string transcriptPrompt(std::string_view context) {
    return fmt::format(
        "Live interview transcript (Interviewer = the other side of the call, Me = the "
        "candidate):\n\n{}\nWrite what I should say next in response to the most recent question "
        "asked (by the interviewer, or by me if I am testing). If several questions were asked, "
        "answer them in order.",
        context);
}

std::string answerOnClickPrompt(std::string_view newLines, std::string_view earlier) {
    std::string prompt = fmt::format(
        "Everything said on the call since my last answer (Interviewer = the other side of the "
        "call, Me = the candidate). Speech recognition may have split it into several pieces; "
        "treat them together as ONE question or request:\n\n{}\n",
        newLines);
    if (!earlier.empty())
        prompt +=
            fmt::format("Earlier conversation, already answered, for context only:\n{}\n", earlier);
    prompt +=
        "Write what I should say next, answering all of it as one combined question. If it "
        "contains several questions, answer each of them in order.";
    return prompt;
}

std::string screenshotPrompt(std::size_t count) {
    if (count == 1)
        return "This is a screenshot of my screen during the interview (for example a coding "
               "problem or a question in a shared document). Identify the question and give me "
               "the answer, with code if relevant.";
    return fmt::format(
        "These are {} screenshots of my screen during the interview, in the order I took them "
        "(for example coding problems or questions in shared documents). Identify the "
        "question(s) and give me the answer, with code if relevant.",
        count);
}

std::string screenshotDisplay(std::string_view typed, std::size_t count) {
    if (typed.empty())
        return fmt::format("{} screenshot{}", count, pluralSuffix(count));
    if (count == 0)
        return std::string(typed);
    return fmt::format("{}  [+ {} screenshot{}]", typed, count, pluralSuffix(count));
}

const char* pluralSuffix(std::size_t count) {
    return count == 1 ? "" : "s";
}

void trimMemory(std::vector<ChatMessage>& memory, std::size_t keep) {
    if (memory.size() > keep)
        memory.erase(memory.begin(), memory.end() - static_cast<std::ptrdiff_t>(keep));
}

std::int64_t detectorSilenceMs(std::int32_t sttEngine, std::int32_t silenceMs) {
    return sttEngine != 0 ? std::int64_t{silenceMs} + 700 : 8000;
}

}  // namespace morvelin
