#pragma once
// The callback shapes both speech-to-text engines (streaming and per-utterance) deliver through.

#include <functional>
#include <string>

namespace morvelin {

// (text, isFinal, speechFinal). A non-final text replaces the previous non-final text of the
// same source; it is never appended to it.
using TranscriptCallback =
    std::function<void(const std::string& text, bool isFinal, bool speechFinal)>;
// A short human-readable state of a speech-to-text engine, shown to the user unchanged.
using StatusCallback = std::function<void(const std::string& text)>;

}  // namespace morvelin
