#include "llm/llm_client.h"

#include <utility>

#include <fmt/format.h>

#include "base/compact_json.h"
#include "base/curl_post.h"
#include "llm/chat_request.h"
#include "llm/stream_context.h"

namespace morvelin {

LlmClient::LlmClient()
    : systemPrompt_(kSystemPrompt),
      endpoint_(chatCompletionsUrl()),
      curlShare_(std::make_unique<CurlShare>()) {}

LlmClient::~LlmClient() {
    stopAll();
    // The parked handle used the share, so it goes first.
    std::lock_guard lock(idleMutex_);
    idleEasy_.reset();
}

void LlmClient::setApiKey(std::string key) {
    std::lock_guard lock(configMutex_);
    apiKey_ = std::move(key);
}

void LlmClient::setModel(std::string id) {
    std::lock_guard lock(configMutex_);
    modelId_ = std::move(id);
}

void LlmClient::setKnowledge(const std::string& text) {
    std::lock_guard lock(configMutex_);
    if (&text != &knowledge_)
        knowledge_ = text;
}

bool LlmClient::hasApiKey() const {
    std::lock_guard lock(configMutex_);
    return !apiKey_.empty();
}

std::string LlmClient::model() const {
    std::lock_guard lock(configMutex_);
    return modelId_;
}

nlohmann::json LlmClient::buildRequestBody(const std::vector<ChatMessage>& messages,
                                           const std::string& modelOverride) const {
    std::lock_guard lock(configMutex_);
    return chatRequestBody(systemPrompt_, knowledge_, modelId_, messages, modelOverride);
}

bool LlmClient::streamChat(std::vector<ChatMessage> messages, Callbacks callbacks,
                           std::string modelOverride) {
    std::string key;
    {
        std::lock_guard lock(configMutex_);
        key = apiKey_;
    }
    if (key.empty())
        return false;
    std::string body = compactJson(buildRequestBody(messages, modelOverride));

    std::lock_guard lock(workerMutex_);
    retireCurrentWorker();
    reapFinishedWorkers();
    workerDone_ = std::make_shared<std::atomic<bool>>(false);
    worker_ = std::jthread([this, done = workerDone_, body = std::move(body), key = std::move(key),
                            callbacks = std::move(callbacks)](std::stop_token stop) mutable {
        workerMain(std::move(stop), std::move(done), std::move(body), std::move(key),
                   std::move(callbacks));
    });
    return true;
}

void LlmClient::cancel() {
    std::lock_guard lock(workerMutex_);
    retireCurrentWorker();
    reapFinishedWorkers();
}

void LlmClient::stopAll() {
    std::vector<RetiredWorker> workers;
    {
        std::lock_guard lock(workerMutex_);
        retireCurrentWorker();
        workers.swap(retired_);
    }
    // Every stop goes out before the first join, so the workers wind down side by side.
    for (auto& worker : workers)
        worker.thread.request_stop();
    for (auto& worker : workers)
        worker.thread.join();
}

std::size_t LlmClient::workerCount() const {
    std::lock_guard lock(workerMutex_);
    return retired_.size() + (worker_.joinable() ? 1 : 0);
}

void LlmClient::retireCurrentWorker() {
    if (!worker_.joinable())
        return;
    worker_.request_stop();
    retired_.push_back({std::move(worker_), std::move(workerDone_)});  // leaves both empty
}

void LlmClient::reapFinishedWorkers() {
    // Destroying a record joins its thread, which has already passed its last callback.
    std::erase_if(retired_, [](const RetiredWorker& worker) { return worker.done->load(); });
}

void LlmClient::workerMain(std::stop_token stop, std::shared_ptr<std::atomic<bool>> done,
                           std::string body, std::string apiKey, Callbacks callbacks) {
    runRequest(std::move(stop), std::move(body), std::move(apiKey), std::move(callbacks));
    done->store(true);
}

CurlEasy LlmClient::takeIdleEasy() {
    std::lock_guard lock(idleMutex_);
    return std::move(idleEasy_);
}

void LlmClient::parkIdleEasy(CurlEasy easy) {
    CurlEasy older;
    {
        std::lock_guard lock(idleMutex_);
        older = std::exchange(idleEasy_, std::move(easy));
    }
    // `older` (if two requests finished close together) is cleaned up outside the lock.
}

void LlmClient::runRequest(std::stop_token stop, std::string body, std::string apiKey,
                           Callbacks callbacks) {
    // A handle left by the previous finished request keeps its connection open, so a
    // follow-up question skips the TCP and TLS handshakes.
    CurlEasy easy = takeIdleEasy();
    if (!easy)
        easy.reset(curl_easy_init());
    if (!easy) {
        if (!stop.stop_requested() && callbacks.onError)
            callbacks.onError("curl_easy_init failed");
        return;
    }
    const CurlPost post{
        .url = endpoint_,
        .body = body,
        .headers = {"Content-Type: application/json", "Accept: text/event-stream",
                    "Authorization: Bearer " + apiKey, "X-Title: Halvenor"},
        .connectTimeoutSeconds = 15,
        // An answer streams without a deadline; a service silent for this long is gone.
        .lowSpeedTimeSeconds = 90,
        .share = curlShare_->handle,
    };
    StreamContext context{easy.get(), &callbacks, stop, {}, {}, {}};
    const CurlReply reply = curlPost(easy.get(), post, stop, [&context](std::string_view bytes) {
        return readStreamBytes(context, bytes);
    });
    if (stop.stop_requested())
        return;  // a stopped request reports nothing at all

    // After a crossed bound the pending bytes are the offending line itself.
    if (context.failure.empty() && !context.lineBuffer.empty())
        handleSseLine(context, context.lineBuffer);

    std::string error;
    if (!context.failure.empty()) {
        error = context.failure;  // the reading ended the transfer; libcurl saw a write error
    } else if (reply.status >= 300 && (reply.result == CURLE_OK || reply.errorBodyCut)) {
        error =
            fmt::format("OpenRouter HTTP {}: {}", reply.status, errorTextFromBody(reply.errorBody));
    } else if (reply.result != CURLE_OK) {
        error = fmt::format("Network error: {}", reply.curlError);
    } else if (!context.streamError.empty()) {
        error = fmt::format("OpenRouter: {}", context.streamError);
    } else {
        // A success that carried no answer (a portal page, an empty body) is not "done".
        error = unexpectedReplyText(context, reply.status);
    }

    if (reply.result == CURLE_OK)
        parkIdleEasy(std::move(easy));
    if (error.empty()) {
        if (callbacks.onDone)
            callbacks.onDone();
    } else if (!stop.stop_requested() && callbacks.onError) {
        callbacks.onError(error);
    }
}

}  // namespace morvelin
