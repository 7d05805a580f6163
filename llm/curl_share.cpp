#include "llm/curl_share.h"

namespace morvelin {

CurlShare::CurlShare() : handle(curl_share_init()) {
    if (!handle)
        return;
    curl_share_setopt(handle, CURLSHOPT_LOCKFUNC, &CurlShare::lock);
    curl_share_setopt(handle, CURLSHOPT_UNLOCKFUNC, &CurlShare::unlock);
    curl_share_setopt(handle, CURLSHOPT_USERDATA, this);
    curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
}

CurlShare::~CurlShare() {
    if (handle)
        curl_share_cleanup(handle);
}

// Shared and single access both take the mutex exclusively: the caches are small and the
// contention is two workers at most.
void CurlShare::lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    auto* share = static_cast<CurlShare*>(user);
    const auto index = static_cast<std::size_t>(data);
    if (index < share->locks.size())
        share->locks[index].lock();
}

void CurlShare::unlock(CURL*, curl_lock_data data, void* user) {
    auto* share = static_cast<CurlShare*>(user);
    const auto index = static_cast<std::size_t>(data);
    if (index < share->locks.size())
        share->locks[index].unlock();
}

}  // namespace morvelin
