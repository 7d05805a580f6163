#include "base/service_hosts.h"

#include <cstdlib>

namespace morvelin {

std::string chatServiceBaseUrl() {
    const char* value = std::getenv("HALVENOR_CHAT_BASE_URL");
    std::string url = value && *value ? value : "https://openrouter.ai";
    while (!url.empty() && url.back() == '/') url.pop_back();
    return url;
}

}  // namespace morvelin
