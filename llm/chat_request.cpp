#include "llm/chat_request.h"

#include "base/service_hosts.h"

namespace morvelin {

using nlohmann::json;

const std::string_view kSystemPrompt =
    "You are Halvenor, a real-time interview copilot helping a job candidate during a live "
    "interview. The candidate reads your answer while speaking, so it must be scannable "
    "instantly.\n"
    "Format, strictly:\n"
    "1. First line: one bold sentence that directly answers the question, wrapped in **double "
    "asterisks**.\n"
    "2. Then 2-4 bullet points, each starting with \"- \" and fitting on one line.\n"
    "3. For coding questions, add the approach and complexity as bullets, then one fenced code "
    "block.\n"
    "No headings, no preamble, no closing remarks.\n"
    "Speak in the first person as the candidate. Ground every claim about the candidate's "
    "background strictly in the knowledge base below; if it does not cover something, give a "
    "sound general answer without inventing employers, metrics, or projects.";

const std::string_view kKnowledgeHeading = "\n\n# Candidate knowledge base\n";

json chatRequestBody(std::string_view systemPrompt, std::string_view knowledge,
                     const std::string& modelId, const std::vector<ChatMessage>& messages,
                     const std::string& modelOverride) {
    std::string systemText(systemPrompt);
    if (!knowledge.empty()) {
        systemText += kKnowledgeHeading;
        systemText += knowledge;
    }
    json list = json::array();
    list.push_back({{"role", "system"}, {"content", std::move(systemText)}});
    for (const auto& message : messages) {
        if (message.images.empty()) {
            list.push_back({{"role", message.role}, {"content", message.content}});
            continue;
        }
        json parts = json::array();
        parts.push_back({{"type", "text"}, {"text", message.content}});
        for (const auto& image : message.images) {
            parts.push_back({{"type", "image_url"},
                             {"image_url", {{"url", "data:image/png;base64," + image}}}});
        }
        list.push_back({{"role", message.role}, {"content", std::move(parts)}});
    }
    return {{"model", modelOverride.empty() ? modelId : modelOverride},
            {"stream", true},
            {"messages", std::move(list)}};
}

std::string chatCompletionsUrl() {
    return chatServiceBaseUrl() + "/api/v1/chat/completions";
}

}  // namespace morvelin
