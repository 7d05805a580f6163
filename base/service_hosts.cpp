#include "base/service_hosts.h"

#include <cstdlib>

namespace morvelin {
namespace {

std::string baseUrl(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    std::string url = value && *value ? value : fallback;
    while (!url.empty() && url.back() == '/')
        url.pop_back();
    return url;
}

}  // namespace

std::string chatServiceBaseUrl() {
    return baseUrl("HALVENOR_CHAT_BASE_URL", "https://openrouter.ai");
}

std::string sttServiceBaseUrl() {
    return baseUrl("HALVENOR_STT_BASE_URL", "wss://api.deepgram.com");
}

}  // namespace morvelin
