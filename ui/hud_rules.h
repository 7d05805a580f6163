#pragma once
// The pure rules of the HUD controller: the model table, prompt texts, transcript lines, the
// word skipping of committed text, the microphone rule and the memory window. Values in,
// values out; the controller supplies the state and the locks.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "audio/audio_capture.h"
#include "llm/chat_message.h"

namespace morvelin {

// The models offered by the settings form, in this order; the last entry stands for the
// custom id typed beside it.
inline constexpr std::array<const char*, 9> kModelTable = {
    "anthropic/claude-3.5-sonnet",   "openai/gpt-4o-mini",      "openai/gpt-4o",
    "anthropic/claude-3-haiku",      "google/gemini-flash-1.5", "meta-llama/llama-3.1-70b-instruct",
    "google/gemini-3.1-pro-preview", "google/gemini-3.8-flash", "Custom...",
};
inline constexpr std::int32_t kCustomModelIndex = 8;

// Index of the first of entries 0..7 equal to id (byte for byte); 8 when none is.
std::int32_t modelIndexFromId(const std::string& id);
// The table entry, or the custom id for index 8 (and any index out of the table).
std::string modelIdAt(std::int32_t index, const std::string& customId);

// Appends "## {heading}\n{text}\n\n" when text is not empty.
void appendKnowledgeSection(std::string& out, const char* heading, const std::string& text);
// The three knowledge texts as the block the answer client puts into its system prompt.
std::string knowledgeBlock(const std::string& resume, const std::string& jobDescription,
                           const std::string& projectReadme);

// "Interviewer" for system audio, "Me" for the microphone: the labels of prompts.
std::string_view promptLabel(AudioSource source);
// Appends "[{label}] {text}\n".
void appendPromptLine(std::string& out, AudioSource source, std::string_view text);

// What is left of a final transcript (or of a newer interim) once the words the Answer button
// already committed from this utterance are dropped: the longest leading run of words equal to
// the committed ones, and the white space after it. Words are maximal runs of non-white space,
// compared as the question rule compares them (lower-case letters, digits and apostrophes), so
// "Tell" matches "tell" and "project." matches "project". The first word the engine revised ends
// the run: it and everything after it stay, so a revision never loses a word. Nothing matched:
// the text as it is.
std::string dropCommittedWords(std::string_view text, std::string_view committed);

// The microphone rule: what to do with a question heard on the microphone.
enum class MicVerdict { Answer, NeverAnswer, InterviewerActive };
// mode 0 answers only when the interviewer is quiet: not speaking now and neither speech nor a
// system-audio question within the last 6000 ms. Mode 1 always answers, mode 2 never.
MicVerdict micQuestionVerdict(std::int32_t mode, bool systemSpeaking, std::int64_t nowMs,
                              std::int64_t lastInterviewerSpeechMs,
                              std::int64_t lastSystemQuestionMs);
inline constexpr std::int64_t kInterviewerQuietMs = 6000;

// The user messages of the ask flows.
std::string detectedQuestionPrompt(std::string_view question, std::string_view context);
std::string transcriptPrompt(std::string_view context);
std::string answerOnClickPrompt(std::string_view newLines, std::string_view earlier);
// The built-in screenshot prompt for count >= 1 shots without a typed question.
std::string screenshotPrompt(std::size_t count);
// What the card shows as the question of a screenshot send.
std::string screenshotDisplay(std::string_view typed, std::size_t count);
// "" for one, "s" otherwise.
const char* pluralSuffix(std::size_t count);

// Keeps the last `keep` messages, oldest dropped first, order kept.
void trimMemory(std::vector<ChatMessage>& memory, std::size_t keep = 8);
inline constexpr std::size_t kMemoryMessages = 8;

// End-of-question silence of the detectors: the setting + 700 ms for the streaming engine,
// 8000 ms for the per-utterance engine (whose finals arrive only after the utterance).
std::int64_t detectorSilenceMs(std::int32_t sttEngine, std::int32_t silenceMs);

}  // namespace morvelin
