#include "base/curl_post.h"

#include <algorithm>
#include <array>

#include "base/curl_handles.h"

namespace morvelin {
namespace {

// What libcurl's callbacks see of one transfer.
struct Transfer {
    CURL* easy;
    std::stop_token stop;
    const CurlBodySink& sink;
    CurlReply& reply;
};

std::size_t onWrite(char* data, std::size_t size, std::size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    const std::string_view bytes(data, size * count);
    if (transfer.stop.stop_requested())
        return 0;
    // Asked per chunk: the status is known before the first body byte arrives.
    long status = 0;
    curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 300) {
        if (appendWithin(transfer.reply.errorBody, bytes, kMaxErrorReplyBytes))
            return bytes.size();
        transfer.reply.errorBodyCut = true;
        return 0;
    }
    return transfer.sink(bytes) ? bytes.size() : 0;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Transfer*>(user)->stop.stop_requested() ? 1 : 0;
}

// Builds the list, or leaves it empty when libcurl runs out of memory on any entry.
CurlSlist headerList(const std::vector<std::string>& headers) {
    CurlSlist list;
    for (const std::string& header : headers) {
        curl_slist* grown = curl_slist_append(list.get(), header.c_str());
        if (!grown)
            return {};
        list.release();  // `grown` is the same list, one entry longer
        list.reset(grown);
    }
    return list;
}

}  // namespace

bool appendWithin(std::string& text, std::string_view bytes, std::size_t limit) {
    const std::size_t room = limit - std::min(limit, text.size());
    text.append(bytes.substr(0, room));
    return bytes.size() <= room;
}

CurlReply curlPost(CURL* easy, const CurlPost& post, std::stop_token stop,
                   const CurlBodySink& sink) {
    CurlReply reply;
    const CurlSlist headers = headerList(post.headers);
    if (!headers && !post.headers.empty()) {
        reply.result = CURLE_OUT_OF_MEMORY;
        reply.curlError = "out of memory";
        return reply;
    }
    Transfer transfer{easy, std::move(stop), sink, reply};
    std::array<char, CURL_ERROR_SIZE> errorBuffer{};

    curl_easy_setopt(easy, CURLOPT_URL, post.url.c_str());
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, post.body.data());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(post.body.size()));
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &onWrite);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &onProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer.data());
    if (post.share)
        curl_easy_setopt(easy, CURLOPT_SHARE, post.share);
    if (post.connectTimeoutSeconds > 0)
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, post.connectTimeoutSeconds);
    if (post.timeoutSeconds > 0)
        curl_easy_setopt(easy, CURLOPT_TIMEOUT, post.timeoutSeconds);
    if (post.lowSpeedTimeSeconds > 0) {
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, post.lowSpeedTimeSeconds);
    }
    curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(easy, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT));

    reply.result = curl_easy_perform(easy);
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &reply.status);
    if (reply.result != CURLE_OK)
        reply.curlError =
            errorBuffer[0] != '\0' ? errorBuffer.data() : curl_easy_strerror(reply.result);
    // The header list, the error buffer and `transfer` die with this call.
    curl_easy_reset(easy);
    return reply;
}

}  // namespace morvelin
