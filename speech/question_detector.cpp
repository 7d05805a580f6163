#include "speech/question_detector.h"

#include <algorithm>
#include <array>
#include <utility>

namespace morvelin {
namespace {

using namespace std::chrono_literals;

// After the end of speech the streaming engine usually sends the final within a few hundred
// milliseconds; longer than this and the interim text is the best we will get.
constexpr auto kFinalWait = 350ms;
// A stream that stalls mid-sentence delivers nothing while the speaker goes on, so silence in
// the transcripts means nothing until the voice detector reports the end of speech. A noisy
// room can keep that end from coming, though: this long without a transcript decides anyway.
constexpr auto kSpeakingHoldLimit = 10s;
// A follow-up phrase this soon after an unterminated question most likely extends it.
constexpr auto kContinuationWindow = 3s;
// A statement this recent is the setup of the question that follows it.
constexpr auto kContextWindow = 8s;
// Shorter statements ("yes", "right, ok") carry no context worth attaching.
constexpr std::size_t kContextMinWords = 3;

// clang-format off
constexpr std::array<std::string_view, 17> kFillers = {
    "so", "okay", "ok", "alright", "right", "and", "um", "uh", "well", "now", "great", "cool",
    "next", "then", "also", "yeah", "good"};

// Each has a blank at both ends, to match whole tokens only.
constexpr std::array<std::string_view, 38> kStarters = {
    " what ", " what's ", " how ", " how's ", " why ", " when ", " where ", " which ", " who ",
    " whose ", " can you ", " could you ", " would you ", " will you ", " do you ", " did you ",
    " have you ", " are you ", " is it ", " is there ", " should ", " tell me ",
    " walk me through ", " explain ", " describe ", " design ", " implement ", " write ",
    " give me ", " talk about ", " talk me through ", " compare ", " define ", " let's say ",
    " suppose ", " imagine ", " share ", " solve "};

constexpr std::array<std::string_view, 22> kPhrases = {
    " can you ", " could you ", " would you ", " walk me through ", " tell me about ",
    " explain ", " how would you ", " how do you ", " how did you ", " what is ", " what are ",
    " what happens ", " why do ", " why would ", " why did ", " design a ", " design an ",
    " difference between ", " your experience with ", " what would you ", " how does ",
    " what's the "};
// clang-format on

bool isWhite(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string normalise(std::string_view text) {
    return joinWords(splitWhitespace(text), 0);
}

void appendWithBlank(std::string& to, std::string_view text) {
    if (!to.empty())
        to += ' ';
    to += text;
}

}  // namespace

std::vector<std::string_view> splitWhitespace(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isWhite(text[i]))
            ++i;
        const std::size_t start = i;
        while (i < text.size() && !isWhite(text[i]))
            ++i;
        if (i > start)
            words.push_back(text.substr(start, i - start));
    }
    return words;
}

std::string joinWords(const std::vector<std::string_view>& words, std::size_t first) {
    std::string joined;
    for (std::size_t i = first; i < words.size(); ++i)
        appendWithBlank(joined, words[i]);
    return joined;
}

std::vector<std::string> tokenizeWords(std::string_view text) {
    std::vector<std::string> tokens;
    for (const std::string_view word : splitWhitespace(text)) {
        std::string token;
        for (const char c : word) {
            if (c >= 'A' && c <= 'Z') {
                token += static_cast<char>(c - 'A' + 'a');
            } else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '\'') {
                token += c;
            }
        }
        if (!token.empty())
            tokens.push_back(std::move(token));
    }
    return tokens;
}

bool isQuestion(std::string_view text) {
    const std::string t = normalise(text);
    if (t.empty())
        return false;
    const std::vector<std::string> tokens = tokenizeWords(t);
    // A question mark is the transcriber's own verdict; one word ("why?") is still too little.
    if (t.back() == '?')
        return tokens.size() >= 2;
    if (tokens.size() < 3)
        return false;

    const auto isFiller = [](const std::string& token) {
        return std::find(kFillers.begin(), kFillers.end(), token) != kFillers.end();
    };
    const auto first = std::find_if_not(tokens.begin(), tokens.end(), isFiller);
    if (first == tokens.end())
        return false;

    // Blanks on both sides of every token, so " how " never matches inside "however".
    std::string s = " ";
    for (auto it = first; it != tokens.end(); ++it) {
        s += *it;
        s += ' ';
    }
    const std::string_view padded = s;
    for (const std::string_view starter : kStarters) {
        if (padded.starts_with(starter))
            return true;
    }
    for (const std::string_view phrase : kPhrases) {
        if (padded.find(phrase) != std::string_view::npos)
            return true;
    }
    return false;
}

QuestionDetector::QuestionDetector(QuestionCallback onQuestion)
    : onQuestion_(std::move(onQuestion)), lastActivity_(Clock::now()) {
    worker_ = std::jthread([this](std::stop_token stop) { workerLoop(std::move(stop)); });
}

// The worker is declared last, so it is stopped and joined before anything it reads goes away.
QuestionDetector::~QuestionDetector() = default;

void QuestionDetector::setLogCallback(LogCallback onLog) {
    std::lock_guard lock(mutex_);
    onLog_ = std::move(onLog);
}

