#pragma once
// Where the outside services live. Each defaults to the real service's host; an environment
// variable points it elsewhere (tests and benchmarks use servers on 127.0.0.1).

#include <string>

namespace morvelin {

// Scheme and host of the chat-completions and transcription service: HALVENOR_CHAT_BASE_URL
// when set, else "https://openrouter.ai"; trailing slashes dropped.
std::string chatServiceBaseUrl();

// Scheme and host of the streaming speech-to-text service: HALVENOR_STT_BASE_URL when set,
// else "wss://api.deepgram.com"; trailing slashes dropped.
std::string sttServiceBaseUrl();

}  // namespace morvelin
