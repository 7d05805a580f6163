#pragma once
// One message of a conversation: the HUD's conversation memory and the messages of a request.

#include <string>
#include <vector>

namespace morvelin {

struct ChatMessage {
    std::string role;                 // "user" or "assistant"; sent as written
    std::string content;              // UTF-8
    std::vector<std::string> images;  // base64 PNG data without a "data:" prefix
};

}  // namespace morvelin