void QuestionDetector::onTranscript(const std::string& text, bool isFinal, bool speechFinal) {
    std::optional<DetectedQuestion> question;
    {
        std::lock_guard lock(mutex_);
        lastActivity_ = Clock::now();
        std::string t = text;
        if (skipCount_ > 0) {
            // These words were already decided on as interim text; the engine repeats them.
            const auto words = splitWhitespace(text);
            t = words.size() <= skipCount_ ? std::string() : joinWords(words, skipCount_);
        }
        if (isFinal) {
            skipCount_ = 0;
            if (!t.empty())
                appendWithBlank(committed_, t);
            interim_.clear();
            if (speechFinal || waitingForFinal_)
                question = decide();
        } else {
            interim_ = std::move(t);
        }
        wake();
    }
    report(question);
}

void QuestionDetector::flushNow() {
    std::optional<DetectedQuestion> question;
    {
        std::lock_guard lock(mutex_);
        speaking_ = false;
        lastActivity_ = Clock::now();
        if (committed_.empty() && interim_.empty())
            return;
        if (!interim_.empty()) {
            // The final for this interim text is on its way; give it a moment to arrive.
            waitingForFinal_ = true;
            finalDeadline_ = Clock::now() + kFinalWait;
            wake();
        } else {
            question = decide();
        }
    }
    report(question);
}

void QuestionDetector::noteSpeechEnd() {
    std::lock_guard lock(mutex_);
    speaking_ = false;
    lastActivity_ = Clock::now();
    wake();
}

void QuestionDetector::noteSpeechStart() {
    std::lock_guard lock(mutex_);
    speaking_ = true;
    waitingForFinal_ = false;
    lastActivity_ = Clock::now();
    wake();
}

void QuestionDetector::reset() {
    std::lock_guard lock(mutex_);
    committed_.clear();
    interim_.clear();
    lastQuestion_.clear();
    context_.clear();
    skipCount_ = 0;
    speaking_ = false;
    waitingForFinal_ = false;
    wake();
}

void QuestionDetector::setSilenceMs(std::int64_t milliseconds) {
    std::lock_guard lock(mutex_);
    silenceMs_ = milliseconds;
    wake();
}

std::string QuestionDetector::currentText() {
    std::lock_guard lock(mutex_);
    std::string text = committed_;
    if (!interim_.empty())
        appendWithBlank(text, interim_);
    return text;
}

void QuestionDetector::wake() {
    wakeFlag_ = true;
    wakeCondition_.notify_one();
}

QuestionDetector::Clock::time_point QuestionDetector::deadline() const {
    Clock::duration wait = std::chrono::milliseconds(silenceMs_);
    if (speaking_)
        wait = std::max<Clock::duration>(wait, kSpeakingHoldLimit);
    auto result = lastActivity_ + wait;
    if (waitingForFinal_ && finalDeadline_ < result)
        result = finalDeadline_;
    return result;
}

void QuestionDetector::report(const std::optional<DetectedQuestion>& question) {
    if (question && onQuestion_)
        onQuestion_(question->text, question->continuation);
}

void QuestionDetector::workerLoop(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    while (true) {
        if (stop.stop_requested())
            return;
        if (!committed_.empty() || !interim_.empty()) {
            wakeCondition_.wait_until(lock, stop, deadline(), [this] { return wakeFlag_; });
        } else {
            wakeCondition_.wait(lock, stop, [this] { return wakeFlag_; });
        }
        wakeFlag_ = false;
        if (stop.stop_requested())
            return;
        if (committed_.empty() && interim_.empty())
            continue;
        if (Clock::now() < deadline())
            continue;
        const auto question = decide();
        lock.unlock();
        report(question);
        lock.lock();
    }
}

std::optional<DetectedQuestion> QuestionDetector::decide() {
    std::string s = committed_;
    if (!interim_.empty())
        appendWithBlank(s, interim_);
    const auto words = splitWhitespace(s);
    s = joinWords(words, 0);
    if (!interim_.empty())
        skipCount_ = splitWhitespace(interim_).size();
    committed_.clear();
    interim_.clear();
    waitingForFinal_ = false;
    if (s.empty())
        return std::nullopt;

    const auto now = Clock::now();
    const bool q = isQuestion(s);
    const std::size_t n = words.size();
    const bool continuation = !lastQuestion_.empty() && lastQuestion_.back() != '?' &&
                              now - lastQuestionTime_ < kContinuationWindow &&
                              (q || n >= kContextMinWords);
    if (onLog_) {
        const char* verdict = q ? "QUESTION" : continuation ? "continuation" : "not a question";
        onLog_(std::string(verdict) + ": \"" + s + "\"");
    }

    if (continuation) {
        appendWithBlank(lastQuestion_, s);
        lastQuestionTime_ = now;
        return DetectedQuestion{lastQuestion_, true};
    }
    if (q) {
        std::string question = s;
        if (!context_.empty() && now - contextTime_ < kContextWindow) {
            question = context_ + " " + s;
        }
        context_.clear();
        lastQuestion_ = question;
        lastQuestionTime_ = now;
        return DetectedQuestion{std::move(question), false};
    }
    if (n >= kContextMinWords) {
        context_ = std::move(s);
        contextTime_ = now;
    }
    return std::nullopt;
}

}  // namespace morvelin
