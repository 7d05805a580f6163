#include "ui/hud_rules.h"

#include <fmt/format.h>

#include "speech/question_detector.h"

namespace morvelin {
namespace {

// Words without a letter or digit ("-", "...") have no key and are compared as they are.
bool sameWord(std::string_view a, std::string_view b) {
    const std::vector<std::string> keyA = tokenizeWords(a);
    const std::vector<std::string> keyB = tokenizeWords(b);
    if (keyA.empty() || keyB.empty())
        return keyA.empty() && keyB.empty() && a == b;
    return keyA == keyB;
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

std::string dropCommittedWords(std::string_view text, std::string_view committed) {
    const std::vector<std::string_view> words = splitWhitespace(text);
    const std::vector<std::string_view> done = splitWhitespace(committed);
    std::size_t matched = 0;
    while (matched < words.size() && matched < done.size() &&
           sameWord(words[matched], done[matched]))
        ++matched;
    if (matched == 0)
        return std::string(text);
    if (matched == words.size())
        return {};
    return std::string(text.substr(static_cast<std::size_t>(words[matched].data() - text.data())));
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
