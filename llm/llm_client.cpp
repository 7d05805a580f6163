#include "llm/llm_client.h"

#include <array>
#include <utility>

#include <fmt/format.h>

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
    std::string body = serializeRequestBody(buildRequestBody(messages, modelOverride));

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
    curl_slist* list = nullptr;
    for (const std::string& header :
         {std::string("Content-Type: application/json"), std::string("Accept: text/event-stream"),
          "Authorization: Bearer " + apiKey, std::string("X-Title: Halvenor")}) {
        if (curl_slist* grown = curl_slist_append(list, header.c_str()))
            list = grown;
    }
    const CurlSlist headers(list);

    StreamContext context{easy.get(), &callbacks, stop, {}, {}, {}};
    std::array<char, CURL_ERROR_SIZE> errorBuffer{};

    CURL* handle = easy.get();
    curl_easy_setopt(handle, CURLOPT_URL, endpoint_.c_str());
    curl_easy_setopt(handle, CURLOPT_POST, 1L);
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &onCurlWrite);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &context);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &onCurlProgress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &context);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer.data());
    if (curlShare_->handle)
        curl_easy_setopt(handle, CURLOPT_SHARE, curlShare_->handle);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, 15L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, 90L);
    curl_easy_setopt(handle, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(handle, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT));

    const CURLcode result = curl_easy_perform(handle);
    if (stop.stop_requested())
        return;  // a stopped request reports nothing at all

    // After a crossed bound the pending bytes are the offending line itself.
    if (context.failure.empty() && !context.lineBuffer.empty())
        handleSseLine(context, context.lineBuffer);
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);

    std::string error;
    if (!context.failure.empty()) {
        error = context.failure;  // the reading ended the transfer; libcurl saw a write error
    } else if (result != CURLE_OK) {
        error =
            fmt::format("Network error: {}",
                        errorBuffer[0] != '\0' ? errorBuffer.data() : curl_easy_strerror(result));
    } else if (status >= 300) {
        error = fmt::format("OpenRouter HTTP {}: {}", status, errorTextFromBody(context.errorBody));
    } else if (!context.streamError.empty()) {
        error = fmt::format("OpenRouter: {}", context.streamError);
    } else {
        // A success that carried no answer (a portal page, an empty body) is not "done".
        error = unexpectedReplyText(context, status);
    }

    if (result == CURLE_OK) {
        // Forget every pointer into this frame (body, headers, context, error buffer) but keep
        // the open connection for the next request.
        curl_easy_reset(handle);
        parkIdleEasy(std::move(easy));
    }
    if (error.empty()) {
        if (callbacks.onDone)
            callbacks.onDone();
    } else if (!stop.stop_requested() && callbacks.onError) {
        callbacks.onError(error);
    }
}

}  // namespace morvelin
