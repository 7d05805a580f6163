#pragma once
// Gathers the transcript pieces of one speaker, decides when they have finished, and tells a
// new question from a continuation of the previous one or from mere talk. A decision happens
// on whichever thread saw the end: the transcript thread (a speech-final final), the capture
// thread (end of speech) or the detector's own worker (silence). While the voice detector says
// the speaker is still talking, silence in the transcripts (a stalled stream) decides nothing.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace morvelin {

// continuation true: the previous question grew, and the text is the whole grown question.
using QuestionCallback = std::function<void(const std::string& question, bool continuation)>;

struct DetectedQuestion {
    std::string text;
    bool continuation = false;
};

// Judges one text by its wording alone (byte-wise, C locale).
bool isQuestion(std::string_view text);
// The maximal runs of non-white bytes, as views into the text.
std::vector<std::string_view> splitWhitespace(std::string_view text);
// The words from index first on, joined with single blanks.
std::string joinWords(const std::vector<std::string_view>& words, std::size_t first);
// Lower-cased ASCII letters, digits and apostrophes of each word; words left empty are dropped.
std::vector<std::string> tokenizeWords(std::string_view text);

class QuestionDetector {
public:
    using LogCallback = std::function<void(const std::string& line)>;

    explicit QuestionDetector(QuestionCallback onQuestion);
    ~QuestionDetector();
    QuestionDetector(const QuestionDetector&) = delete;
    QuestionDetector& operator=(const QuestionDetector&) = delete;

    // Every decision is reported here as `VERDICT: "text"`, with the detector's mutex held, so
    // the callback must only do short work that takes no lock but the session log's.
    void setLogCallback(LogCallback onLog);

    void onTranscript(const std::string& text, bool isFinal, bool speechFinal);
    // End of speech: decides now, or after a short wait for the final of pending interim text.
    void flushNow();
    // End of speech without deciding (the per-utterance engine's finals decide): the silence
    // timeout runs from here.
    void noteSpeechEnd();
    // Start of speech: until the end, only a long stretch without any transcript decides.
    void noteSpeechStart();
    // Forgets everything pending and remembered, the speaking state too.
    void reset();
    void setSilenceMs(std::int64_t milliseconds);
    std::string currentText();  // the pending text, for the live caption

private:
    using Clock = std::chrono::steady_clock;

    std::optional<DetectedQuestion> decide();                      // mutex held
    void wake();                                                   // mutex held
    Clock::time_point deadline() const;                            // mutex held
    void report(const std::optional<DetectedQuestion>& question);  // mutex released
    void workerLoop(std::stop_token stop);

    const QuestionCallback onQuestion_;
    LogCallback onLog_;
    std::mutex mutex_;
    std::condition_variable_any wakeCondition_;
    bool wakeFlag_ = false;
    std::string committed_;
    std::string interim_;
    std::size_t skipCount_ = 0;
    Clock::time_point lastActivity_;
    bool speaking_ = false;  // between a speech start and its end
    bool waitingForFinal_ = false;
    Clock::time_point finalDeadline_;
    std::int64_t silenceMs_ = 1500;
    std::string lastQuestion_;
    Clock::time_point lastQuestionTime_;
    std::string context_;
    Clock::time_point contextTime_;
    std::jthread worker_;
};

}  // namespace morvelin
