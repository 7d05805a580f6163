#pragma once
// The answer client: sends one conversation at a time to the chat-completions service and
// streams the answer back through three callbacks. Every request runs on a worker thread of
// its own; a newer request supersedes the running one without waiting for it.

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/curl_handles.h"
#include "llm/chat_message.h"
#include "llm/chat_request.h"
#include "llm/curl_share.h"

namespace morvelin {

// A request worker asked to stop (or finished) and not joined yet.
struct RetiredWorker {
    std::jthread thread;
    std::shared_ptr<std::atomic<bool>> done;  // true once the worker's last callback returned
};

class LlmClient {
public:
    // The callbacks of one request, all called on its worker with no lock of the client
    // held. An empty callback is not called. A request ends with at most one onDone or
    // onError, and with none when it was stopped.
    struct Callbacks {
        std::function<void(std::string_view)> onToken;  // the view lives only during the call
        std::function<void()> onDone;
        std::function<void(const std::string&)> onError;
    };

    LlmClient();   // the caller has run curl_global_init
    ~LlmClient();  // stops and joins every worker before the share handle goes
    LlmClient(const LlmClient&) = delete;
    LlmClient& operator=(const LlmClient&) = delete;

    void setApiKey(std::string key);
    void setModel(std::string id);
    void setKnowledge(const std::string& text);
    bool hasApiKey() const;
    std::string model() const;

    // False when there is no API key: then nothing happens at all, and a running request
    // keeps running. Otherwise the running request is asked to stop and a new worker starts.
    bool streamChat(std::vector<ChatMessage> messages, Callbacks callbacks,
                    std::string modelOverride);
    // Asks the current request to stop and joins workers that have already finished; never waits.
    void cancel();
    // Stops every worker and waits for all of them. Never call it holding a lock the
    // callbacks take.
    void stopAll();

    // The current worker plus the parked ones not joined yet (for diagnostics and tests).
    std::size_t workerCount() const;

    // The JSON body for these messages with the current answer settings.
    nlohmann::json buildRequestBody(const std::vector<ChatMessage>& messages,
                                    const std::string& modelOverride) const;

private:
    void runRequest(std::stop_token stop, std::string body, std::string apiKey,
                    Callbacks callbacks);
    void workerMain(std::stop_token stop, std::shared_ptr<std::atomic<bool>> done, std::string body,
                    std::string apiKey, Callbacks callbacks);
    void retireCurrentWorker();  // workerMutex_ held
    void reapFinishedWorkers();  // workerMutex_ held
    CurlEasy takeIdleEasy();
    void parkIdleEasy(CurlEasy easy);

    mutable std::mutex configMutex_;
    std::string apiKey_;
    std::string modelId_{kDefaultAnswerModel};
    std::string systemPrompt_;
    std::string knowledge_;
    const std::string endpoint_;
    std::unique_ptr<CurlShare> curlShare_;
    // The easy handle of the last request that finished cleanly, with its open connection,
    // waiting for the next request. A leaf lock; workers take it only around the hand-over.
    std::mutex idleMutex_;
    CurlEasy idleEasy_;
    mutable std::mutex workerMutex_;
    std::jthread worker_;
    std::shared_ptr<std::atomic<bool>> workerDone_;
    std::vector<RetiredWorker> retired_;
};

}  // namespace morvelin
