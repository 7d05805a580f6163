#pragma once
// The chat-completions request: the built-in system prompt, the JSON body and the endpoint.
// Pure functions of their arguments (the endpoint reads one environment variable), so the
// exact bytes on the wire are tested without a network.

#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "llm/chat_message.h"

namespace morvelin {

// The answer model until the settings name another: fast enough that answers start within a
// second or two.
inline constexpr std::string_view kDefaultAnswerModel = "openai/gpt-4o-mini";

// 763 bytes of ASCII; the default system prompt of every answer.
extern const std::string_view kSystemPrompt;
// Put between the system prompt and a non-empty knowledge text (29 bytes).
extern const std::string_view kKnowledgeHeading;

// {"model", "stream": true, "messages": [system, ...]} for the given answer settings; sent as
// compactJson (base/compact_json.h), members in byte order.
// The model is modelOverride when it is not empty, else modelId.
nlohmann::json chatRequestBody(std::string_view systemPrompt, std::string_view knowledge,
                               const std::string& modelId, const std::vector<ChatMessage>& messages,
                               const std::string& modelOverride);

// The service's host from HALVENOR_CHAT_BASE_URL (default "https://openrouter.ai", a trailing
// slash ignored) followed by "/api/v1/chat/completions".
std::string chatCompletionsUrl();

}  // namespace morvelin
